"""Score object detections in video against the ground truth, from Python.

The counts are the talmira command's, computed by the same C++ library; the
reading and the scoring run without the GIL, so several pairs can be scored
in threads at once.

    >>> import talmira
    >>> result = talmira.score("groundtruth.csv", "systemoutput.csv")
    >>> result.to_pandas()

sweep() gives every class's counts at every confidence threshold and the
best one (as `talmira sweep`), check() reports on the files themselves (as
`talmira check --format json`) and events() lists what became of every box
(as `talmira events`).

An input is a path to an annotation file, or a table already in memory: a
pandas DataFrame, or a dict of equal-length sequences or numpy arrays, with
the columns frame, x1, y1, x2, y2, x3, y3, x4, y4, type, flag_a, flag_b and
confidence. A table is read straight from its columns by the same rules as
a file, so it gives the same counts as the same records in a file, and a bad
value raises FormatError naming its row and column.

Every function that reads and scores takes the scoring rules of `talmira`'s
--rules, --overlap, --min-overlap, --region-cover and --min-side as keyword
arguments: rules ("mot", "visdrone" or "kitti", a named set), overlap
("enclosing", this format's measure, or "iou"), min_overlap (default 0.2),
region_cover (default 0.33) and min_side (the size test, default 30 pixels;
0 keeps every box), each value given replacing the named set's.
"""

import dataclasses
import json
import math
import numbers
import os
import warnings

import numpy as np

from . import _talmira

__all__ = ["score", "sweep", "check", "events", "read", "ScoreResult", "SweepResult",
           "FormatError", "COLUMNS", "CLASSES", "EVENT_COLUMNS", "FORMATS", "class_map"]
__all__ += ["batch", "dataset_sequences", "score_sequence", "pool", "BatchResult",
            "SequenceResult", "DatasetSequence", "TABLE_DATASET"]
__all__ += ["draw_frame", "FrameDrawing"]

#: The columns of an in-memory table, in the order of a file's first 13.
COLUMNS = ("frame", "x1", "y1", "x2", "y2", "x3", "y3", "x4", "y4",
           "type", "flag_a", "flag_b", "confidence")
#: The classes of a result, in order; "All" takes every class.
CLASSES = ("All", "Car", "Truck", "Tractor-Trailor", "Bus", "Container",
           "Boat", "Plane", "Helicopter", "Person", "Cyclist")
_RESULT_COLUMNS = ("class", "gt", "det", "fn", "fp", "frames", "nmodta")
#: The columns of events(), those of the talmira events command's CSV.
EVENT_COLUMNS = ("gt_frame_line", "frame", "side", "line", "class", "confidence", "event",
                 "partner_line", "cause", "overlap")
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
    if len(failure.args) == 6:
        # A reader of another format: its message names the file itself,
        # which may be one beside the input (ignored areas, a YOLO frame).
        what, line, _, _, message, path = failure.args
        return FormatError(message, path=path or None, line=line or None)
    what, line, column, which = failure.args
    path = paths[which]
    # The command's message: "<path>:<line>: <what>".
    name = "".join(c if ord(c) >= 0x20 and ord(c) != 0x7F else "\\x%02X" % ord(c)
                   for c in path)
    where = "%s:%d" % (name, line) if line else name
    return FormatError("%s: %s" % (where, what), path=path, line=line or None,
                       column=column or None)


def _read_file(path, details=False, rules=None):
    try:
        return _talmira.read_file(path, details, rules)
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
    elif isinstance(values, np.ndarray) and values.dtype.kind == "O":
        # The usual text column: str objects, coded without hashing each row.
        coded = _talmira.code_texts(values)
        if coded is not None:
            return (_CODED, coded[0], coded[1])

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


def _column_layout(name, values):
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


def _table_layout(table, label):
    """(column layouts, rows) of a table, checked as a whole."""
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
    return [_column_layout(name, values) for name, values in zip(COLUMNS, columns)], rows


def _table_error(failure, labels):
    """The FormatError of a record a table's row makes, by row and column."""
    what, line, column, input = failure.args
    row = line - 2 if line >= 2 else None
    name = COLUMNS[column - 1] if 1 <= column <= len(COLUMNS) else None
    prefix = "column %d: " % column
    if name is not None and what.startswith(prefix):
        what = what[len(prefix):]
    where = "%s table" % labels[input]
    if row is not None:
        where += ", row %d" % row
    if name is not None:
        where += ", column %s" % name
    return FormatError("%s: %s" % (where, what.lstrip()), line=line or None,
                       column=name, row=row)


def _read_table(table, label, details=False, rules=None):
    layouts, rows = _table_layout(table, label)
    try:
        return _talmira.read_table(layouts, rows, details, rules)
    except _talmira.ReadFailure as failure:
        raise _table_error(failure, [label]) from None


def _path_of(source):
    if isinstance(source, (str, bytes, os.PathLike)):
        path = os.fspath(source)
        return os.fsdecode(path) if isinstance(path, bytes) else path
    return None


def _read(source, label, details=False, reading=None):
    path = _path_of(source)
    if reading is not None and reading["format"] == "talmira":
        # This package's format under other scoring rules.
        if path is not None:
            return _read_file(path, details, reading["rules"])
        return _read_table(source, label, details, reading["rules"])
    if reading is not None:
        if path is None:
            raise ValueError("the %s input is a table: only files are read in format %s"
                             % (label, reading["format"]))
        try:
            return _talmira.read_annotation(path, reading, details)
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, [path]) from None
    return _read_file(path, details) if path is not None else _read_table(source, label, details)


def _read_pair(gt, sys, details=False, readings=(None, None)):
    """Both inputs; two files are read at once, as the command reads them.
    details: keep where every record came from (for check and events).
    readings: how to read inputs of other formats (_readings()), None for
    this format's."""
    paths = [_path_of(gt), _path_of(sys)]
    if readings == (None, None) and paths == [None, None]:
        # Two tables: checked one after the other, then read at once.
        gt_layouts, gt_rows = _table_layout(gt, "ground-truth")
        try:
            sys_layouts, sys_rows = _table_layout(sys, "system")
        except Exception:
            # A bad row of the ground truth comes first, as when read in turn.
            _read_table(gt, "ground-truth", details)
            raise
        try:
            return _talmira.read_table_pair(gt_layouts, gt_rows, sys_layouts, sys_rows, details)
        except _talmira.ReadFailure as failure:
            raise _table_error(failure, ["ground-truth", "system"]) from None
    if readings != (None, None) or None in paths:
        return (_read(gt, "ground-truth", details, readings[0]),
                _read(sys, "system", details, readings[1]))
    try:
        return _talmira.read_file_pair(*paths, details)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, paths) from None


def _jobs(jobs):
    if jobs is None:
        return 0
    if isinstance(jobs, bool) or not isinstance(jobs, numbers.Integral) or not 1 <= jobs <= 4096:
        raise ValueError("jobs %r is not a whole number from 1 to 4096" % (jobs,))
    return int(jobs)


#: The formats an input can be read from; "talmira" is this package's own.
FORMATS = ("talmira", "mot", "visdrone", "uavdt", "kitti", "cvat", "coco", "yolo")
_READING_OPTIONS = ("classes", "unknown", "image_size", "names", "ignore", "images_from")
#: The keyword arguments of the scoring rules (see _rules()).
_RULE_OPTIONS = ("rules", "overlap", "min_overlap", "region_cover", "min_side")


def _rules(options):
    """The scoring rules the keyword arguments give, taken out of `options`:
    rules (a named set: "mot", "visdrone" or "kitti"), overlap ("enclosing"
    or "iou"), min_overlap and region_cover (above 0, at most 1) and
    min_side (pixels, 0 or more), each value given replacing the named
    set's, as `talmira` takes --rules, --overlap, --min-overlap,
    --region-cover and --min-side. None for the defaults; ValueError for a
    bad value."""
    given = {key: options.pop(key, None) for key in _RULE_OPTIONS}
    for key in ("min_overlap", "region_cover", "min_side"):
        value = given[key]
        if value is not None and (isinstance(value, bool) or not isinstance(value, numbers.Real)):
            raise ValueError("%s %r is not a number" % (key, value))
    for key in ("rules", "overlap"):
        if given[key] is not None and not isinstance(given[key], str):
            raise ValueError("%s %r is not a name" % (key, given[key]))
    return _talmira.resolve_rules(given["rules"], given["overlap"], given["min_overlap"],
                                  given["region_cover"], given["min_side"])


def _image_size(value):
    """(width, height) from "WxH" or a pair of whole numbers from 1."""
    if isinstance(value, str):
        parts = value.split("x")
        if len(parts) != 2 or not all(p.isdigit() for p in parts):
            raise ValueError("image_size %r is not WxH, e.g. 1920x1080" % (value,))
        value = tuple(int(p) for p in parts)
    try:
        width, height = value
    except (TypeError, ValueError):
        raise ValueError("image_size %r is neither WxH nor (width, height)" % (value,)) from None
    for v in (width, height):
        if isinstance(v, bool) or not isinstance(v, numbers.Integral) or not 1 <= v <= 999999999:
            raise ValueError("image_size %r: %r is not a whole number from 1" % (value, v))
    return int(width), int(height)


def _format_name(value, what):
    if value is None:
        return "talmira"
    if value not in FORMATS:
        raise ValueError("%s %r is none of %s" % (what, value, ", ".join(FORMATS)))
    return value


def _optional_path(value):
    if value is None:
        return None
    path = _path_of(value)
    if path is None:
        raise TypeError("a path is a str or os.PathLike, not %s" % type(value).__name__)
    return path


def _readings(gt, format=None, gt_format=None, sys_format=None, **options):
    """How the two inputs are read, as the command reads them with
    --gt-format, --sys-format and the options of other formats: a dict per
    input for the native reader, None for an input of this package's format.
    format sets both formats; gt_format and sys_format each one. Under
    scoring rules other than the defaults (_rules()), every input has a
    dict, with the rules under "rules"."""
    rules = _rules(options)
    unknown_keys = sorted(set(options) - set(_READING_OPTIONS))
    if unknown_keys:
        raise TypeError("unexpected keyword argument %r" % unknown_keys[0])
    if format is not None and (gt_format is not None or sys_format is not None):
        raise ValueError("give format (both inputs) or gt_format and sys_format, not both")
    truth = _format_name(format if format is not None else gt_format, "format")
    system = _format_name(format if format is not None else sys_format, "format")
    unknown = options.get("unknown") or "error"
    if unknown not in ("error", "drop"):
        raise ValueError("unknown %r is neither 'error' nor 'drop'" % (unknown,))
    size = options.get("image_size")
    size = None if size is None else _image_size(size)
    formats = (truth, system)
    if "yolo" in formats and size is None:
        raise ValueError("yolo coordinates are fractions of the image: give image_size")
    if options.get("ignore") is not None and truth != "uavdt":
        raise ValueError("ignore is the ignored areas of a uavdt ground truth")
    images_from = _optional_path(options.get("images_from"))
    if images_from is None and truth == "coco":
        images_from = _path_of(gt)
    common = {"classes": _optional_path(options.get("classes")), "unknown": unknown,
              "image_size": size, "names": _optional_path(options.get("names")),
              "images_from": images_from}
    if formats == ("talmira", "talmira") and any(
            options.get(key) not in (None, "error") for key in _READING_OPTIONS):
        raise ValueError("the options of other formats are for inputs of other formats: "
                         "give format, gt_format or sys_format")
    readings = []
    for role, name in (("groundtruth", truth), ("system", system)):
        if name == "talmira":
            readings.append(None if rules is None else {"format": name, "rules": rules})
            continue
        reading = dict(common, format=name, role=role, rules=rules)
        if role == "groundtruth":
            reading["ignore"] = _optional_path(options.get("ignore"))
        readings.append(reading)
    return tuple(readings)


def _dataset_formats(format=None, gt_format=None, sys_format=None, **options):
    """How a dataset's files are read, for the native layer: None for files
    of this package's format, else the command's --gt-format, --sys-format
    and the options of other formats as a dict (checked there as `talmira
    batch` checks them, since a LIST's lines may name formats of their own).
    format sets both formats; gt_format and sys_format each one. The
    scoring rules (_rules()) go under "rules" when not the defaults."""
    rules = _rules(options)
    unknown_keys = sorted(set(options) - set(_READING_OPTIONS))
    if unknown_keys:
        raise TypeError("unexpected keyword argument %r" % unknown_keys[0])
    if format is not None and (gt_format is not None or sys_format is not None):
        raise ValueError("give format (both inputs) or gt_format and sys_format, not both")
    truth = _format_name(format if format is not None else gt_format, "format")
    system = _format_name(format if format is not None else sys_format, "format")
    given = {key: options.get(key) for key in _READING_OPTIONS}
    if (truth, system) == ("talmira", "talmira") and rules is None and all(
            value in (None, "error") for value in given.values()):
        return None
    given["rules"] = rules
    if given["image_size"] is not None:
        given["image_size"] = "%dx%d" % _image_size(given["image_size"])
    for key in ("classes", "names", "ignore", "images_from"):
        given[key] = _optional_path(given[key])
    given["unknown"] = given["unknown"] or "error"
    if given["unknown"] not in ("error", "drop"):
        raise ValueError("unknown %r is neither 'error' nor 'drop'" % (given["unknown"],))
    given.update(gt_format=truth, sys_format=system)
    return given


def class_map(format):
    """The default class map of a format as a DataFrame (label, type, flag,
    note): what each of its labels becomes, as `talmira convert --from FORMAT
    --show-classes` prints it."""
    import io

    import pandas as pd

    _format_name(format, "format")
    return pd.read_csv(io.StringIO(_talmira.class_map(format)), dtype=str,
                       keep_default_na=False)


def read(path, format="talmira", system=False, **options):
    """The records of an annotation input as a table: a DataFrame with the
    columns of COLUMNS and `line`, what `talmira convert` writes of it (for
    this package's format, every well-formed record after the header, as
    written), which score() and the others take as an input.

    format: one of FORMATS; system: read it as a detector's output (the
    seventh column of mot and visdrone is then the score); options: classes
    (a MAP.csv), unknown ("error" or "drop"), image_size ("WxH" or (width,
    height), yolo), names (yolo), ignore (uavdt ground truth), images_from
    (coco results). Raises FormatError naming the file and line of a
    malformed line or element, OSError for a file that cannot be opened.
    """
    import pandas as pd

    name = _format_name(format, "format")
    source = _optional_path(path)
    readings = _readings(source, gt_format=name, sys_format=name, **options)
    reading = readings[1] if system else readings[0]
    if reading is None:
        reading = {"format": "talmira", "role": "groundtruth"}
    elif system and options.get("images_from") is None:
        reading["images_from"] = None
    try:
        (frames, corners, types, type_names, flag_a, flag_b, confidences,
         lines) = _talmira.read_records(source, reading)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, [source]) from None
    columns = {"frame": frames}
    for k, name in enumerate(COLUMNS[1:9]):
        columns[name] = corners[:, k].astype(np.int64)
    columns["type"] = (np.array(type_names, dtype=object)[types.astype(np.intp)]
                       if len(type_names) else np.zeros(0, dtype=object))
    columns["flag_a"] = flag_a
    columns["flag_b"] = flag_b
    columns["confidence"] = confidences
    columns["line"] = lines.astype(np.int64)
    return pd.DataFrame(columns, columns=list(COLUMNS) + ["line"])


def _fraction(value, what):
    """A threshold by the command line's rule: a number from 0 to 1."""
    if isinstance(value, str):
        return _talmira.parse_fraction(value, what)
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError("%s %r is not a number" % (what, value))
    return _talmira.parse_fraction(repr(float(value)), what)


def _confidence(value):
    return _fraction(value, "confidence")


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
    """
    threshold = _confidence(confidence)
    threads = _jobs(jobs)
    readings = _readings(gt, format, gt_format, sys_format, **options)
    paths = [_path_of(gt), _path_of(sys)]
    if None not in paths and readings == (None, None):
        try:
            counts = _talmira.score_file_pair(*paths, threshold, threads)
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, paths) from None
    else:
        ground_truth, system = _read_pair(gt, sys, readings=readings)
        counts = _talmira.score(ground_truth, system, threshold, threads)
    rows = [dict(zip(_RESULT_COLUMNS, (name, gt_, det, fn, fp, frames, _nmodta(nmodta))))
            for name, gt_, det, fn, fp, frames, nmodta in counts]
    return ScoreResult(rows, threshold)


def _shortest(values):
    """Single-precision values as the doubles nearest their shortest texts,
    the numbers the command writes (0.833333313, not 0.8333333134651184)."""
    values = np.asarray(values, dtype=np.float32)
    uniques, inverse = np.unique(values, return_inverse=True)
    doubles = np.array([float(_talmira.shortest_text(float(v))) for v in uniques],
                       dtype=np.float64)
    return doubles[inverse.reshape(-1)] if len(values) else np.zeros(0, dtype=np.float64)


def check(gt, sys=None, *, format=None, gt_format=None, sys_format=None, **options):
    """The report on the annotation files themselves, as a dict: the same keys
    and values as `talmira check --format json`.

    gt, sys: a path or an in-memory table (see the module's help); without
    sys, only the ground truth is checked. For a table, "file" is None and
    the lines in the report (first_line, second_line and those in the
    warnings) are those of the table written as a file: row + 2, counting
    rows from 0 over their positions, as FormatError.line does.

    Raises FileNotFoundError (or another OSError) when a file cannot be
    opened, FormatError when a record is malformed. format, gt_format,
    sys_format and the options of other formats: as in score().
    """
    readings = _readings(gt, format, gt_format, sys_format, **options)
    if sys is None:
        inputs = [(gt, _read(gt, "ground-truth", True, readings[0]))]
    else:
        inputs = list(zip((gt, sys), _read_pair(gt, sys, details=True, readings=readings)))
    names = [_path_of(source) for source, _ in inputs]
    text = _talmira.check(inputs[0][1], names[0] or "",
                          inputs[1][1] if len(inputs) > 1 else None,
                          (names[1] or "") if len(inputs) > 1 else "")
    report = json.loads(text)
    for key, name in zip(("groundtruth", "system"), names):
        if name is None:
            report[key]["file"] = None
    return report


def events(gt, sys, confidence=0.0, cls="All", near=0.1, *, format=None, gt_format=None,
           sys_format=None, **options):
    """What became of every box of a class, one row per box: a DataFrame with
    the columns of the `talmira events` command's CSV (EVENT_COLUMNS).

    gt_frame_line: where the ground-truth frame judged starts (missing for a
    system frame no ground-truth frame pairs with); frame: the box's frame
    number; side: "gt" or "sys"; line: the box's record; class, confidence:
    the box's; event: match, miss or excluded (ground truth), match,
    false_alarm, set_aside, in_region or unpaired_frame (system);
    partner_line: the matched box, the flagged box passed (set_aside) or the
    covering don't-care region (in_region), missing otherwise; cause: why a
    miss or a false alarm happened (as `talmira explain` counts them), None
    on other rows; overlap: a match's overlap with its partner, a set_aside's
    with the flagged box, the part of an in_region box the region covers,
    NaN on other rows.

    For a file, line, gt_frame_line and partner_line are lines of the file
    (the header is line 1), as in the command's CSV. For an in-memory table
    they are instead the table's rows, counted from 0 over its positions
    (line - 2 of the table written as a file): gt_frame_line and the
    partner_line of system rows point into the ground-truth table, line of a
    row into its side's table, the partner_line of ground-truth rows into the
    system table. The nullable columns are pandas' Int64.

    confidence: a box is taken when its confidence is at least this, in both
    inputs (0 to 1); cls: one of CLASSES ("All" takes every class); near: the
    overlap from which an unpaired box and object are near each other (0 to 1).
    Raises as score() does, and ValueError for an unknown class.
    format, gt_format, sys_format and the options of other formats: as in score().
    """
    import pandas as pd

    threshold = _confidence(confidence)
    near = _fraction(near, "near")
    if not isinstance(cls, str) or cls not in CLASSES:
        raise ValueError("class %r is none of %s" % (cls, ", ".join(CLASSES)))
    readings = _readings(gt, format, gt_format, sys_format, **options)
    ground_truth, system = _read_pair(gt, sys, details=True, readings=readings)
    (frame_lines, frames, system_side, lines, class_codes, class_names, confidences, kinds,
     partner_lines, causes, overlaps) = _talmira.events(ground_truth, system, threshold, cls, near)
    system_side = system_side.astype(bool)
    # A side given as a table counts rows from 0: line 2 is its first record.
    shift = [0 if _path_of(source) is not None else 2 for source in (gt, sys)]
    frame_lines = frame_lines.astype(np.int64)
    lines = lines.astype(np.int64) - np.where(system_side, shift[1], shift[0])
    partner_lines = partner_lines.astype(np.int64)
    has_frame, has_partner = frame_lines > 0, partner_lines > 0
    frame_lines = frame_lines - shift[0]
    # The partner of a system box is in the ground truth, and the other way round.
    partner_lines = partner_lines - np.where(system_side, shift[0], shift[1])
    names = np.array(_talmira.event_names(), dtype=object)
    return pd.DataFrame({
        "gt_frame_line": pd.arrays.IntegerArray(frame_lines, ~has_frame),
        "frame": frames.astype(np.int64),
        "side": np.where(system_side, "sys", "gt").astype(object),
        "line": lines,
        "class": np.array(class_names, dtype=object)[class_codes.astype(np.intp)]
        if len(class_names) else np.zeros(0, dtype=object),
        "confidence": _shortest(confidences),
        "event": names[kinds.astype(np.intp)],
        "partner_line": pd.arrays.IntegerArray(partner_lines, ~has_partner),
        "cause": np.array([None] + list(_talmira.cause_names()[1:]),
                          dtype=object)[causes.astype(np.intp)],
        "overlap": _shortest(overlaps),
    }, columns=list(EVENT_COLUMNS))


class FrameDrawing:
    """One frame drawn as `talmira view` draws it: notebooks show it as the
    picture (_repr_svg_); svg is the SVG document's text."""

    def __init__(self, svg, frame):
        self.svg = svg
        self.frame = frame

    def _repr_svg_(self):
        return self.svg

    def __repr__(self):
        return "<FrameDrawing of frame %d, %d characters of SVG>" % (self.frame, len(self.svg))


def draw_frame(gt, sys, frame, confidence=0.0, cls="All", image=None, near=0.1, *, format=None,
               gt_format=None, sys_format=None, **options):
    """Draws frame number `frame` of the pair as SVG: every box of the
    ground-truth frame (solid) and of its system frame (dashed) that the
    class's selection takes at `confidence`, coloured by its event as
    events() names it; each is an element with data-side, data-line and
    data-event, and data-class, data-confidence, data-cause, data-overlap and
    data-partner. Pairs are joined by a line, don't-care regions hatched.
    Turned boxes of a file of this format are drawn turned. data-line is the
    record's line in its file; for an in-memory table, the line its row would
    have in a file (row + 2, the header being line 1).

    image: the frame's picture under the boxes, embedded: a path to a PNG,
    JPEG or GIF file, or its bytes; drawn at the picture's own size, which is
    the frame's pixel coordinates. Returns a FrameDrawing. Raises as events()
    does, and ValueError for a frame the ground truth lacks.
    """
    threshold = _confidence(confidence)
    near = _fraction(near, "near")
    if not isinstance(cls, str) or cls not in CLASSES:
        raise ValueError("class %r is none of %s" % (cls, ", ".join(CLASSES)))
    if isinstance(frame, bool) or not isinstance(frame, numbers.Integral) or not 0 <= frame < 2**32:
        raise ValueError("frame %r is not a frame number" % (frame,))
    readings = _readings(gt, format, gt_format, sys_format, **options)
    ground_truth, system = _read_pair(gt, sys, details=True, readings=readings)
    if image is not None and not isinstance(image, (bytes, bytearray)):
        with open(image, "rb") as f:
            image = f.read()
    # Corners are read again only from files of this format.
    paths = [_path_of(source) if reading is None or reading["format"] == "talmira" else None
             for source, reading in zip((gt, sys), readings)]
    svg = _talmira.draw_frame(ground_truth, system, int(frame), threshold, cls, near,
                              paths[0] or "", paths[1] or "",
                              bytes(image) if image is not None else None)
    return FrameDrawing(svg, int(frame))


#: The largest grid of sweep().
MAX_GRID = 1000000
_CURVE_COLUMNS = ("class", "threshold", "gt", "det", "fn", "fp", "nmodta", "precision", "recall")
_BEST_COLUMNS = ("class", "threshold", "gt", "det", "fn", "fp", "frames", "nmodta", "ap")


class SweepResult:
    """Every class's counts as functions of the confidence threshold.

    curves: a DataFrame with the columns class, threshold, gt, det, fn, fp,
    nmodta, precision and recall: the rows of `talmira sweep --format
    csv/json`, class by class in the order of CLASSES, thresholds descending
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
          sys_format=None, **options):
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
    """
    import pandas as pd

    if not exact and (isinstance(grid, bool) or not isinstance(grid, numbers.Integral)
                      or not 1 <= grid <= MAX_GRID):
        raise ValueError("grid %r is not a whole number from 1 to %d" % (grid, MAX_GRID))
    threads = _jobs(jobs)
    readings = _readings(gt, format, gt_format, sys_format, **options)
    ground_truth, system = _read_pair(gt, sys, readings=readings)
    (slots, thresholds, gts, dets, fns, fps, nmodtas, precisions, recalls), best = _talmira.sweep(
        ground_truth, system, 0 if exact else int(grid), threads)
    classes = np.array(CLASSES, dtype=object)
    curves = pd.DataFrame({
        "class": classes[slots.astype(np.intp)],
        "threshold": _shortest(thresholds),
        "gt": gts, "det": dets, "fn": fns, "fp": fps,
        "nmodta": _shortest(nmodtas),
        "precision": precisions, "recall": recalls,
    }, columns=list(_CURVE_COLUMNS))
    best_rows = [(name, _nmodta(t), g, d, n, p, frames, _nmodta(m), ap)
                 for name, (t, g, d, n, p, frames, m, ap) in zip(CLASSES, best)]
    best_frame = pd.DataFrame(best_rows, columns=list(_BEST_COLUMNS))
    for column in ("gt", "det", "fn", "fp", "frames"):
        best_frame[column] = best_frame[column].astype("int64")
    return SweepResult(curves, best_frame, bool(exact), None if exact else int(grid))


# ---------------------------------------------------------------------------
# Datasets: batch(), dataset_sequences(), score_sequence() and pool().
#
# A result travels (to and from Dask workers, through pickles) as the text of
# the partial result that `talmira batch --shard` writes: a sequence is the
# one-sequence shard of its position, a whole dataset shard 1/1. Joining them
# is the C++ of `talmira merge`, so that every way of scoring a dataset pools
# exactly as the command does.

#: The name a dataset given as a table has where a LIST's path would be.
TABLE_DATASET = "(table)"
_DATASET_COLUMNS = ("sequence", "groundtruth", "system")
_DATASET_FORMAT_COLUMNS = ("gt_format", "sys_format")
_COUNT_COLUMNS = ("gt", "det", "fn", "fp", "frames")
# A sequence's best points: those of best but its average precision, since a
# sequence's curves are pooled and let go, not kept.
_SEQUENCE_BEST_COLUMNS = tuple(c for c in _BEST_COLUMNS if c != "ap")


@dataclasses.dataclass(frozen=True)
class DatasetSequence:
    """One sequence of a dataset, as dataset_sequences() reads it: what
    score_sequence() scores, on this process or another.

    position: its place in the list, from 0; name, groundtruth, system: as the
    list gives them (paths joined with the LIST's folder); list, list_digest,
    count: the dataset it belongs to (its LIST as given, a digest of the
    LIST's bytes, and its number of sequences), which pool() checks;
    groundtruth_format, system_format: the formats its line names (the
    LIST's gt_format and sys_format columns), empty for the call's.
    """

    position: int
    name: str
    groundtruth: str
    system: str
    list: str
    list_digest: str
    count: int
    groundtruth_format: str = ""
    system_format: str = ""


def _dataset_field(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    if type(value).__name__ in ("NAType", "NaTType"):
        return ""
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if isinstance(value, bytes):
        value = os.fsdecode(value)
    text = str(value)
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def _dataset_table_text(table):
    """A table of sequences as the text of a LIST, to be read by its rules."""
    if isinstance(table, dict):
        names = [str(c) for c in table]
    elif hasattr(table, "columns") and hasattr(table, "__getitem__"):
        names = [str(c) for c in table.columns]
    else:
        raise TypeError("a dataset is a LIST's path or a pandas DataFrame with the columns "
                        "sequence, groundtruth and system, not %s" % type(table).__name__)
    missing = [c for c in _DATASET_COLUMNS if c not in names]
    if missing:
        raise ValueError("the dataset table lacks the column%s %s" % (
            "s" if len(missing) > 1 else "", ", ".join(missing)))
    wanted = _DATASET_COLUMNS
    if any(c in names for c in _DATASET_FORMAT_COLUMNS):
        missing = [c for c in _DATASET_FORMAT_COLUMNS if c not in names]
        if missing:
            raise ValueError("the dataset table's formats need both gt_format and sys_format")
        wanted = _DATASET_COLUMNS + _DATASET_FORMAT_COLUMNS
    columns = [list(table[c]) for c in wanted]
    if len({len(c) for c in columns}) > 1:
        raise ValueError("the dataset table's columns differ in length")
    lines = [",".join(wanted)]
    lines += [",".join(_dataset_field(v) for v in row) for row in zip(*columns)]
    return ("\n".join(lines) + "\n").encode("utf-8", "surrogateescape")


def dataset_sequences(dataset):
    """The sequences of a dataset, by the rules of `talmira batch LIST`, as a
    list of DatasetSequence: for score_sequence() on any process, whose
    results pool() joins.

    dataset: the path of a LIST (a CSV file with the header
    sequence,groundtruth,system and one sequence a line, paths relative to
    its folder), or a table (a pandas DataFrame, or a dict of lists) with the
    columns sequence, groundtruth and system, paths relative to the current
    folder. Raises FormatError for a line or row that breaks the rules (an
    empty field, a name used twice, the name "(all)"), naming its line (a
    LIST) or its row (a table, counted from 0), and OSError when the LIST
    cannot be read.
    """
    return _read_dataset(dataset)[1]


def _read_dataset(dataset):
    """(list, digest, count) of a dataset, and its DatasetSequences."""
    path = _path_of(dataset)
    if path is not None:
        with open(path, "rb") as fh:
            text = fh.read()
    else:
        text = _dataset_table_text(dataset)
    try:
        (name, digest, count), entries = _talmira.read_dataset_list(
            text, path if path is not None else TABLE_DATASET)
    except _talmira.ReadFailure as failure:
        what, line = failure.args[0], failure.args[1]
        if path is not None:
            raise FormatError("%s:%d: %s" % (path, line, what), path=path, line=line) from None
        row = line - 2 if line >= 2 else None
        where = "dataset table" + (", row %d" % row if row is not None else "")
        raise FormatError("%s: %s" % (where, what), line=line, row=row) from None
    return (name, digest, count), [
        DatasetSequence(position, sequence, groundtruth, system, name, digest, count,
                        groundtruth_format, system_format)
        for position, sequence, groundtruth, system, groundtruth_format, system_format
        in entries]


def _grid_steps(sweep, grid, exact):
    if not sweep or exact:
        return 0
    if isinstance(grid, bool) or not isinstance(grid, numbers.Integral) or not 1 <= grid <= MAX_GRID:
        raise ValueError("grid %r is not a whole number from 1 to %d" % (grid, MAX_GRID))
    return int(grid)


def _class_rows(rows, columns):
    """A DataFrame of class rows with whole counts and the command's NMODTA."""
    import pandas as pd

    frame = pd.DataFrame(rows, columns=list(columns))
    for column in columns:
        if column in _COUNT_COLUMNS:
            frame[column] = frame[column].astype("int64")
        elif column in ("nmodta", "threshold"):
            frame[column] = frame[column].astype("float64")
    return frame


def _best_rows(entry, name=None):
    """The best points of a part's sequence, with the class's frames."""
    frames = {c["class"]: c["frames"] for c in entry["classes"]}
    lead = () if name is None else (name,)
    return [lead + (b["class"], b["threshold"], b["gt"], b["det"], b["fn"], b["fp"],
                    frames[b["class"]], b["nmodta"]) for b in entry["best"]]


class _PartView:
    """A result held as the text of its part, read (once) when looked at.
    Pickles as that text alone."""

    def __init__(self, partial):
        self.partial = partial

    def __getstate__(self):
        return {"partial": self.partial}

    def __setstate__(self, state):
        self.partial = state["partial"]

    @property
    def _part(self):
        cached = self.__dict__.get("_parsed")
        if cached is None:
            cached = self.__dict__["_parsed"] = json.loads(self.partial)
        return cached

    @property
    def confidence(self):
        """The confidence threshold the counts are at."""
        return self._part["confidence"]

    @property
    def sweep(self):
        """Whether the sequences were swept over every threshold."""
        return "sweep" in self._part


class SequenceResult(_PartView):
    """One sequence of a dataset scored by score_sequence().

    name, position, groundtruth, system: the sequence's; error: why it could
    not be scored (the command's message), None when it was; to_pandas(): its
    class rows at the confidence (class, gt, det, fn, fp, frames, nmodta;
    none when it failed); best: with a sweep, each class's best threshold
    (class, threshold, gt, det, fn, fp, frames, nmodta: no average precision,
    which only the pooled curves give), None otherwise.
    partial: the text of its partial result, as `talmira batch --shard`
    writes one: pool() joins these, and so does `talmira merge` from files.
    """

    @property
    def _entry(self):
        return self._part["sequences"][0]

    name = property(lambda self: self._entry["sequence"])
    position = property(lambda self: self._entry["position"])
    groundtruth = property(lambda self: self._entry["groundtruth"])
    system = property(lambda self: self._entry["system"])
    error = property(lambda self: self._entry.get("error"))

    def to_pandas(self):
        """The sequence's class rows at the confidence (none when it failed)."""
        rows = [tuple(c[k] for k in _RESULT_COLUMNS) for c in self._entry.get("classes", [])]
        return _class_rows(rows, _RESULT_COLUMNS)

    @property
    def best(self):
        if not self.sweep:
            return None
        return _class_rows(_best_rows(self._entry) if self.error is None else [],
                           _SEQUENCE_BEST_COLUMNS)

    def __repr__(self):
        if self.error is not None:
            return "SequenceResult(%r, failed: %s)" % (self.name, self.error)
        return "SequenceResult(%r, confidence %s)\n%s" % (
            self.name, self.confidence, self.to_pandas().to_string(index=False))


class BatchResult(_PartView):
    """A whole dataset scored: what `talmira batch` gives, as tables.

    sequences: each scored sequence's class rows in list order (sequence,
    class, gt, det, fn, fp, frames, nmodta), the rows of `talmira batch
    --format csv`; pooled: the totals over the scored sequences (class, gt,
    det, fn, fp, frames, nmodta), counts summed and NMODTA computed from the
    sums; failed: the sequences that could not be scored (sequence,
    groundtruth, system, error), left out of the totals.

    With a sweep, also: best, each class's best threshold over the pooled
    exact curves and its average precision (class, threshold, gt, det, fn,
    fp, frames, nmodta, ap), as sweep() gives them for one pair; curves, the
    pooled curves' rows as `talmira batch --sweep --format csv` lists them
    (class, threshold, gt, det, fn, fp, nmodta, precision, recall; at
    k/grid, or every threshold when exact); sequence_best, each scored
    sequence's best thresholds (sequence, then the columns of best but ap:
    a sequence's own curves are not kept). None without a sweep.

    render(format): the command's output itself. partial: the text of the
    whole run as a partial result (shard 1/1), which `talmira merge` reads.
    """

    @property
    def _pooled(self):
        cached = self.__dict__.get("_pooled_rows")
        if cached is None:
            cached = self.__dict__["_pooled_rows"] = _talmira.pooled_dataset(self.partial)
        return cached

    @property
    def grid(self):
        """With a sweep: the grid's steps, None when exact (and without a sweep)."""
        return self._part.get("sweep", {}).get("grid")

    @property
    def sequences(self):
        rows = [(s["sequence"],) + tuple(c[k] for k in _RESULT_COLUMNS)
                for s in self._part["sequences"] if "error" not in s for c in s["classes"]]
        return _class_rows(rows, ("sequence",) + _RESULT_COLUMNS)

    @property
    def pooled(self):
        rows = [(name, g, d, n, p, f, _nmodta(m)) for name, g, d, n, p, f, m in self._pooled[0]]
        return _class_rows(rows, _RESULT_COLUMNS)

    @property
    def failed(self):
        import pandas as pd

        rows = [(s["sequence"], s["groundtruth"], s["system"], s["error"])
                for s in self._part["sequences"] if "error" in s]
        return pd.DataFrame(rows, columns=["sequence", "groundtruth", "system", "error"])

    @property
    def best(self):
        if self._pooled[1] is None:
            return None
        rows = [(name, _nmodta(t), g, d, n, p, frames, _nmodta(m), ap)
                for name, (t, g, d, n, p, frames, m, ap) in zip(CLASSES, self._pooled[1][1])]
        return _class_rows(rows, _BEST_COLUMNS)

    @property
    def curves(self):
        import pandas as pd

        if self._pooled[1] is None:
            return None
        (slots, thresholds, gts, dets, fns, fps, nmodtas, precisions,
         recalls) = self._pooled[1][0]
        return pd.DataFrame({
            "class": np.array(CLASSES, dtype=object)[slots.astype(np.intp)],
            "threshold": _shortest(thresholds),
            "gt": gts, "det": dets, "fn": fns, "fp": fps,
            "nmodta": _shortest(nmodtas),
            "precision": precisions, "recall": recalls,
        }, columns=list(_CURVE_COLUMNS))

    @property
    def sequence_best(self):
        if not self.sweep:
            return None
        rows = [row for s in self._part["sequences"] if "error" not in s
                for row in _best_rows(s, s["sequence"])]
        return _class_rows(rows, ("sequence",) + _SEQUENCE_BEST_COLUMNS)

    def render(self, format="text"):
        """The output of `talmira batch` over the same dataset, byte for byte:
        format "text", "csv" or "json" (--format), "html" (--report's page)
        or, with a sweep, "svg" (--plot's picture)."""
        return _talmira.render_dataset(self.partial, format)

    def _repr_html_(self):
        return self.pooled.to_html(index=False, float_format=lambda v: "%.6f" % v)

    def __repr__(self):
        return self.render("text")


def _reported(result, caller):
    """The result, with a warning when some of its sequences failed: they are
    reported, as the command reports them, not raised."""
    sequences = result._part["sequences"]
    failed = sum(1 for s in sequences if "error" in s)
    if failed:
        warnings.warn("%s: %d of %d sequences failed; they are left out of the totals"
                      % (caller, failed, len(sequences)), stacklevel=3)
    return result


def score_sequence(sequence, confidence=0.0, sweep=False, grid=100, exact=False, jobs=1, *,
                   format=None, gt_format=None, sys_format=None, **options):
    """Scores one DatasetSequence as `talmira batch` scores each of its
    sequences: a SequenceResult, for pool(). A file that cannot be read or is
    malformed does not raise: the result holds its message (error).

    confidence: as in score(); sweep: sweep the sequence over every
    threshold instead (its best points, its counts at confidence, and its
    exact curves for the pool), with grid and exact as in sweep(), which set
    the rows the pooled curves list. jobs: threads that match frames
    (default 1, for a pool of workers; None: every core). Every sequence of
    one dataset must be scored with the same confidence and sweep settings.
    format, gt_format, sys_format and the options of other formats: as in
    batch(), the same for every sequence of the dataset.
    """
    if not isinstance(sequence, DatasetSequence):
        raise TypeError("score_sequence() takes a DatasetSequence (from dataset_sequences()), "
                        "not %s" % type(sequence).__name__)
    threshold = _confidence(confidence)
    steps = _grid_steps(sweep, grid, exact)
    formats = _dataset_formats(format, gt_format, sys_format, **options)
    text = _talmira.score_shard_part(
        (sequence.list, sequence.list_digest, sequence.count), [_entry(sequence)],
        sequence.position + 1, sequence.count, threshold, bool(sweep), steps, _jobs(jobs),
        formats)
    return SequenceResult(text)


def _entry(sequence):
    return (sequence.position, sequence.name, sequence.groundtruth, sequence.system,
            sequence.groundtruth_format, sequence.system_format)


def _score_shard(source, entries, shard, shards, confidence, sweep, grid_steps, jobs,
                 formats=None):
    """A Dask task of batch(): the text of the part of shard `shard`/`shards`."""
    return _talmira.score_shard_part(source, entries, shard, shards, confidence, sweep,
                                     grid_steps, jobs, formats)


def pool(results):
    """Joins the results of score_sequence() (in any order) into the
    BatchResult of the whole dataset, exactly as `talmira merge` joins the
    parts of shards: counts summed over the scored sequences, and with a
    sweep their exact curves summed. A failed sequence is listed in failed,
    left out of the totals and reported by a warning.

    Raises ValueError, with merge's message, when the results are not those
    of one dataset scored with one confidence and sweep setting, when two
    hold the same sequence, or when a sequence is missing. A BatchResult
    counts as the part holding all its sequences.
    """
    parts, names = [], []
    for index, result in enumerate(results):
        if not isinstance(result, _PartView):
            raise TypeError("pool() joins the results of score_sequence(), not %s"
                            % type(result).__name__)
        parts.append(result.partial)
        names.append("result %d" % index)
    if not parts:
        raise ValueError("pool() needs the result of at least one sequence")
    return _reported(BatchResult(_talmira.join_dataset_parts(parts, names)), "talmira.pool")


def batch(dataset, confidence=0.0, sweep=False, jobs=None, grid=100, exact=False, client=None, *,
          format=None, gt_format=None, sys_format=None, **options):
    """Scores every sequence of a dataset as `talmira batch` does, with the
    totals pooled over the dataset: a BatchResult.

    dataset: a LIST's path, or a DataFrame with the columns sequence,
    groundtruth and system (see dataset_sequences()). confidence, sweep,
    grid, exact: as the command's -c, --sweep, --grid and --exact. A sequence
    that cannot be read or is malformed does not stop the others: it is
    listed in the result's failed table, left out of the totals and reported
    by a warning.

    Without a client, the sequences are scored in this process on `jobs`
    threads (default: every core), as `talmira batch -j`. With a
    dask.distributed Client, the dataset is cut into shards as `talmira batch
    --shard K/N` cuts it, four for each thread of the cluster (at most one a
    sequence); each shard is a task whose `jobs` threads (default 1) score
    its sequences one after the other, and the parts are joined as `talmira
    merge` joins them. Few parts travel back, each holding its sequences'
    counts and, with a sweep, the sum of their curves. The workers must see
    the files at the paths the dataset gives (an absolute LIST path, or
    workers started in the same folder). The result is the same either way.

    Inputs of other formats: format (both inputs), or gt_format and
    sys_format, and the options of other formats, as in score() and as the
    command's --gt-format, --sys-format and the options that go with them;
    a LIST (or table) may also end with the columns gt_format and
    sys_format, naming each sequence's formats (empty: the call's).
    """
    threshold = _confidence(confidence)
    steps = _grid_steps(sweep, grid, exact)
    formats = _dataset_formats(format, gt_format, sys_format, **options)
    source, sequences = _read_dataset(dataset)
    entries = [_entry(s) for s in sequences]
    if client is None or not sequences:
        text = _talmira.score_shard_part(source, entries, 1, 1, threshold, bool(sweep), steps,
                                         _jobs(jobs), formats)
        return _reported(BatchResult(text), "talmira.batch")
    threads = sum(client.nthreads().values())
    shards = max(1, min(len(sequences), 4 * threads))
    futures = [client.submit(_score_shard, source, entries, shard, shards, threshold,
                             bool(sweep), steps, 1 if jobs is None else _jobs(jobs), formats,
                             pure=False)
               for shard in range(1, shards + 1)]
    parts = client.gather(futures)
    names = ["shard %d/%d" % (shard, shards) for shard in range(1, shards + 1)]
    return _reported(BatchResult(_talmira.join_dataset_parts(parts, names)), "talmira.batch")

# --- explain: why a detector lost points ---

__all__ += ["explain", "ExplainResult", "MISS_CAUSES", "FALSE_ALARM_CAUSES", "CONFUSION_LABELS"]

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
    frames, nmodta), in the order of CLASSES.
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
                 dropped_in_region, confidence, near, groundtruth=None, system=None):
        self.classes = classes
        self.causes = causes
        self.pairs = pairs
        self.confusion = confusion
        self.frames = frames
        self.set_aside = set_aside
        self.excluded = excluded
        self.dropped_in_region = dropped_in_region
        self.confidence = confidence
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
            "confusion": {
                "labels": list(self.confusion.columns),
                "matrix": [[int(v) for v in r] for r in self.confusion.to_numpy()],
                "set_aside": self.set_aside,
                "excluded": self.excluded,
                "dropped_in_region": self.dropped_in_region,
            },
            "frames": [dict(zip(_FRAME_COLUMNS, (int(v) for v in r)))
                       for r in self.frames.itertuples(index=False)],
        }

    def _lost(self):
        """The rows of the causes that cost points."""
        return self.causes[self.causes["count"] > 0]

    def _used_confusion(self):
        """The matrix cut to the classes that appear in it (all eleven are many)."""
        matrix = self.confusion
        used = [label for label in CONFUSION_LABELS
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


def explain(gt, sys, confidence=0.0, near=0.1, jobs=None, *, format=None, gt_format=None,
            sys_format=None, **options):
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
    """
    import pandas as pd

    threshold = _confidence(confidence)
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
    confusion = pd.DataFrame(np.array(matrix["matrix"], dtype=np.int64).reshape(
        len(labels), len(labels)), index=labels, columns=pd.Index(matrix["labels"], name="system"))

    frame_columns = dict(zip(_FRAME_COLUMNS, native[1:]))
    if paths[0] is None:
        # A table's frames start at its rows: line 2 is its first record.
        frame_columns["line"] = frame_columns["line"] - 2
    frames = pd.DataFrame(frame_columns, columns=list(_FRAME_COLUMNS))

    return ExplainResult(class_frame, causes, pairs, confusion, frames,
                         matrix["set_aside"], matrix["excluded"], matrix["dropped_in_region"],
                         report["confidence"], report["near"], paths[0], paths[1])

# --- end of explain ---


# --- compare: two detectors with paired-bootstrap intervals ---

__all__ += ["compare", "CompareResult"]

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
__all__ += ["COMPARE_COLUMNS"]


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
            jobs=None, format=None, gt_format=None, sys_format=None, **options):
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
        if block is not None:
            raise ValueError("block is for one sequence; in a dataset each sequence is a unit")
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
    readings = _readings(gt, format, gt_format, sys_format, **options)
    sources = ((gt, "ground-truth"), (sys_a, "system A"), (sys_b, "system B"))
    sequences = [_read(source, label, reading=reading)
                 for (source, label), reading in zip(sources, (readings[0], readings[1],
                                                               readings[1]))]
    report = json.loads(_talmira.compare(*sequences, *thresholds, bool(best), resamples, seed,
                                         level, block, threads))
    for key, (source, _) in zip(("groundtruth", "system_a", "system_b"), sources):
        report[key] = _path_of(source)
    # The keys in the command's order: the inputs first.
    ordered = {k: report[k] for k in ("groundtruth", "system_a", "system_b")}
    ordered.update((k, v) for k, v in report.items() if k not in ordered)
    return CompareResult(ordered, _compare_frame(ordered), None)

# --- end of compare ---
