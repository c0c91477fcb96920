"""stability(): how steadily a detector follows each ground-truth track, as
`talmira stability` computes it."""

import json

from . import _talmira
from ._errors import _file_error
from ._inputs import _RULE_OPTIONS, _rules
from ._numbers import _confidence
from ._track import _text_option, _track_path

# The per-track table's error columns, in the order of the command's CSV.
_TRACK_ERRORS = ("fragment_error", "centre_error", "sd_x", "sd_y", "scale_ratio_error",
                 "sd_ratio", "sd_scale", "sum")
_SUMMARY_ERRORS = ("fragment_error", "centre_error", "scale_ratio_error", "sum")


class StabilityResult:
    """The stability errors of a detector's boxes over the ground truth's
    tracks: what `talmira stability --format json` says.

    summary: a DataFrame with a row per class ("All" first, or the one class
    asked for): class, tracks (those matched in a frame at least, int64),
    left_out (never matched, int64), fragment_error (E_F), centre_error
    (E_C), scale_ratio_error (E_R) and sum, the means over the tracks used
    (NaN when none is). tracks: a DataFrame with a row per track of every
    class row, as the command's CSV: class, identity (str), frames,
    matched, changes (int64), fragment_error, centre_error, sd_x, sd_y,
    scale_ratio_error, sd_ratio, sd_scale, sum (NaN for a track never
    matched) and worst_frames (a tuple of frame numbers, the worst first).
    worst: a DataFrame of those frames: class, identity, rank (0 the worst),
    frame, e_x, e_y, e_r, e_s, magnitude. matching: "detection" (talmira
    score's matching) or "clear" (CLEAR's at IoU 0.5); track_rules: the
    benchmark's rules under clear, else None; confidence: the threshold
    given, or None; report: the command's JSON as a dict; warnings: what the
    readers found suspect; text: the command's table, which repr() shows.
    """

    def __init__(self, report, text, warnings):
        import pandas as pd

        self.report = report
        self.matching = report["matching"]
        self.track_rules = report.get("track_rules")
        self.confidence = report["confidence"]
        self.warnings = list(warnings)
        self.text = text
        classes = report["classes"]
        summary = {"class": [c["class"] for c in classes],
                   "tracks": [c["tracks"] for c in classes],
                   "left_out": [c["left_out"] for c in classes]}
        for name in _SUMMARY_ERRORS:
            summary[name] = [_number(c[name]) for c in classes]
        self.summary = pd.DataFrame(summary)
        rows = [(c["class"], t) for c in classes for t in c["per_track"]]
        tracks = {"class": [c for c, _ in rows], "identity": [t["identity"] for _, t in rows]}
        for name in ("frames", "matched", "changes"):
            tracks[name] = [t[name] for _, t in rows]
        for name in _TRACK_ERRORS:
            tracks[name] = [_number(t[name]) for _, t in rows]
        tracks["worst_frames"] = [tuple(w["frame"] for w in t["worst_frames"]) for _, t in rows]
        self.tracks = pd.DataFrame(tracks, columns=list(tracks))
        worst_columns = ("frame", "e_x", "e_y", "e_r", "e_s", "magnitude")
        worst = [(c, t["identity"], rank, w) for c, t in rows
                 for rank, w in enumerate(t["worst_frames"])]
        self.worst = pd.DataFrame({"class": [c for c, _, _, _ in worst],
                                   "identity": [i for _, i, _, _ in worst],
                                   "rank": [r for _, _, r, _ in worst],
                                   **{k: [w[k] for _, _, _, w in worst] for k in worst_columns}})
        for frame, columns in ((self.summary, ("tracks", "left_out")),
                               (self.tracks, ("frames", "matched", "changes")),
                               (self.worst, ("rank", "frame"))):
            for column in columns:
                frame[column] = frame[column].astype("int64")
        for frame, columns in ((self.summary, _SUMMARY_ERRORS), (self.tracks, _TRACK_ERRORS),
                               (self.worst, worst_columns[1:])):
            for column in columns:
                frame[column] = frame[column].astype("float64")
        for frame in (self.summary, self.tracks, self.worst):
            frame["class"] = frame["class"].astype(object)
        for frame in (self.tracks, self.worst):
            frame["identity"] = frame["identity"].astype(object)

    def _repr_html_(self):
        return self.summary.to_html(index=False)

    def __repr__(self):
        return self.text.rstrip("\n")


def _number(value):
    return float("nan") if value is None else value


def stability(gt, sys, *, gt_format=None, sys_format=None, ids=None, confidence=None,
              class_name="All", **rules):
    """The fragment error E_F, centre error E_C and scale-and-ratio error E_R
    of the detector's file `sys` over each track of the ground truth `gt`,
    averaged over the tracks matched in a frame at least: a StabilityResult
    with the numbers of `talmira stability --format json`, by the command's
    own code.

    gt, sys: paths (str or os.PathLike). gt_format, sys_format: a format of
    FORMATS (default talmira), or with rules="mot" also a track layout
    (mot15, mot16, mot17, mot20). ids="text": in files of format talmira,
    column 14's text is each box's track (the ground truth needs it then).
    confidence: boxes scored below it are left out; None takes every box
    (under rules="mot", every box of the tracker's file, as track() does).
    class_name: the one class to report, as the files name it ("All":
    every class).

    The frames are matched as score() matches them under the rules given
    as keyword arguments (rules "visdrone" or "kitti", overlap,
    min_overlap, region_cover, min_side; the defaults without them), or
    with rules="mot" (and no other) by CLEAR's matching at IoU 0.5, as
    track() matches them.

    Raises FileNotFoundError (or another OSError) for a file that cannot be
    opened, FormatError naming the file and line (the command's message)
    for one that is malformed, that names no identities or gives one
    identity twice in a frame, and ValueError for a bad option (a class the
    pair has not, a value of the rules given with rules="mot").
    """
    unknown_keys = sorted(set(rules) - set(_RULE_OPTIONS))
    if unknown_keys:
        raise TypeError("unexpected keyword argument %r" % unknown_keys[0])
    paths = (_track_path(gt, "gt"), _track_path(sys, "sys"))
    gt_format = "talmira" if gt_format is None else _text_option(gt_format, "gt_format")
    sys_format = "talmira" if sys_format is None else _text_option(sys_format, "sys_format")
    if ids not in (None, "text"):
        raise ValueError("ids %r is not 'text'" % (ids,))
    ids = _text_option(ids, "ids")
    class_name = _text_option(class_name, "class_name") or "All"
    threshold = None if confidence is None else _confidence(confidence)
    clear = rules.get("rules") == "mot"
    if clear:
        for key in _RULE_OPTIONS[1:]:
            if rules.get(key) is not None:
                raise ValueError("%s has no meaning with rules='mot' (CLEAR matches at IoU 0.5, "
                                 "as track())" % key)
        resolved = None
    else:
        resolved = _rules(dict(rules))
    try:
        report, text, warnings = _talmira.stability(paths[0], paths[1], gt_format, sys_format,
                                                    ids, resolved, clear, threshold, class_name)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, list(paths)) from None
    return StabilityResult(json.loads(report), text, warnings)
