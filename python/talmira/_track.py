"""track(): HOTA, CLEAR and Identity of a tracker's file, as `talmira track`
computes them (the tracking benchmarks' evaluator's figures)."""

import json
import numbers

from . import _talmira
from ._errors import _file_error
from ._inputs import _path_of
from ._numbers import _confidence

# (name, per_alpha, counts) in the order of the command's CSV columns.
_FIGURES = tuple(_talmira.track_figures())


def _text_option(value, what):
    if value is None:
        return ""
    if not isinstance(value, str):
        raise ValueError("%s %r is not a name" % (what, value))
    return value


def _length(value):
    if value is None:
        return 0
    if (isinstance(value, bool) or not isinstance(value, numbers.Integral)
            or not 1 <= value <= 2 ** 32 - 1):
        raise ValueError("length %r is not a whole number of frames from 1" % (value,))
    return int(value)


def _track_path(value, what):
    path = _path_of(value)
    if path is None:
        raise TypeError("%s is a path (str or os.PathLike): track() reads files, not %s"
                        % (what, type(value).__name__))
    return path


class TrackResult:
    """A tracker's figures against the ground truth's tracks: what
    `talmira track --format json` says.

    summary: a DataFrame with a row per class, the column class and then
    every figure under the evaluator's name, in the order of the command's
    CSV (HOTA, DetA, AssA, ..., MOTA, ..., CLR_TP, ..., IDF1, ..., IDFP);
    the HOTA family's figures are means over the alphas, counts are int64.
    per_alpha: a DataFrame with the columns class, alpha and the HOTA
    family's twelve figures, a row per alpha (0.05 to 0.95, 19 a class).
    rules: the benchmark's rules used ("mot", "mot20", "mot15", "plain");
    frames: the sequence's length; length_from: where it came from
    ("seqinfo.ini", "--length", "the last frame of either file");
    confidence: the threshold tracker boxes were held to, or None;
    warnings: what the readers found suspect, "file:line: ..."; text: the
    command's text tables, which repr() shows.
    """

    def __init__(self, report, text, warnings):
        import pandas as pd

        self.rules = report["rules"]
        self.frames = int(report["frames"])
        self.length_from = report["length_from"]
        self.confidence = report["confidence"]
        self.warnings = list(warnings)
        self.text = text
        classes = report["classes"]
        alpha_figures = [name for name, per_alpha, _ in _FIGURES if per_alpha]
        summary = {"class": [c["class"] for c in classes]}
        per_alpha = {"class": [c["class"] for c in classes for _ in report["alphas"]],
                     "alpha": [a for _ in classes for a in report["alphas"]]}
        for name, _, _ in _FIGURES:
            summary[name] = [c["measures"][name] for c in classes]
        for name in alpha_figures:
            per_alpha[name] = [v for c in classes for v in c["measures"][name + "_per_alpha"]]
        self.summary = pd.DataFrame(summary, columns=["class"] + [f[0] for f in _FIGURES])
        self.per_alpha = pd.DataFrame(per_alpha, columns=["class", "alpha"] + alpha_figures)
        for name, per_alpha_figure, counts in _FIGURES:
            self.summary[name] = self.summary[name].astype(
                "int64" if counts and not per_alpha_figure else "float64")
            if per_alpha_figure:
                self.per_alpha[name] = self.per_alpha[name].astype(
                    "int64" if counts else "float64")
        self.per_alpha["alpha"] = self.per_alpha["alpha"].astype("float64")

    def _repr_html_(self):
        return self.summary.to_html(index=False)

    def __repr__(self):
        return self.text.rstrip("\n")


def track(gt, sys, *, gt_format="mot", sys_format="mot", ids=None, rules=None, confidence=None,
          length=None):
    """HOTA, CLEAR and Identity of the tracker's file `sys` against the
    ground truth's tracks `gt`, as the tracking benchmarks' evaluator
    (TrackEval) computes them: a TrackResult with the numbers of
    `talmira track --format json`, by the command's own code.

    gt, sys: paths (str or os.PathLike). gt_format: mot (MOT15 or
    MOT16/17/20, recognised from the file), mot15, mot16 (or mot17, mot20),
    visdrone, uavdt, kitti, cvat or talmira; sys_format: the same, mot reading
    the tracker's file in the ground truth's layout. ids="text": in files of
    format talmira, column 14's text is the identity (required there).
    rules: mot (MOT16/17), mot20, mot15, kitti (KITTI tracking's cars and
    pedestrians, both files read as KITTI's) or plain; by default the ground
    truth's layout decides (MOT15 or MOT16/17), plain for the others.
    confidence: tracker boxes scored below it are left out (a score of -1,
    none given, is kept); None keeps every box, as the evaluator does.
    length: the frames in the sequence; by default seqinfo.ini's seqLength
    beside the ground truth (in its folder or the one above; under rules
    kitti, the seqmap evaluate_tracking.seqmap.training there), else the
    last frame of either file.

    Raises FileNotFoundError (or another OSError) for a file that cannot be
    opened or read, FormatError naming the file and line (the command's
    message) for one that is malformed or that the benchmark refuses, and
    ValueError for a bad option.
    """
    paths = (_track_path(gt, "gt"), _track_path(sys, "sys"))
    gt_format = "mot" if gt_format is None else _text_option(gt_format, "gt_format")
    sys_format = "mot" if sys_format is None else _text_option(sys_format, "sys_format")
    if ids not in (None, "text"):
        raise ValueError("ids %r is not 'text'" % (ids,))
    ids = _text_option(ids, "ids")
    if "talmira" in (gt_format, sys_format) and ids != "text":
        raise ValueError("files of format talmira carry identities only in column 14: "
                         "give ids='text'")
    rules = _text_option(rules, "rules")
    threshold = None if confidence is None else _confidence(confidence)
    frames = _length(length)
    try:
        report, text, warnings = _talmira.track(paths[0], paths[1], gt_format, sys_format, ids,
                                                rules, threshold, frames)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, list(paths)) from None
    except ValueError as error:
        message = str(error)
        if message.startswith("--rules: "):
            message = "rules: " + message[len("--rules: "):]
        raise ValueError(message) from None
    return TrackResult(json.loads(report), text, warnings)
