"""explain(): why a detector lost points."""

import json
import math
import numbers

import numpy as np

from . import _talmira
from ._columns import CLASSES
from ._errors import _file_error
from ._inputs import _benchmark_inputs, _benchmark_length, _path_of, _read_pair, _readings
from ._numbers import _confidence, _fraction, _jobs


#: The causes of a miss, in the order their rules are tried.
MISS_CAUSES = ("no_system_frame", "class_confusion", "dropped_in_region", "below_threshold",
               "localization", "missed")
#: The causes of a false alarm, in the order their rules are tried.
FALSE_ALARM_CAUSES = ("class_confusion", "duplicate", "localization", "background")
#: The rows (ground truth) and columns (system output) of the confusion matrix.
CONFUSION_LABELS = CLASSES[1:] + ("none",)
#: The left edges of the overlap histogram's bins: [0.2, 0.3), ..., [0.9, 1.0].
_BIN_EDGES = ("0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8", "0.9")
_EXPLAIN_CLASS_COLUMNS = ("class", "gt", "det", "fn", "fp", "frames", "nmodta")
_CAUSE_COLUMNS = ("class", "side", "cause", "count", "cost")
_PAIR_COLUMNS = ("class", "count", "mean_overlap", "mean_iou") + tuple("h" + e for e in _BIN_EDGES)
_FRAME_COLUMNS = ("frame", "line", "gt", "det", "fn", "fp")
_SIDES = (("miss", "misses", MISS_CAUSES), ("false_alarm", "false_alarms", FALSE_ALARM_CAUSES))


def _none_if_nan(value):
    return None if math.isnan(value) else float(value)


class ExplainResult:
    """Why a detector lost points on one sequence pair: every miss and false
    alarm of every class with its cause, as `talmira explain` gives them.

    classes: a DataFrame of each class's counts (class, gt, det, fn, fp,
    frames, nmodta), in the order of the pair's classes (CLASSES for files of
    this format).
    causes: a DataFrame with the rows of `talmira explain --format csv`:
    class, side ("miss" or "false_alarm"), cause, count and cost, the count
    over the class's GT (what NMODTA would gain were those errors gone; NaN
    where the class has no objects). Every class has a row for every cause,
    in the order of MISS_CAUSES and FALSE_ALARM_CAUSES.
    pairs: a DataFrame of each class's pairs: class, count, mean_overlap,
    mean_iou (NaN without pairs) and the histogram of their overlaps in the
    columns h0.2, h0.3, ..., h0.9, each bin [edge, edge + 0.1), the last one
    with 1.0 in it.
    confusion: the All matching's confusion matrix, a DataFrame of int64
    whose index (named "groundtruth") is the class of the ground-truth box
    and whose columns (named "system") the class of the system box, with
    "none" for no partner: confusion.loc["Car", "Truck"] counts cars the
    detector called trucks, confusion.loc["Car", "none"] missed cars,
    confusion.loc["none", "Car"] false alarms called cars.
    set_aside, excluded, dropped_in_region: the boxes that take no part in
    the matrix (system boxes set aside by a flagged box, flagged
    ground-truth boxes, system boxes a don't-care region dropped).
    frames: a DataFrame with every ground-truth frame in file order: frame,
    line (of its first record; for an in-memory table its row, counted from
    0) and All's gt, det, fn and fp.
    confidence, near: the thresholds used; groundtruth, system: the paths
    given, None for a table.
    """

    def __init__(self, classes, causes, pairs, confusion, frames, set_aside, excluded,
                 dropped_in_region, confidence, near, groundtruth=None, system=None,
                 rules=None):
        self.classes = classes
        self.causes = causes
        self.pairs = pairs
        self.confusion = confusion
        self.frames = frames
        self.set_aside = set_aside
        self.excluded = excluded
        self.dropped_in_region = dropped_in_region
        self.confidence = confidence
        #: The scoring rules the inputs were read under, as the command states them.
        self.rules = rules
        self.near = near
        self.groundtruth = groundtruth
        self.system = system

    def to_dict(self):
        """The report in the shape of `talmira explain --format json`: the
        same keys and, for two files, the same values (for a table the path is
        None and the frames' lines are its rows)."""
        causes = self.causes.set_index(["class", "side", "cause"])
        pairs = self.pairs.set_index("class")
        bins = ["h" + e for e in _BIN_EDGES]
        classes = []
        for row in self.classes.itertuples(index=False):
            cls = row[0]
            entry = dict(zip(_EXPLAIN_CLASS_COLUMNS[:-1], (cls,) + tuple(int(v) for v in row[1:6])))
            entry["nmodta"] = float(row[6])
            costs = {}
            for side, key, names in _SIDES:
                entry[key] = {n: int(causes.at[(cls, side, n), "count"]) for n in names}
                costs[key] = {n: _none_if_nan(causes.at[(cls, side, n), "cost"]) for n in names}
            entry["costs"] = costs
            p = pairs.loc[cls]
            entry["pairs"] = {"count": int(p["count"]),
                              "mean_overlap": _none_if_nan(p["mean_overlap"]),
                              "mean_iou": _none_if_nan(p["mean_iou"]),
                              "histogram": [int(p[b]) for b in bins]}
            classes.append(entry)
        return {
            "groundtruth": self.groundtruth,
            "system": self.system,
            "confidence": self.confidence,
            "near": self.near,
            "classes": classes,
            "confusion": self._confusion_dict(),
            "frames": [dict(zip(_FRAME_COLUMNS, (int(v) for v in r)))
                       for r in self.frames.itertuples(index=False)],
            **({"rules": self.rules} if self.rules is not None else {}),
        }

    def _confusion_dict(self):
        """The matrix as the command writes it: whole for up to 64 classes,
        else as the [row, column, count] of its cells that are not 0."""
        cells = self.confusion.to_numpy()
        matrix = {"labels": list(self.confusion.columns)}
        if len(matrix["labels"]) - 1 <= 64:
            matrix["matrix"] = [[int(v) for v in r] for r in cells]
        else:
            rows, columns = np.nonzero(cells)
            matrix["cells"] = [[int(r), int(c), int(cells[r, c])] for r, c in zip(rows, columns)]
        matrix.update(set_aside=self.set_aside, excluded=self.excluded,
                      dropped_in_region=self.dropped_in_region)
        return matrix

    def _lost(self):
        """The rows of the causes that cost points."""
        return self.causes[self.causes["count"] > 0]

    def _used_confusion(self):
        """The matrix cut to the classes that appear in it (a set's classes are many)."""
        matrix = self.confusion
        used = [label for label in matrix.index
                if matrix.loc[label].any() or matrix[label].any()]
        return matrix.loc[used, used]

    def _repr_html_(self):
        shown = self.classes[(self.classes["gt"] > 0) | (self.classes["fp"] > 0)]
        return "".join((
            "<p>Confidence %s, near %s; %d frames</p>" % (
                _talmira.shortest_text(self.confidence), _talmira.shortest_text(self.near),
                len(self.frames)),
            shown.to_html(index=False, float_format=lambda v: "%.6f" % v),
            "<p>Misses and false alarms by cause</p>",
            self._lost().to_html(index=False, float_format=lambda v: "%.6f" % v)
            if len(self._lost()) else "<p>none</p>",
            "<p>Confusion matrix of All (rows: ground truth, columns: system output)</p>",
            self._used_confusion().to_html()))

    def __repr__(self):
        shown = self.classes[(self.classes["gt"] > 0) | (self.classes["fp"] > 0)]
        lost = self._lost()
        return "\n".join((
            "ExplainResult(confidence %s, near %s, %d frames)" % (
                _talmira.shortest_text(self.confidence), _talmira.shortest_text(self.near),
                len(self.frames)),
            shown.to_string(index=False),
            "",
            "Misses and false alarms by cause:",
            lost.to_string(index=False) if len(lost) else "none",
            "",
            "Confusion matrix of All (rows: ground truth, columns: system output):",
            self._used_confusion().to_string()))


class TrackExplainResult:
    """Why a tracker (or detector) lost points under rules="mot" on MOT
    files, as `talmira explain --rules mot` says it: CLEAR's matching, its
    identity switches and fragmentations, and the ground-truth tracks with
    the most of them.

    classes: a DataFrame, a row per class evaluated (class, tracks,
    tracks_with_any, CLR_TP, CLR_FN, CLR_FP, IDSW, Frag); tracks: the worst
    tracks of each (class, gt_id, frames, matched, switches, fragmentations,
    tracker_ids), most switches and fragmentations first, at most `top` a
    class; to_dict(): the command's JSON; repr: its text.
    """

    _CLASS_COLUMNS = ("class", "tracks", "tracks_with_any", "CLR_TP", "CLR_FN", "CLR_FP", "IDSW",
                      "Frag")
    _TRACK_COLUMNS = ("class", "gt_id", "frames", "matched", "switches", "fragmentations",
                      "tracker_ids")

    def __init__(self, report, text):
        import pandas as pd

        self._report = report
        self._text = text
        self.classes = pd.DataFrame([[c[k] for k in self._CLASS_COLUMNS]
                                     for c in report["classes"]],
                                    columns=list(self._CLASS_COLUMNS))
        self.tracks = pd.DataFrame([[c["class"]] + [t[k] for k in self._TRACK_COLUMNS[1:]]
                                    for c in report["classes"] for t in c["worst_tracks"]],
                                   columns=list(self._TRACK_COLUMNS))
        for frame, columns in ((self.classes, self._CLASS_COLUMNS[1:]),
                               (self.tracks, self._TRACK_COLUMNS[1:-1])):
            for column in columns:
                frame[column] = frame[column].astype("int64")
        for key in ("groundtruth", "system", "rules", "frames", "length_from", "confidence",
                    "top"):
            setattr(self, key, report[key])

    def to_dict(self):
        """The report of `talmira explain --rules mot --format json`."""
        return json.loads(json.dumps(self._report))

    def __repr__(self):
        return self._text


def explain(gt, sys, confidence=0.0, near=0.1, jobs=None, *, format=None, gt_format=None,
            sys_format=None, length=None, top=None, **options):
    """Why the detector's output `sys` lost points against the ground truth
    `gt`: an ExplainResult, the numbers of `talmira explain`.

    Every miss and false alarm of every class, in the matching score() makes
    at `confidence`, gets the first cause that applies (MISS_CAUSES,
    FALSE_ALARM_CAUSES; see `talmira explain --help`); each costs the class
    1/GT of its NMODTA, so a class's costs add up to 1 - NMODTA.

    gt, sys: a path or an in-memory table (see the module's help).
    confidence: a box is taken when its confidence is at least this, in both
    inputs (0 to 1). near: the overlap from which an unpaired box and object
    are near each other (0 to 1). jobs: as in score().
    Raises as score() does, and ValueError for a bad near.
    format, gt_format, sys_format and the options of other formats: as in score().

    rules="mot" on two MOT files (format mot or mot15) explains as `talmira
    explain --rules mot` does and gives a TrackExplainResult: CLEAR's
    matching, the benchmark's count, with the ground-truth tracks that
    switched or fragmented most (at most top, default 10); length as in
    sweep(); a confidence above 0 leaves out the boxes below it, 0 keeps
    every box; near has no meaning there (ValueError, with the command's
    words).
    """
    import pandas as pd

    threshold = _confidence(confidence)
    inputs = _benchmark_inputs(gt, sys, format, gt_format, sys_format, options)
    if inputs is not None:
        if top is not None and (isinstance(top, bool) or not isinstance(top, numbers.Integral)
                                or top < 1):
            raise ValueError("top %r is not a whole number from 1" % (top,))
        try:
            native = _talmira.benchmark_explain(
                *inputs[0], *inputs[1:], None if threshold == 0 else threshold,
                _benchmark_length(length), 10 if top is None else int(top),
                "--near" if near != 0.1 else "")
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, inputs[0]) from None
        if native is not None:
            return TrackExplainResult(json.loads(native[0]), native[1])
    for given, value in (("length", length), ("top", top)):
        if value is not None:
            raise ValueError("%s goes with rules='mot' on MOT files" % given)
    near = _fraction(near, "near")
    threads = _jobs(jobs)
    readings = _readings(gt, format, gt_format, sys_format, **options)
    paths = [_path_of(gt), _path_of(sys)]
    if None not in paths and readings == (None, None):
        try:
            native = _talmira.explain_file_pair(*paths, threshold, near, threads)
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, paths) from None
    else:
        ground_truth, system = _read_pair(gt, sys, readings=readings)
        native = _talmira.explain(ground_truth, system, threshold, near, threads)
    report = json.loads(native[0])
    classes = report["classes"]

    class_frame = pd.DataFrame([[c[k] for k in _EXPLAIN_CLASS_COLUMNS] for c in classes],
                               columns=list(_EXPLAIN_CLASS_COLUMNS))
    causes = pd.DataFrame(
        [(c["class"], side, name, c[key][name],
          math.nan if c["costs"][key][name] is None else c["costs"][key][name])
         for c in classes for side, key, names in _SIDES for name in names],
        columns=list(_CAUSE_COLUMNS))
    pairs = pd.DataFrame(
        [(c["class"], c["pairs"]["count"],
          math.nan if c["pairs"]["mean_overlap"] is None else c["pairs"]["mean_overlap"],
          math.nan if c["pairs"]["mean_iou"] is None else c["pairs"]["mean_iou"],
          *c["pairs"]["histogram"]) for c in classes],
        columns=list(_PAIR_COLUMNS))
    for frame, columns in ((class_frame, _EXPLAIN_CLASS_COLUMNS[1:-1]), (causes, ("count",)),
                           (pairs, ("count",) + _PAIR_COLUMNS[4:])):
        for column in columns:
            frame[column] = frame[column].astype("int64")
    # None (no objects, no pairs) was read as NaN; a column without one is float too.
    causes["cost"] = causes["cost"].astype("float64")
    for column in ("mean_overlap", "mean_iou"):
        pairs[column] = pairs[column].astype("float64")

    matrix = report["confusion"]
    labels = pd.Index(matrix["labels"], name="groundtruth")
    if "matrix" in matrix:
        cells = np.array(matrix["matrix"], dtype=np.int64).reshape(len(labels), len(labels))
    else:
        # A large set's matrix comes as its cells that are not 0.
        cells = np.zeros((len(labels), len(labels)), dtype=np.int64)
        for row, column, count in matrix["cells"]:
            cells[row, column] = count
    confusion = pd.DataFrame(cells, index=labels,
                             columns=pd.Index(matrix["labels"], name="system"))

    frame_columns = dict(zip(_FRAME_COLUMNS, native[1:]))
    if paths[0] is None:
        # A table's frames start at its rows: line 2 is its first record.
        frame_columns["line"] = frame_columns["line"] - 2
    frames = pd.DataFrame(frame_columns, columns=list(_FRAME_COLUMNS))

    rules = json.loads(_talmira.rules_json(readings[0]["rules"] if readings[0] is not None
                                           else None))
    return ExplainResult(class_frame, causes, pairs, confusion, frames,
                         matrix["set_aside"], matrix["excluded"], matrix["dropped_in_region"],
                         report["confidence"], report["near"], paths[0], paths[1], rules)
