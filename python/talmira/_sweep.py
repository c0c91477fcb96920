"""sweep(): every class's counts at every confidence threshold, and the best one."""

import numbers

import numpy as np

from . import _talmira
from ._errors import _file_error
from ._inputs import _benchmark_inputs, _benchmark_length, _read_pair, _readings
from ._numbers import _jobs, _nmodta, _shortest


#: The largest grid of sweep().
MAX_GRID = 1000000
_CURVE_COLUMNS = ("class", "threshold", "gt", "det", "fn", "fp", "nmodta", "precision", "recall")
_BEST_COLUMNS = ("class", "threshold", "gt", "det", "fn", "fp", "frames", "nmodta", "ap")


class SweepResult:
    """Every class's counts as functions of the confidence threshold.

    curves: a DataFrame with the columns class, threshold, gt, det, fn, fp,
    nmodta, precision and recall: the rows of `talmira sweep --format
    csv/json`, class by class in the order of the pair's classes (CLASSES for files
    of this format; another dataset's own), thresholds descending
    (precision = (det - fp) / det, 1 without detections; recall = (gt - fn)
    / gt, NaN without objects). best: a DataFrame with one row per class
    (class, threshold, gt, det, fn, fp, frames, nmodta, ap): the highest
    NMODTA over the whole curve, among equals the highest threshold, whatever
    the grid, and the class's average precision (the area under the
    precision envelope over recall, from the exact curve; NaN without
    objects). Thresholds and NMODTA are the shortest
    decimals of their single-precision values, as the command's JSON has
    them. exact: whether curves lists every step of the curves; grid: the
    grid's steps otherwise.
    """

    def __init__(self, curves, best, exact, grid):
        self.curves = curves
        self.best = best
        self.exact = exact
        self.grid = grid

    def _repr_html_(self):
        return self.best.to_html(index=False)

    def __repr__(self):
        return "SweepResult(%s, %d rows); best:\n%s" % (
            "exact" if self.exact else "grid %d" % self.grid, len(self.curves),
            self.best.to_string(index=False))


def sweep(gt, sys, grid=100, exact=False, jobs=None, *, format=None, gt_format=None,
          sys_format=None, length=None, **options):
    """Every class's counts at every confidence threshold, and the best one:
    a SweepResult, the numbers of `talmira sweep`.

    gt, sys: a path or an in-memory table (see the module's help).
    grid: list the rows at the thresholds k/grid for k = grid down to 0
    (1 to MAX_GRID); exact: list instead the rows at 1, 0 and every distinct
    confidence in between of the class's boxes in either input (grid is not
    used then). A box is taken at threshold t when its confidence is at least
    t, in both inputs: every row equals score() at its threshold. jobs: as
    in score(). Raises as score() does, and ValueError for a bad grid.
    format, gt_format, sys_format and the options of other formats: as in score().

    rules="mot" on two MOT files (format mot or mot15) sweeps as `talmira
    sweep --rules mot` does: every row is score(rules="mot") at its
    threshold (CLEAR's counts; the thresholds 1, every distinct score in (0,
    1) of the detector's boxes, and 0), the rows All and pedestrian; length
    is its --length (None: seqinfo.ini beside the ground truth, else the last
    frame of either file), and goes with it only.
    """
    import pandas as pd

    if not exact and (isinstance(grid, bool) or not isinstance(grid, numbers.Integral)
                      or not 1 <= grid <= MAX_GRID):
        raise ValueError("grid %r is not a whole number from 1 to %d" % (grid, MAX_GRID))
    threads = _jobs(jobs)
    steps = 0 if exact else int(grid)
    native = None
    inputs = _benchmark_inputs(gt, sys, format, gt_format, sys_format, options)
    if inputs is not None:
        try:
            native = _talmira.benchmark_sweep(*inputs[0], *inputs[1:], steps,
                                              _benchmark_length(length), threads)
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, inputs[0]) from None
    if native is None:
        if length is not None:
            raise ValueError("length goes with rules='mot' on MOT files")
        readings = _readings(gt, format, gt_format, sys_format, **options)
        ground_truth, system = _read_pair(gt, sys, readings=readings)
        native = _talmira.sweep(ground_truth, system, steps, threads)
    (slots, thresholds, gts, dets, fns, fps, nmodtas, precisions, recalls), best, names = native
    classes = np.array(names, dtype=object)
    curves = pd.DataFrame({
        "class": classes[slots.astype(np.intp)],
        "threshold": _shortest(thresholds),
        "gt": gts, "det": dets, "fn": fns, "fp": fps,
        "nmodta": _shortest(nmodtas),
        "precision": precisions, "recall": recalls,
    }, columns=list(_CURVE_COLUMNS))
    best_rows = [(name, _nmodta(t), g, d, n, p, frames, _nmodta(m), ap)
                 for name, (t, g, d, n, p, frames, m, ap) in zip(names, best)]
    best_frame = pd.DataFrame(best_rows, columns=list(_BEST_COLUMNS))
    for column in ("gt", "det", "fn", "fp", "frames"):
        best_frame[column] = best_frame[column].astype("int64")
    return SweepResult(curves, best_frame, bool(exact), None if exact else int(grid))
