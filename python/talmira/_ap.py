"""ap(): COCO's average precision of a pair, as `talmira ap` computes it; and
the reading of COCO inputs that talmira.cocoeval shares with it."""

import json
import math
import numbers

import numpy as np

from . import _talmira
from ._errors import FormatError
from ._inputs import _READING_OPTIONS, _RULE_OPTIONS, _path_of, _read_pair, _readings
from ._numbers import _confidence, _jobs

#: COCO's area ranges by the annotations' area, both bounds included.
AREA_RANGES = (("all", 0.0, 1e10), ("small", 0.0, 1024.0), ("medium", 1024.0, 9216.0),
               ("large", 9216.0, 1e10))
# What messages call an input held in memory.
_IN_MEMORY = ("ground-truth dict", "results list")
_SUMMARY_COLUMNS = ("measure", "iou", "area", "max_detections", "value")
_CATEGORY_COLUMNS = ("id", "name", "ap", "ap50", "ap75", "ap_small", "ap_medium", "ap_large",
                     "ar100", "ground_truth", "detections")


def _plain(value):
    """What json.dumps cannot write itself: numpy's numbers and arrays (and
    anything else with tolist(), a tensor), as the numbers they hold."""
    if isinstance(value, np.generic):
        return value.item()
    if hasattr(value, "tolist"):
        return value.tolist()
    raise TypeError("%s is not a JSON value" % type(value).__name__)


def _dumps(value):
    return json.dumps(value, separators=(",", ":"), default=_plain, check_circular=False)


def _numpy_results(array):
    """An N x 7 array of [image_id, x, y, width, height, score, category_id]
    as the results list it stands for (ids truncated to whole numbers)."""
    array = np.asarray(array)
    if array.ndim != 2 or array.shape[1] != 7:
        raise ValueError("a results array is N x 7 ([image_id, x, y, w, h, score, category_id]), "
                         "not %s" % (" x ".join(map(str, array.shape)),))
    values = array.astype(np.float64)
    images = values[:, 0].astype(np.int64).tolist()
    categories = values[:, 6].astype(np.int64).tolist()
    boxes = values[:, 1:5].tolist()
    scores = values[:, 5].tolist()
    return [{"image_id": i, "category_id": c, "bbox": b, "score": s}
            for i, c, b, s in zip(images, categories, boxes, scores)]


def _coco_input(source, side):
    """One side of a COCO pair for the native reader: (value, is_path, name,
    lists), value a path or the JSON text, lists where the text's lists are
    ((key, first line, count); None for a path). side 0: the ground truth
    (a path, its dict, or an object with .dataset); 1: the results (a path,
    a list of dicts, an N x 7 array, or an object with .dataset, whose
    "annotations" are the results)."""
    own = getattr(source, "_talmira_input", None)
    if own is not None:
        return own(side)
    path = _path_of(source)
    if path is not None:
        return (path, True, path, None)
    held = source
    if not isinstance(held, (dict, list, tuple, np.ndarray)) and hasattr(held, "dataset"):
        held = held.dataset
    if side == 1:
        if isinstance(held, dict) and "annotations" in held:
            held = held["annotations"]
        if isinstance(held, np.ndarray):
            held = _numpy_results(held)
        if not isinstance(held, (list, tuple)):
            raise TypeError("the results are a path, a list of dicts, an N x 7 array or an "
                            "object with .dataset, not %s" % type(source).__name__)
    elif not isinstance(held, dict):
        raise TypeError("the ground truth is a path, a dict or an object with .dataset, not %s"
                        % type(source).__name__)
    text, lists = _talmira.coco_json(held, side == 1, _plain, _dumps)
    return (text, False, _IN_MEMORY[side], lists)


def _read_coco(truth, results):
    """CocoImages of two inputs of _coco_input(); FormatError naming the file
    and line (for an input in memory, the list and the element: 'results
    list [17]: ...', 'ground-truth dict ["annotations"][3]: ...') when
    malformed."""
    try:
        return _talmira.read_coco(truth[0], truth[1], truth[2], results[0], results[1], results[2])
    except _talmira.ReadFailure as failure:
        raise _coco_error(failure, (truth, results)) from None


def _coco_error(failure, inputs):
    what, line, _, side, message, name = failure.args
    _, is_path, _, lists = inputs[side]
    if is_path:
        return FormatError(message, path=name, line=line or None)
    # Held in memory: the line is that of an element of a list.
    for key, first, count in lists or ():
        if line and first <= line < first + count:
            index = line - first
            where = "[%d]" % index if not key else "[%s][%d]" % (json.dumps(key), index)
            return FormatError("%s %s: %s" % (name, where, what), row=index)
    return FormatError(message)


def _coco_images(gt, sys):
    """CocoImages of a COCO pair; the pair a results set of talmira.cocoeval's
    COCO.loadRes() was read with is not read again."""
    read = getattr(sys, "_talmira_images", None)
    if read is not None:
        images = read(gt)
        if images is not None:
            return images
    return _read_coco(_coco_input(gt, 0), _coco_input(sys, 1))


def _numbers(values, what, whole=False):
    try:
        items = list(values)
    except TypeError:
        raise ValueError("%s %r is not a list of numbers" % (what, values)) from None
    out = []
    for v in items:
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Real):
            raise ValueError("%s: %r is not a number" % (what, v))
        if whole:
            if not math.isfinite(v) or v != int(v) or v < 0:
                raise ValueError("%s: %r is not a whole number from 0" % (what, v))
            out.append(int(v))
        else:
            out.append(float(v))
    return out


def _parameters(iou_thresholds, recall_thresholds, max_detections, area_ranges):
    """COCO's parameters for the native layer, checked: IoU thresholds (1 to
    64), recall thresholds (at least one), detections per image (whole
    numbers from 0, the last the cut), area ranges ((label, low, high))."""
    ious = _numbers(iou_thresholds, "iou_thresholds")
    if not 1 <= len(ious) <= 64:
        raise ValueError("iou_thresholds: give 1 to 64 thresholds")
    if any(not 0 <= v <= 1 for v in ious):
        raise ValueError("iou_thresholds: a threshold is outside 0 to 1")
    recalls = _numbers(recall_thresholds, "recall_thresholds")
    if not recalls:
        raise ValueError("recall_thresholds: give at least one")
    dets = _numbers(max_detections, "max_dets", whole=True)
    if not dets:
        raise ValueError("max_dets: give at least one number of detections per image")
    if any(v > 10 ** 9 for v in dets):
        raise ValueError("max_dets: a number above 1e9")
    ranges = []
    for given in area_ranges:
        try:
            label, low, high = given
        except (TypeError, ValueError):
            raise ValueError("area range %r is not (label, low, high)" % (given,)) from None
        low, high = _numbers((low, high), "area range %s" % (label,))
        if not isinstance(label, str):
            raise ValueError("area range %r: the label is not a text" % (given,))
        if low > high:
            raise ValueError("area range %s: its low bound is above its high" % label)
        ranges.append((label, low, high))
    if not ranges:
        raise ValueError("area_ranges: give at least one")
    return {"iou_thresholds": ious, "recall_thresholds": recalls, "max_detections": dets,
            "area_ranges": ranges}


def _iou_thresholds(value):
    """A list of thresholds, or the command's text: "0.5,0.75" or
    "START:STOP:COUNT" (numpy's linspace, as COCO's own are made)."""
    if value is None:
        return np.linspace(0.5, 0.95, 10).tolist()
    if isinstance(value, str):
        if ":" in value:
            parts = value.split(":")
            if len(parts) != 3:
                raise ValueError("iou_thresholds: expected START:STOP:COUNT or a list, "
                                 "e.g. 0.5:0.95:10")
            start, stop, count = (float(p) for p in parts)
            if count != int(count) or not 1 <= count <= 64:
                raise ValueError("iou_thresholds: the count is not a whole number from 1 to 64")
            return np.linspace(start, stop, int(count)).tolist()
        return [float(p) for p in value.split(",")]
    if isinstance(value, numbers.Real):
        return [value]
    return value


def _area_ranges(value):
    if value is None:
        return AREA_RANGES
    if isinstance(value, dict):
        return [(label, *bounds) for label, bounds in value.items()]
    return value


class ApResult:
    """COCO's average precision of a pair: what `talmira ap --format json` says.

    summary: a DataFrame of the twelve figures (measure "AP" or "AR", iou
    "0.50:0.95" or one threshold, area, max_detections, value), in the order
    COCOeval prints them; stats: their values as a numpy array; categories: a
    DataFrame with a row per category (id, name, ap, ap50, ap75, ap_small,
    ap_medium, ap_large, ar100, ground_truth, detections), -1 where a figure
    has no ground truth to stand on; text: the twelve lines as printed;
    warnings: what was dropped or mended on reading; parameters: the IoU and
    recall thresholds, max_detections and area ranges used. With arrays=True,
    precision [T, R, K, A, M], recall [T, K, A, M] and scores (as precision)
    are COCOeval's arrays (float64, -1 where a category has no ground truth
    in the range); None otherwise.
    """

    def __init__(self, report, text, stats, arrays):
        import pandas as pd

        self.summary = pd.DataFrame(report["summary"], columns=list(_SUMMARY_COLUMNS))
        self.categories = pd.DataFrame(report["categories"], columns=list(_CATEGORY_COLUMNS))
        for column in ("id", "ground_truth", "detections"):
            self.categories[column] = self.categories[column].astype("int64")
        self.summary["max_detections"] = self.summary["max_detections"].astype("int64")
        self.stats = stats
        self.text = text
        self.warnings = list(report["warnings"])
        self.parameters = report["parameters"]
        self.precision, self.recall, self.scores = arrays

    def _repr_html_(self):
        return self.summary.to_html(index=False)

    def __repr__(self):
        return self.text.rstrip("\n")


def _is_coco_pair(gt, sys, format, gt_format):
    named = format if format is not None else gt_format
    if named is not None:
        return named == "coco"
    paths = [_path_of(gt), _path_of(sys)]
    if None not in paths:
        return all(p.endswith(".json") for p in paths)
    if isinstance(sys, (list, tuple, np.ndarray)) or hasattr(sys, "dataset"):
        return True
    if isinstance(gt, dict) and {"images", "annotations", "categories"} & set(gt):
        return True
    return hasattr(gt, "dataset")


def ap(gt, sys, *, iou_thresholds=None, max_dets=None, area_ranges=None, confidence=0.0,
       jobs=None, arrays=False, format=None, gt_format=None, sys_format=None, **options):
    """COCO's average precision of the detections `sys` against `gt`: an
    ApResult with the numbers of `talmira ap --format json` (--arrays with
    arrays=True).

    A COCO pair: gt a ground truth (a path to its JSON, its dict, or a COCO
    object of talmira.cocoeval or pycocotools), sys the results (a path, a
    list of {image_id, category_id, bbox, score}, an N x 7 array
    [image_id, x, y, w, h, score, category_id], or a COCO object from
    loadRes()). Two paths are read as COCO when both end in .json, as the
    command reads them, or with format="coco" (or gt_format="coco").
    Inputs of other formats (paths or tables, with format, gt_format,
    sys_format and their options, as score() takes them) are scored with
    their frames as images and their classes as categories, don't-care
    regions and flagged boxes as crowds.

    iou_thresholds: a list, or "START:STOP:COUNT" (numpy's linspace; default
    0.5:0.95:10); max_dets: detections kept per image and category, the last
    the cut (default [1, 10, 100]); area_ranges: {label: (low, high)} or
    [(label, low, high)] by the annotations' area, bounds included (default
    all, small, medium, large at 32**2 and 96**2). confidence: only
    detections scoring at least this are taken. jobs: threads (default: every
    core); the result does not depend on it. arrays: keep COCOeval's
    precision, recall and scores arrays.

    Raises FileNotFoundError (or another OSError) for a file that cannot be
    opened, FormatError naming the file and line (for an input in memory,
    the list and element: 'results list [17]: ...') when malformed, and
    ValueError for a bad parameter.
    """
    threshold = _confidence(confidence)
    threads = _jobs(jobs)
    parameters = _parameters(_iou_thresholds(iou_thresholds), np.linspace(0.0, 1.0, 101).tolist(),
                             [1, 10, 100] if max_dets is None else max_dets,
                             _area_ranges(area_ranges))
    unknown = sorted(set(options) - set(_READING_OPTIONS) - set(_RULE_OPTIONS))
    if unknown:
        raise TypeError("ap() got an unexpected keyword argument %r" % unknown[0])
    if _is_coco_pair(gt, sys, format, gt_format):
        if options or sys_format not in (None, "coco"):
            given = sorted(options) + (["sys_format"] if sys_format not in (None, "coco") else [])
            raise ValueError("%s: a COCO pair is read as it is, in its own categories" %
                             ", ".join(given))
        images = _coco_images(gt, sys)
        from_confidence = threshold
    else:
        readings = _readings(gt, format, gt_format, sys_format, **options)
        truth, system = _read_pair(gt, sys, readings=readings)
        images = _talmira.coco_images_of_sequences(truth, system, threshold)
        from_confidence = 0.0
    matched = _talmira.coco_match(images, parameters, None, None, from_confidence, threads)
    result = _talmira.coco_accumulate(matched, threads)
    kept = ((result["precision"], result["recall"], result["scores"]) if arrays
            else (None, None, None))
    return ApResult(json.loads(result["report"]), result["summary"], result["stats"], kept)
