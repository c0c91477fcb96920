"""score(): every class's counts for one pair at one confidence."""

from . import _talmira
from ._errors import _file_error, _table_error
from ._inputs import _benchmark_inputs, _path_of, _read_pair, _readings, _table_pair_layouts
from ._numbers import _confidence, _jobs, _nmodta

_RESULT_COLUMNS = ("class", "gt", "det", "fn", "fp", "frames", "nmodta")


class ScoreResult:
    """Every class's counts for one sequence pair at one confidence.

    rows: a list of dicts with the keys class, gt, det, fn, fp, frames and
    nmodta, in the order of CLASSES; confidence: the threshold used.
    """

    def __init__(self, rows, confidence):
        self.rows = rows
        self.confidence = confidence

    def __getitem__(self, cls):
        for row in self.rows:
            if row["class"] == cls:
                return dict(row)
        raise KeyError(cls)

    def to_dict(self):
        """{class: {gt, det, fn, fp, frames, nmodta}} in class order."""
        return {row["class"]: {k: row[k] for k in _RESULT_COLUMNS[1:]} for row in self.rows}

    def to_pandas(self):
        """A DataFrame with the columns class, gt, det, fn, fp, frames, nmodta."""
        import pandas as pd

        frame = pd.DataFrame(self.rows, columns=list(_RESULT_COLUMNS))
        for column in _RESULT_COLUMNS[1:-1]:
            frame[column] = frame[column].astype("int64")
        return frame

    def _repr_html_(self):
        return self.to_pandas().to_html(index=False, float_format=lambda v: "%.6f" % v)

    def __repr__(self):
        lines = ["%-15s %8s %8s %8s %8s %8s %10s" % ("Class", "GT", "Det", "FN", "FP", "Frames",
                                                   "NMODTA")]
        for r in self.rows:
            lines.append("%-15s %8d %8d %8d %8d %8d %10.6f" % (
                r["class"], r["gt"], r["det"], r["fn"], r["fp"], r["frames"], r["nmodta"]))
        return "\n".join(lines)


def score(gt, sys, confidence=0.0, jobs=None, *, format=None, gt_format=None, sys_format=None,
          **options):
    """Scores the detector's output `sys` against the ground truth `gt`.

    gt, sys: a path (str or os.PathLike) or an in-memory table (see the
    module's help). confidence: a box is taken when its confidence is at
    least this, in both inputs; a number from 0 to 1. jobs: threads that
    match frames (default: the cores this process may use, as the command);
    the counts do not depend on it. Give 1 when scoring many pairs in
    threads of your own.

    Raises FileNotFoundError (or another OSError) when a file cannot be
    opened, FormatError when a record is malformed, ValueError for a bad
    confidence.

    Inputs of other formats: format (both inputs), or gt_format and
    sys_format (each one of FORMATS), and the options those need: classes (a
    MAP.csv replacing the format's class map), unknown ("drop" leaves out a
    label in no map instead of raising FormatError), image_size ("WxH" or
    (width, height), yolo), names (yolo), ignore (uavdt ground truth),
    images_from (coco results; by default the ground truth when it is coco).
    They are read as `talmira score --gt-format ... --sys-format ...` reads
    them, into the same records `talmira convert` writes.

    rules="mot" on two MOT files (gt_format and sys_format mot or mot15)
    counts as `talmira score --rules mot` does, as the MOTChallenge
    benchmark's evaluator counts: CLEAR's TP, FN and FP at IoU 0.5 after the
    benchmark's preprocessing, Frames the sequence's length. There a
    confidence above 0 leaves out the detector's boxes below it; 0 (the
    default) keeps every box, as the evaluator and the command without -c
    do.
    """
    threads = _jobs(jobs)
    if options.get("rules") == "mot":
        result = _benchmark_score(gt, sys, confidence, format, gt_format, sys_format, options)
        if result is not None:
            return result
    threshold = _confidence(confidence)
    readings = _readings(gt, format, gt_format, sys_format, **options)
    paths = [_path_of(gt), _path_of(sys)]
    if None not in paths and readings == (None, None):
        try:
            counts = _talmira.score_file_pair(*paths, threshold, threads)
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, paths) from None
    elif paths == [None, None] and readings == (None, None):
        # Two tables are scored as two files are: while they are filed.
        layouts = _table_pair_layouts(gt, sys)
        try:
            counts = _talmira.score_table_pair(*layouts, threshold, threads)
        except _talmira.ReadFailure as failure:
            raise _table_error(failure, ["ground-truth", "system"]) from None
    else:
        ground_truth, system = _read_pair(gt, sys, readings=readings)
        counts = _talmira.score(ground_truth, system, threshold, threads)
    rows = [dict(zip(_RESULT_COLUMNS, (name, gt_, det, fn, fp, frames, _nmodta(nmodta))))
            for name, gt_, det, fn, fp, frames, nmodta in counts]
    return ScoreResult(rows, threshold)


def _benchmark_score(gt, sys, confidence, format, gt_format, sys_format, options):
    """score()'s result under rules="mot" when both inputs are MOT files, as
    the command counts them (talmira/benchmark_counts); None otherwise."""
    inputs = _benchmark_inputs(gt, sys, format, gt_format, sys_format, options)
    if inputs is None:
        return None
    paths = inputs[0]
    threshold = _confidence(confidence)
    try:
        rows = _talmira.benchmark_score(*paths, *inputs[1:], threshold or None)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, paths) from None
    if rows is None:
        return None
    return ScoreResult([dict(zip(_RESULT_COLUMNS, (name, gt_, det, fn, fp, frames,
                                                   _nmodta(nmodta))))
                        for name, gt_, det, fn, fp, frames, nmodta in rows], threshold)
