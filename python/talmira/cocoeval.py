"""COCO and COCOeval for boxes, for code written for pycocotools.

    from talmira.cocoeval import COCO, COCOeval    # instead of pycocotools'

    gt = COCO("instances_val2017.json")
    dt = gt.loadRes(results)          # a path, a list of result dicts, an N x 7 array
    E = COCOeval(gt, dt, "bbox")
    E.params.imgIds = gt.getImgIds()[:500]
    E.evaluate(); E.accumulate(); E.summarize()
    E.stats                           # the twelve figures, as pycocotools gives them

The figures, and the precision, recall and scores arrays of E.eval, are
those of pycocotools' COCOeval (iouType "bbox"), computed by the C++ library
`talmira ap` runs, on several cores and without the GIL. cocoGt and cocoDt
may also be given directly: a path to a JSON file, a dict (the ground
truth's dataset; for the results, their list), or any object with a
.dataset (pycocotools' COCO objects too; for one made by loadRes, its
dataset's "annotations" are the results).

Not here: iouType "segm" and "keypoints", useCats = 0 (NotImplementedError);
E.evalImgs and E.ious, the per-image records (NotImplementedError); and of
COCO, everything but dataset, getImgIds, getCatIds, loadImgs, loadCats,
loadRes and createIndex.
"""

import copy
import datetime
import json
import numbers
import time
import warnings

import numpy as np

from . import _talmira
from ._ap import _coco_images, _coco_input, _numpy_results, _parameters, _read_coco
from ._inputs import _path_of
from ._numbers import _jobs

__all__ = ["COCO", "COCOeval", "Params"]


def _listed(value):
    """pycocotools' rule for ids: a sequence as it is, a single id as a list of one."""
    return value if hasattr(value, "__iter__") and hasattr(value, "__len__") else [value]


def _require_boxes(iou_type):
    if iou_type != "bbox":
        raise NotImplementedError(
            "talmira.cocoeval evaluates boxes only (iouType 'bbox'), not %r" % (iou_type,))


def _warn(images):
    for text in images.warnings:
        warnings.warn(text, stacklevel=3)


class COCO:
    """A COCO dataset as COCOeval and loadRes() need it.

    COCO(path) reads the file when an evaluation needs it (its dataset,
    loaded on first use, is for reading: later changes to it are not seen,
    as pycocotools indexes the file once); COCO(dict), or COCO() with
    .dataset set, holds a dataset in memory, read as it is when evaluated.
    """

    def __init__(self, annotation_file=None):
        self._path = None
        self._dataset = None
        # A results set (loadRes()): the ground truth it was read with, the
        # results (a path or a list) and the pair's images.
        self._truth = None
        self._results = None
        self._images = None
        if annotation_file is None:
            self._dataset = {}
            return
        path = _path_of(annotation_file)
        if path is not None:
            with open(path, "rb"):
                pass  # a file that cannot be opened raises here, as in pycocotools
            self._path = path
        elif isinstance(annotation_file, dict):
            self._dataset = annotation_file
        else:
            raise TypeError("COCO takes a path or a dataset dict, not %s"
                            % type(annotation_file).__name__)

    @property
    def dataset(self):
        """The dataset dict (images, annotations, categories); for a results
        set, the ground truth's images and categories with the results as
        its annotations, each given id (its position from 1), area (w * h)
        and iscrowd 0, as pycocotools' loadRes() makes them."""
        if self._dataset is None:
            if self._results is not None:
                self._dataset = self._results_dataset()
            else:
                with open(self._path, encoding="utf-8") as file:
                    self._dataset = json.load(file)
        return self._dataset

    @dataset.setter
    def dataset(self, value):
        self._dataset = value
        self._path = self._truth = self._results = self._images = None

    def createIndex(self):
        """pycocotools' index of the dataset. Nothing is needed here; a
        dataset set in memory is read as it is when evaluated."""
        if self._results is None and self._dataset is not None:
            self._path = None

    def _results_dataset(self):
        truth = self._truth.dataset
        results = self._results
        if isinstance(results, str):
            with open(results, encoding="utf-8") as file:
                results = json.load(file)
        annotations = []
        for position, result in enumerate(results):
            annotation = dict(result)
            box = annotation.get("bbox")
            if box is not None and len(box) == 4:
                annotation["area"] = box[2] * box[3]
            annotation["id"] = position + 1
            annotation["iscrowd"] = 0
            annotations.append(annotation)
        return {"images": list(truth.get("images", [])),
                "categories": copy.deepcopy(truth.get("categories", [])),
                "annotations": annotations}

    def _talmira_input(self, side):
        if side == 1 and self._results is not None:
            return _coco_input(self._results, 1)
        if side == 0 and self._path is not None:
            return (self._path, True, self._path, None)
        return _coco_input(self.dataset, side)

    def _talmira_images(self, truth):
        return self._images if self._truth is truth else None

    def getImgIds(self, imgIds=[], catIds=[]):  # noqa: B006 (pycocotools' signature)
        """The ids of the images (in file order, each once); with imgIds or
        catIds, those of imgIds holding an annotation of every one of catIds."""
        imgIds, catIds = _listed(imgIds), _listed(catIds)
        images = list(dict.fromkeys(image["id"] for image in self.dataset.get("images", [])))
        if len(imgIds) == 0 and len(catIds) == 0:
            return images
        ids = set(imgIds)
        if catIds:
            by_category = {}
            for annotation in self.dataset.get("annotations", []):
                by_category.setdefault(annotation["category_id"], set()).add(annotation["image_id"])
            for k, category in enumerate(catIds):
                holding = by_category.get(category, set())
                ids = set(holding) if k == 0 and not ids else ids & holding
        return list(ids)

    def getCatIds(self, catNms=[], supNms=[], catIds=[]):  # noqa: B006
        """The ids of the categories in file order; with catNms, supNms or
        catIds, those of these names, supercategories or ids."""
        catNms, supNms, catIds = _listed(catNms), _listed(supNms), _listed(catIds)
        categories = self.dataset.get("categories", [])
        if catNms:
            categories = [c for c in categories if c.get("name") in catNms]
        if supNms:
            categories = [c for c in categories if c.get("supercategory") in supNms]
        if catIds:
            categories = [c for c in categories if c["id"] in catIds]
        return [c["id"] for c in categories]

    def loadImgs(self, ids=[]):  # noqa: B006
        """The image dicts of the ids."""
        images = {image["id"]: image for image in self.dataset.get("images", [])}
        return [images[i] for i in _listed(ids)]

    def loadCats(self, ids=[]):  # noqa: B006
        """The category dicts of the ids."""
        categories = {c["id"]: c for c in self.dataset.get("categories", [])}
        return [categories[i] for i in _listed(ids)]

    def loadRes(self, resFile):
        """The results set of a path to a results JSON, a list of result
        dicts ({image_id, category_id, bbox, score}) or an N x 7 array
        [image_id, x, y, w, h, score, category_id], read at once with this
        ground truth: FormatError (file and line, or the list's element) for
        a malformed result or one on an image the ground truth lacks."""
        results = _path_of(resFile)
        if results is None:
            if isinstance(resFile, np.ndarray):
                results = _numpy_results(resFile)
            elif isinstance(resFile, (list, tuple)):
                results = resFile
            else:
                raise TypeError("loadRes takes a path, a list of result dicts or an N x 7 "
                                "array, not %s" % type(resFile).__name__)
        res = COCO()
        res._dataset = None
        res._truth = self
        res._results = results
        res._images = _read_coco(_coco_input(self, 0), _coco_input(results, 1))
        _warn(res._images)
        return res


class Params:
    """COCOeval's parameters, as pycocotools sets them for boxes."""

    def __init__(self, iouType="bbox"):
        self.imgIds = []
        self.catIds = []
        # numpy's linspace with pycocotools' counts: 0.5 to 0.95 in 10, 0 to 1 in 101.
        self.iouThrs = np.linspace(0.5, 0.95, int(np.round((0.95 - 0.5) / 0.05)) + 1,
                                   endpoint=True)
        self.recThrs = np.linspace(0.0, 1.00, int(np.round((1.00 - 0.0) / 0.01)) + 1,
                                   endpoint=True)
        self.maxDets = [1, 10, 100]
        self.areaRng = [[0 ** 2, 1e5 ** 2], [0 ** 2, 32 ** 2], [32 ** 2, 96 ** 2],
                        [96 ** 2, 1e5 ** 2]]
        self.areaRngLbl = ["all", "small", "medium", "large"]
        self.useCats = 1
        self.iouType = iouType
        self.useSegm = None


def _ids(values, what):
    """Sorted distinct ids, as evaluate() makes them (numpy's unique)."""
    unique = list(np.unique(np.asarray(values))) if len(values) else []
    whole = []
    for v in unique:
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Real) or v != int(v):
            raise ValueError("params.%s: %r is not a whole number" % (what, v))
        whole.append(int(v))
    return unique, whole


class COCOeval:
    """pycocotools' COCOeval for boxes: evaluate(), accumulate(), summarize(),
    .params, .eval and .stats as it has them (see the module's help).

    cocoGt: a COCO, a path or a dataset dict; cocoDt: a COCO from
    loadRes(), a path, a list of result dicts or an N x 7 array. jobs:
    threads (default: every core); the figures do not depend on it.
    """

    def __init__(self, cocoGt=None, cocoDt=None, iouType="bbox", *, jobs=None):
        iouType = "bbox" if iouType is None else iouType
        _require_boxes(iouType)
        self.cocoGt = cocoGt
        self.cocoDt = cocoDt
        self.params = Params(iouType=iouType)
        self.eval = {}
        self.stats = []
        self._paramsEval = {}
        self._jobs = _jobs(jobs)
        self._images = None
        self._read_for = (None, None)
        self._matched = None
        self._categories = []  # params.catIds as evaluate() matched them
        self._summary = None
        self._stats = None
        if cocoGt is not None:
            images = self._read(cocoDt is not None)
            self.params.imgIds = sorted(images.image_ids.tolist())
            self.params.catIds = sorted(images.category_ids.tolist())

    # Per-image records are not kept: the matching stays in the C++ library.
    @property
    def evalImgs(self):
        raise NotImplementedError("talmira.cocoeval keeps no per-image records (evalImgs); "
                                  "E.eval holds the accumulated arrays")

    @property
    def ious(self):
        raise NotImplementedError("talmira.cocoeval keeps no IoU matrices (ious)")

    def _read(self, with_results):
        """The pair's images (with_results False: the ground truth's alone),
        read again only when cocoGt or cocoDt is another object."""
        truth, results = self.cocoGt, self.cocoDt if with_results else None
        if truth is None:
            raise ValueError("COCOeval has no ground truth (cocoGt)")
        if with_results and results is None:
            raise ValueError("COCOeval has no results (cocoDt)")
        if self._images is not None and self._read_for[0] is truth and \
                self._read_for[1] is results:
            return self._images
        if with_results:
            loaded = getattr(results, "_talmira_images", None)
            said = loaded is not None and loaded(truth) is not None
            images = _coco_images(truth, results)
            if not said:
                _warn(images)  # those of loadRes() were said then
        else:
            images = _read_coco(_coco_input(truth, 0), ("[]", False, "no results", None))
        self._images = images
        self._read_for = (truth, results)
        return images

    def _parameters(self, p):
        if len(p.areaRng) != len(p.areaRngLbl):
            raise ValueError("params.areaRng has %d ranges and params.areaRngLbl %d labels"
                             % (len(p.areaRng), len(p.areaRngLbl)))
        ranges = []
        for label, bounds in zip(p.areaRngLbl, p.areaRng):
            try:
                low, high = bounds
            except (TypeError, ValueError):
                raise ValueError("params.areaRng: %r is not [low, high]" % (bounds,)) from None
            ranges.append((label, low, high))
        return _parameters(p.iouThrs, p.recThrs, p.maxDets, ranges)

    def evaluate(self):
        """Matches the detections of every image and category of params.imgIds
        and params.catIds (made sorted and distinct, params.maxDets sorted,
        as pycocotools does)."""
        tic = time.time()
        print("Running per image evaluation...")
        p = self.params
        _require_boxes(p.iouType)
        if not p.useCats:
            raise NotImplementedError("talmira.cocoeval evaluates per category only "
                                      "(params.useCats = 1)")
        print("Evaluate annotation type *{}*".format(p.iouType))
        p.imgIds, image_ids = _ids(p.imgIds, "imgIds")
        p.catIds, category_ids = _ids(p.catIds, "catIds")
        p.maxDets = sorted(p.maxDets)
        self.params = p
        parameters = self._parameters(p)
        images = self._read(True)
        if image_ids == images.image_ids.tolist():
            image_ids = None
        wanted = category_ids
        if category_ids == images.category_ids.tolist():
            category_ids = None
        self._matched = _talmira.coco_match(images, parameters, image_ids, category_ids, 0.0,
                                            self._jobs)
        self._categories = wanted
        self._paramsEval = copy.deepcopy(p)
        self.eval = {}
        print("DONE (t={:0.2f}s).".format(time.time() - tic))

    def accumulate(self, p=None):
        """The precision, recall and scores arrays of what evaluate() matched,
        in self.eval (COCOeval's keys and shapes)."""
        print("Accumulating evaluation results...")
        tic = time.time()
        if self._matched is None:
            raise RuntimeError("Please run evaluate() first")
        if p is None:
            p = self.params
        result = _talmira.coco_accumulate(self._matched, self._jobs)
        precision, recall, scores = result["precision"], result["recall"], result["scores"]
        held = result["category_ids"].tolist()
        if held != self._categories:
            # Categories of params.catIds the ground truth lacks: -1 throughout.
            at = [self._categories.index(c) for c in held]
            K = len(self._categories)

            def spread(values, axis):
                shape = list(values.shape)
                shape[axis] = K
                out = np.full(shape, -1.0)
                index = [slice(None)] * len(shape)
                index[axis] = at
                out[tuple(index)] = values
                return out

            precision, recall, scores = spread(precision, 2), spread(recall, 1), spread(scores, 2)
        T, R, K, A, M = precision.shape
        self.eval = {
            "params": p,
            "counts": [T, R, K, A, M],
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
            "precision": precision,
            "recall": recall,
            "scores": scores,
        }
        self._summary = result["summary"]
        self._stats = result["stats"]
        print("DONE (t={:0.2f}s).".format(time.time() - tic))

    def summarize(self):
        """Prints the twelve lines as COCOeval prints them and sets self.stats."""
        if not self.eval:
            raise Exception("Please run accumulate() first")
        print(self._summary, end="")
        self.stats = self._stats.copy()
