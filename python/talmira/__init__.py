"""Score object detections in video against the ground truth, from Python.

The counts are the talmira command's, computed by the same C++ library; the
reading and the scoring run without the GIL, so several pairs can be scored
in threads at once.

    >>> import talmira
    >>> result = talmira.score("groundtruth.csv", "systemoutput.csv")
    >>> result.to_pandas()

An input is a path to an annotation file, or a table already in memory: a
pandas DataFrame, or a dict of equal-length sequences or numpy arrays, with
the columns frame, x1, y1, x2, y2, x3, y3, x4, y4, type, flag_a, flag_b and
confidence. A table is read by the same rules as a file (it is written as
the text of one and read back), so it gives the same counts as the same
records in a file, and a bad value raises FormatError naming its row and
column.
"""

import math
import numbers
import os

import numpy as np

from . import _talmira

__all__ = ["score", "ScoreResult", "FormatError", "COLUMNS", "CLASSES"]

#: The columns of an in-memory table, in the order of a file's first 13.
COLUMNS = ("frame", "x1", "y1", "x2", "y2", "x3", "y3", "x4", "y4",
           "type", "flag_a", "flag_b", "confidence")
#: The classes of a result, in order; "All" takes every class.
CLASSES = ("All", "Car", "Truck", "Tractor-Trailor", "Bus", "Container",
           "Boat", "Plane", "Helicopter", "Person", "Cyclist")
_RESULT_COLUMNS = ("class", "gt", "det", "fn", "fp", "frames", "nmodta")
_WHOLE_COLUMNS = frozenset(COLUMNS[:9])
_TEXT_COLUMNS = frozenset(("type", "flag_a", "flag_b"))
# Column kinds of the native reader.
_WHOLE, _DOUBLE, _SINGLE, _CODED = 0, 1, 2, 3


class FormatError(ValueError):
    """A malformed record, in a file or an in-memory table.

    path: the file (None for a table); line: the line of the file, or the
    line the row would have in one (row + 2); row: the table's row, counted
    from 0 over its positions (None for a file); column: the table's column
    name, or the file's column number (None when the whole record is wrong);
    message: for a file, the line the talmira command prints.
    """

    def __init__(self, message, path=None, line=None, column=None, row=None):
        super().__init__(message)
        self.message = message
        self.path = path
        self.line = line
        self.column = column
        self.row = row


def _file_error(failure, paths):
    what, line, column, which = failure.args
    path = paths[which]
    # The command's message: "<path>:<line>: <what>".
    name = "".join(c if ord(c) >= 0x20 and ord(c) != 0x7F else "\\x%02X" % ord(c)
                   for c in path)
    where = "%s:%d" % (name, line) if line else name
    return FormatError("%s: %s" % (where, what), path=path, line=line or None,
                       column=column or None)


def _read_file(path):
    try:
        return _talmira.read_file(path)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, [path]) from None


def _text_of(value):
    """A value of a text column as a file would hold it."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    if type(value).__name__ in ("NAType", "NaTType"):  # pandas' missing values
        return ""
    if isinstance(value, (bool, np.bool_)):
        return "TRUE" if value else "FALSE"
    if isinstance(value, bytes):
        return value.decode("latin-1")
    if isinstance(value, (float, np.floating)):
        return repr(float(value)) if isinstance(value, float) else str(value)
    return str(value)


def _as_whole(value):
    """A float that holds a whole number is that number (pandas makes whole
    numbers floats beside a missing value); anything else stays as it is."""
    if isinstance(value, (float, np.floating)) and math.isfinite(value) and value == int(value):
        return int(value)
    return value


def _coded(values, whole=False):
    """(codes, texts) of any column: each distinct text written once."""
    import pandas as pd

    if whole:
        values = [_as_whole(v) for v in values]

    if pd.api.types.infer_dtype(values, skipna=False) == "string":
        # Only text: hashing tells the values apart as their texts would.
        codes, uniques = pd.factorize(np.asarray(values, dtype=object))
        return (_CODED, np.ascontiguousarray(codes, dtype=np.int64), list(uniques))
    # Mixed values are told apart by their text: 1, 1.0 and True are equal
    # in Python but are three different columns in a file.
    codes = np.empty(len(values), dtype=np.int64)
    index = {}
    for row, value in enumerate(values):
        codes[row] = index.setdefault(_text_of(value), len(index))
    return (_CODED, codes, list(index))


def _column_spec(name, values):
    array = values if isinstance(values, np.ndarray) else None
    if array is None and hasattr(values, "to_numpy"):
        array = values.to_numpy()
    if array is None:
        array = np.asarray(values) if len(values) else np.zeros(0, dtype=np.int64)
    if array.ndim != 1:
        raise ValueError("column %s is not one-dimensional" % name)
    kind = array.dtype.kind
    if kind == "b":
        return (_CODED, array.astype(np.int64), ["FALSE", "TRUE"])
    if name not in _TEXT_COLUMNS:
        if kind == "i" or (kind == "u" and array.dtype.itemsize < 8):
            return (_WHOLE, np.ascontiguousarray(array, dtype=np.int64), None)
        if kind == "f" and name in _WHOLE_COLUMNS:
            with np.errstate(invalid="ignore"):
                whole = np.isfinite(array) & (np.floor(array) == array) & (np.abs(array) < 2.0 ** 62)
            if whole.all():
                return (_WHOLE, array.astype(np.int64), None)
        if kind == "f" and name == "confidence":
            # Written so that they read back as the same value: single
            # precision in its shortest text, double precision likewise.
            if array.dtype == np.float32:
                return (_SINGLE, np.ascontiguousarray(array), None)
            return (_DOUBLE, np.ascontiguousarray(array, dtype=np.float64), None)
    return _coded(array.tolist() if kind != "O" else array, whole=name in _WHOLE_COLUMNS)


def _read_table(table, label):
    if hasattr(table, "columns") and hasattr(table, "__getitem__") and not isinstance(table, dict):
        names = [str(c) for c in table.columns]
        get = table.__getitem__
    elif isinstance(table, dict):
        names = [str(c) for c in table]
        get = table.__getitem__
    else:
        raise TypeError("an input is a path, a pandas DataFrame or a dict of columns, not %s"
                        % type(table).__name__)
    missing = [c for c in COLUMNS if c not in names]
    if missing:
        raise ValueError("the %s table lacks the column%s %s" % (
            label, "s" if len(missing) > 1 else "", ", ".join(missing)))
    columns = [get(c) for c in COLUMNS]
    lengths = {len(c) for c in columns}
    if len(lengths) > 1:
        raise ValueError("the %s table's columns differ in length: %s" % (
            label, ", ".join("%s %d" % (n, len(c)) for n, c in zip(COLUMNS, columns))))
    rows = lengths.pop()
    specs = [_column_spec(name, values) for name, values in zip(COLUMNS, columns)]
    try:
        return _talmira.read_table(specs, rows)
    except _talmira.ReadFailure as failure:
        what, line, column, _ = failure.args
        row = line - 2 if line >= 2 else None
        name = COLUMNS[column - 1] if 1 <= column <= len(COLUMNS) else None
        prefix = "column %d: " % column
        if name is not None and what.startswith(prefix):
            what = what[len(prefix):]
        where = "%s table" % label
        if row is not None:
            where += ", row %d" % row
        if name is not None:
            where += ", column %s" % name
        raise FormatError("%s: %s" % (where, what.lstrip()), line=line or None,
                          column=name, row=row) from None


def _path_of(source):
    if isinstance(source, (str, bytes, os.PathLike)):
        path = os.fspath(source)
        return os.fsdecode(path) if isinstance(path, bytes) else path
    return None


def _read(source, label):
    path = _path_of(source)
    return _read_file(path) if path is not None else _read_table(source, label)


def _read_pair(gt, sys):
    """Both inputs; two files are read at once, as the command reads them."""
    paths = [_path_of(gt), _path_of(sys)]
    if None in paths:
        return _read(gt, "ground-truth"), _read(sys, "system")
    try:
        return _talmira.read_file_pair(*paths)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, paths) from None


def _jobs(jobs):
    if jobs is None:
        return 0
    if isinstance(jobs, bool) or not isinstance(jobs, numbers.Integral) or not 1 <= jobs <= 4096:
        raise ValueError("jobs %r is not a whole number from 1 to 4096" % (jobs,))
    return int(jobs)


def _confidence(value):
    """A threshold by the command line's rule: a number from 0 to 1."""
    if isinstance(value, str):
        return _talmira.parse_confidence(value)
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError("confidence %r is not a number" % (value,))
    return _talmira.parse_confidence(repr(float(value)))


def _nmodta(value):
    # The double nearest the shortest text of the single-precision value,
    # as the command's JSON gives it: 0.833333313, not 0.8333333134651184.
    return float(_talmira.shortest_text(value))


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


def score(gt, sys, confidence=0.0, jobs=None):
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
    """
    threshold = _confidence(confidence)
    threads = _jobs(jobs)
    paths = [_path_of(gt), _path_of(sys)]
    if None not in paths:
        try:
            counts = _talmira.score_file_pair(*paths, threshold, threads)
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, paths) from None
    else:
        ground_truth, system = _read_pair(gt, sys)
        counts = _talmira.score(ground_truth, system, threshold, threads)
    rows = [dict(zip(_RESULT_COLUMNS, (name, gt_, det, fn, fp, frames, _nmodta(nmodta))))
            for name, gt_, det, fn, fp, frames, nmodta in counts]
    return ScoreResult(rows, threshold)
