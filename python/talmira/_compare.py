"""compare(): two detectors with paired-bootstrap intervals."""

import json
import numbers

from . import _talmira
from ._errors import _file_error
from ._inputs import (_benchmark_inputs, _benchmark_length, _dataset_formats, _path_of, _read,
                      _readings)
from ._numbers import _confidence, _jobs

#: The columns of compare()'s classes: those of `talmira compare --format
#: csv`, then B's GT (it differs from A's only where the two thresholds take
#: different ground-truth boxes).
COMPARE_COLUMNS = ("class", "gt", "fn_a", "fp_a", "nmodta_a", "fn_b", "fp_b", "nmodta_b",
                   "delta", "low", "high", "b_better", "a_better", "found_both", "found_a_only",
                   "found_b_only", "found_neither", "gt_b")
_COMPARE_SEQUENCE_COLUMNS = ("sequence", "groundtruth", "system_a", "system_b", "gt", "fn_a",
                             "fp_a", "nmodta_a", "fn_b", "fp_b", "nmodta_b", "delta", "error")
_COMPARE_SETTINGS = ("unit", "block", "frames", "units", "resamples", "seed", "level", "best",
                     "confidence_a", "confidence_b")


class CompareResult:
    """Two detectors on the same ground truth, as `talmira compare` compares
    them: the difference of their NMODTA, B's minus A's, with a paired
    bootstrap interval per class.

    classes: a DataFrame, one row per class in the order of CLASSES, with
    COMPARE_COLUMNS: GT, each detector's misses, false alarms and NMODTA
    (the shortest decimal of its single-precision value, as everywhere),
    delta = NMODTA_B - NMODTA_A in double precision (the same rule as each
    resample), low and high (the interval), b_better and a_better (the share
    of resamples in which each scored higher), and the ground-truth objects
    found by both, by A only, by B only and by neither.
    sequences: with a dataset, each sequence's counts of All and its delta,
    with the message of one that could not be read in `error` (None
    otherwise; it is left out of both detectors' counts); None for one
    sequence.
    unit ("frames" or "sequence"), block (frames per unit, None for a
    dataset), frames (one sequence's), units, resamples, seed, level, best,
    confidence_a, confidence_b: how it was made.
    """

    def __init__(self, report, classes, sequences):
        self._report = report
        self.classes = classes
        self.sequences = sequences
        for key in _COMPARE_SETTINGS:
            setattr(self, key, report.get(key))

    def to_dict(self):
        """The report of `talmira compare --format json`: the same keys and
        values (for a table the path is None)."""
        return json.loads(json.dumps(self._report))

    def verdict(self, cls="All"):
        """"B", "A" or None: which detector the class's interval shows
        better (its interval clears 0), None when it holds 0 or there are
        fewer than two units to resample."""
        row = self.classes[self.classes["class"] == cls]
        if len(row) != 1:
            raise KeyError(cls)
        low, high = float(row["low"].iloc[0]), float(row["high"].iloc[0])
        if self.units < 2:
            return None
        return "B" if low > 0 else "A" if high < 0 else None

    def _repr_html_(self):
        return self.classes.to_html(index=False, float_format=lambda v: "%.6f" % v)

    def __repr__(self):
        shown = self.classes[(self.classes["gt"] > 0) | (self.classes["gt_b"] > 0)
                             | (self.classes["fp_a"] > 0) | (self.classes["fp_b"] > 0)
                             | (self.classes["class"] == "All")]
        better = {"A": "A is better", "B": "B is better", None: "the data cannot tell"}
        units = ("%d sequences" % self.units if self.unit == "sequence"
                 else "%d blocks of %d frame%s" % (self.units, self.block,
                                                   "" if self.block == 1 else "s"))
        return "\n".join((
            "CompareResult(%s, %d resamples, seed %d, level %s): on All %s" % (
                units, self.resamples, self.seed, repr(self.level), better[self.verdict()]),
            shown[["class", "gt", "nmodta_a", "nmodta_b", "delta", "low", "high", "b_better",
                   "a_better"]].to_string(index=False)))


def _compare_thresholds(confidence, confidence_a, confidence_b, best):
    if best and not (confidence is None and confidence_a is None and confidence_b is None):
        raise ValueError("best picks the thresholds: give no confidence with it")
    if (confidence_a is None) != (confidence_b is None):
        raise ValueError("confidence_a and confidence_b go together")
    if confidence_a is not None:
        if confidence is not None:
            raise ValueError("confidence, or confidence_a and confidence_b, not both")
        return _confidence(confidence_a), _confidence(confidence_b)
    threshold = _confidence(0.0 if confidence is None else confidence)
    return threshold, threshold


def _whole(value, what, low, high):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not low <= value <= high:
        raise ValueError("%s %r is not a whole number from %d to %d" % (what, value, low, high))
    return int(value)


def _level(value):
    if isinstance(value, str):
        text = value
    elif isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError("level %r is not a number" % (value,))
    else:
        text = repr(float(value))
    try:
        level = float(text)
    except ValueError:
        raise ValueError("level %r is not a number" % (value,)) from None
    # Taken to nine decimals, as the command takes it: one that rounds to 0
    # leaves no interval.
    if not (0.0 < level < 1.0) or round(level * 1e9) < 1:
        raise ValueError("level %r is not between 0 and 1 (both left out)" % (value,))
    return level


def _compare_frame(report):
    import pandas as pd

    rows = [[c[k] for k in COMPARE_COLUMNS] for c in report["classes"]]
    classes = pd.DataFrame(rows, columns=list(COMPARE_COLUMNS))
    for column in ("gt", "fn_a", "fp_a", "fn_b", "fp_b", "found_both", "found_a_only",
                   "found_b_only", "found_neither", "gt_b"):
        classes[column] = classes[column].astype("int64")
    for column in ("nmodta_a", "nmodta_b", "delta", "low", "high", "b_better", "a_better"):
        classes[column] = classes[column].astype("float64")
    return classes


def _compare_sequences(report):
    import pandas as pd

    rows = [[s.get(k) for k in _COMPARE_SEQUENCE_COLUMNS] for s in report["sequences"]]
    frame = pd.DataFrame(rows, columns=list(_COMPARE_SEQUENCE_COLUMNS))
    for column in ("gt", "fn_a", "fp_a", "fn_b", "fp_b"):
        frame[column] = pd.array(frame[column].tolist(), dtype="Int64")
    for column in ("nmodta_a", "nmodta_b", "delta"):
        frame[column] = frame[column].astype("float64")
    return frame


def compare(gt=None, sys_a=None, sys_b=None, *, dataset=None, confidence=None, confidence_a=None,
            confidence_b=None, best=False, resamples=10000, seed=1, level=0.95, block=None,
            jobs=None, format=None, gt_format=None, sys_format=None, length=None, **options):
    """Is detector B better than detector A, or is the difference noise? A
    CompareResult with the numbers of `talmira compare`.

    Either one sequence, gt, sys_a and sys_b (each a path or an in-memory
    table, see the module's help), whose ground-truth frames are cut into
    units of `block` consecutive frames (default: the cube root of the frame
    count, rounded); or dataset, the path of a LIST with the header
    sequence,groundtruth,system_a,system_b (paths relative to its folder),
    each sequence one unit.

    Thresholds: confidence for both (default 0), or confidence_a and
    confidence_b, or best=True: each detector at its own best threshold of
    All over the whole (pooled) exact curve; chosen on the data compared, it
    flatters both. resamples (1 to 10,000,000), seed (0 to 2^64-1) and
    level (between 0 and 1) set the bootstrap: resample r draws as many units
    as there are, with replacement, from a SplitMix64 generator started at
    seed (a draw among n is the high 64 bits of the 128-bit product of its
    value and n); the interval runs from the (k+1)-th smallest to the
    (k+1)-th largest difference, k = floor(resamples (1 - level) / 2).
    jobs: threads, as in score(); the numbers do not depend on it.

    Raises as score() does; for a dataset FileNotFoundError (or another
    OSError) when the LIST cannot be opened and ValueError when it is
    malformed, while a sequence that cannot be read is reported in
    `sequences` (with a warning) and left out; ValueError for a bad setting.

    Inputs of other formats: format (all three inputs), or gt_format (the
    ground truth) and sys_format (both detectors' outputs), and the options
    of other formats, as in score(); a dataset's LIST may also end with the
    columns gt_format and sys_format, as in batch().

    rules="mot" on MOT files (format mot or mot15) compares as `talmira
    compare --rules mot` does: each detector counted as score(rules="mot")
    counts it (CLEAR's counts; a confidence above 0 leaves out its boxes
    below it, 0 keeps every box), frame by frame in runs of block frames, or
    with a dataset each sequence one unit, and resampled as above; length is
    the sequence's frames (one sequence; None: seqinfo.ini beside the ground
    truth, else the last frame of either file); best is refused there
    (ValueError, with the command's words).
    """
    import warnings

    thresholds = _compare_thresholds(confidence, confidence_a, confidence_b, bool(best))
    resamples = _whole(resamples, "resamples", 1, 10000000)
    seed = _whole(seed, "seed", 0, 2 ** 64 - 1)
    level = _level(level)
    threads = _jobs(jobs)
    if dataset is not None:
        if gt is not None or sys_a is not None or sys_b is not None:
            raise ValueError("give gt, sys_a and sys_b, or dataset, not both")
        if block is not None or length is not None:
            raise ValueError("%s is for one sequence; in a dataset each sequence is a unit"
                             % ("block" if block is not None else "length"))
        path = _path_of(dataset)
        if path is None:
            raise TypeError("dataset is the path of a LIST, not %s" % type(dataset).__name__)
        with open(path, "rb"):  # the system's own error when it cannot be opened
            pass
        formats = _dataset_formats(format, gt_format, sys_format, **options)
        report = json.loads(_talmira.compare_dataset(path, *thresholds, bool(best), resamples,
                                                     seed, level, threads, formats))
        failed = [s for s in report["sequences"] if "error" in s]
        if failed:
            warnings.warn("%d of %d sequences could not be read and are left out: %s" % (
                len(failed), len(report["sequences"]),
                "; ".join("%s: %s" % (s["sequence"], s["error"]) for s in failed)),
                RuntimeWarning, stacklevel=2)
        return CompareResult(report, _compare_frame(report), _compare_sequences(report))
    if gt is None or sys_a is None or sys_b is None:
        raise ValueError("give gt, sys_a and sys_b (one sequence), or dataset")
    block = 0 if block is None else _whole(block, "block", 1, 2 ** 40)
    inputs = _benchmark_inputs(gt, sys_a, format, gt_format, sys_format, options)
    if inputs is not None and _path_of(sys_b) is not None:
        paths = inputs[0] + [_path_of(sys_b)]
        try:
            text = _talmira.benchmark_compare(
                *paths, *inputs[1:], thresholds[0] or None, thresholds[1] or None, bool(best),
                resamples, seed, level, block, _benchmark_length(length), threads)
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, paths) from None
        if text is not None:
            report = json.loads(text)
            return CompareResult(report, _compare_frame(report), None)
    if length is not None:
        raise ValueError("length goes with rules='mot' on MOT files, for one sequence")
    readings = _readings(gt, format, gt_format, sys_format, **options)
    sources = ((gt, "ground-truth"), (sys_a, "system A"), (sys_b, "system B"))
    sequences = [_read(source, label, reading=reading)
                 for (source, label), reading in zip(sources, (readings[0], readings[1],
                                                               readings[1]))]
    rules = readings[0]["rules"] if readings[0] is not None else None
    report = json.loads(_talmira.compare(*sequences, *thresholds, bool(best), resamples, seed,
                                         level, block, threads, rules))
    for key, (source, _) in zip(("groundtruth", "system_a", "system_b"), sources):
        report[key] = _path_of(source)
    # The keys in the command's order: the inputs first.
    ordered = {k: report[k] for k in ("groundtruth", "system_a", "system_b")}
    ordered.update((k, v) for k, v in report.items() if k not in ordered)
    return CompareResult(ordered, _compare_frame(ordered), None)
