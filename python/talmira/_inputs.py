"""Reading the inputs: files and in-memory tables, in this package's format or
another, under the scoring rules the keyword arguments give; read() and
class_map()."""

import math
import numbers
import os

import numpy as np

from . import _talmira
from ._columns import COLUMNS
from ._errors import _file_error, _table_error

_WHOLE_COLUMNS = frozenset(COLUMNS[:9])
_TEXT_COLUMNS = frozenset(("type", "flag_a", "flag_b"))
# Column kinds of the native reader.
_WHOLE, _DOUBLE, _SINGLE, _CODED = 0, 1, 2, 3


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


def _categorical_layout(name, values):
    """The layout of a pandas categorical text column, or None for any other
    column: the categories are coded as the rows would be (each category's
    text worked out once) and the rows keep the categorical's own codes,
    -1 (a missing value) being the empty cell its text would be too."""
    if name not in _TEXT_COLUMNS or type(getattr(values, "dtype", None)).__name__ != (
            "CategoricalDtype"):
        return None
    import pandas as pd

    codes = np.asarray(values.cat.codes if hasattr(values, "cat") else values.codes)
    categories = values.dtype.categories
    # Every category once, and a missing value when the column has one: the
    # rows' array would take the same type (ints become floats beside a
    # missing value), so each category has the text it has among the rows.
    missing = bool(codes.size) and bool((codes < 0).any())
    present = np.arange(len(categories) + missing, dtype=np.int64)
    if missing:
        present[-1] = -1
    kind, category_codes, texts = _column_layout(
        name, pd.Categorical.from_codes(present, dtype=values.dtype).to_numpy())
    if kind != _CODED or (missing and texts[category_codes[-1]] != ""):
        return None
    return (_CODED, codes, [texts[k] for k in category_codes[:len(categories)]])


def _column_layout(name, values):
    categorical = _categorical_layout(name, values)
    if categorical is not None:
        return categorical
    array = values if isinstance(values, np.ndarray) else None
    if array is None and hasattr(values, "to_numpy"):
        array = values.to_numpy()
    if array is None:
        array = np.asarray(values) if len(values) else np.zeros(0, dtype=np.int64)
    if array.ndim != 1:
        raise ValueError("column %s is not one-dimensional" % name)
    kind = array.dtype.kind
    if kind == "b":
        # Codes of a byte each, the array itself.
        return (_CODED, array.view(np.int8), ["FALSE", "TRUE"])
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


def _table_pair_layouts(gt, sys):
    """(gt layouts, gt rows, sys layouts, sys rows) of two tables, checked one
    after the other: a bad row of the ground truth is raised first, as when
    the two are read in turn."""
    gt_layouts, gt_rows = _table_layout(gt, "ground-truth")
    try:
        sys_layouts, sys_rows = _table_layout(sys, "system")
    except Exception:
        _read_table(gt, "ground-truth")
        raise
    return gt_layouts, gt_rows, sys_layouts, sys_rows


def _read_pair(gt, sys, details=False, readings=(None, None)):
    """Both inputs; two files are read at once, as the command reads them.
    details: keep where every record came from (for check and events).
    readings: how to read inputs of other formats (_readings()), None for
    this format's."""
    paths = [_path_of(gt), _path_of(sys)]
    if readings == (None, None) and paths == [None, None]:
        # Two tables: checked one after the other, then read at once.
        layouts = _table_pair_layouts(gt, sys)
        try:
            return _talmira.read_table_pair(*layouts, details)
        except _talmira.ReadFailure as failure:
            raise _table_error(failure, ["ground-truth", "system"]) from None
    if readings != (None, None) or None in paths:
        return (_read(gt, "ground-truth", details, readings[0]),
                _read(sys, "system", details, readings[1]))
    try:
        return _talmira.read_file_pair(*paths, details)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, paths) from None


#: The formats an input can be read from; "talmira" is this package's own.
FORMATS = tuple(_talmira.format_names())
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
    rule_set = options.get("rules")
    rule_values = any(options.get(key) is not None for key in _RULE_OPTIONS[1:])
    rules = _rules(options)
    unknown_keys = sorted(set(options) - set(_READING_OPTIONS))
    if unknown_keys:
        raise TypeError("unexpected keyword argument %r" % unknown_keys[0])
    if format is not None and (gt_format is not None or sys_format is not None):
        raise ValueError("give format (both inputs) or gt_format and sys_format, not both")
    truth = _format_name(format if format is not None else gt_format, "format")
    system = _format_name(format if format is not None else sys_format, "format")
    given = {key: options.get(key) for key in _READING_OPTIONS}
    # The set's name: rules="mot" on MOT files counts as the benchmark does.
    given.update(rule_set=rule_set, rule_values=rule_values)
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


def _benchmark_inputs(gt, sys, format, gt_format, sys_format, options):
    """The native layer's arguments (paths, gt_format, sys_format,
    values_given, classes, unknown) for rules="mot" on two files, which count
    as the benchmark does when both are MOT files (the native layer tells);
    None when rules is not "mot" or an input is a table."""
    if options.get("rules") != "mot":
        return None
    paths = [_path_of(gt), _path_of(sys)]
    if None in paths:
        return None
    if format is not None and (gt_format is not None or sys_format is not None):
        raise ValueError("give format (both inputs) or gt_format and sys_format, not both")
    formats = [format if format is not None else f for f in (gt_format, sys_format)]
    formats = ["talmira" if f is None else f for f in formats]
    for f in formats:
        if not isinstance(f, str):
            raise ValueError("format %r is not a name" % (f,))
    values_given = any(options.get(key) is not None for key in _RULE_OPTIONS[1:])
    classes = _path_of(options["classes"]) if options.get("classes") is not None else ""
    unknown = options.get("unknown") or "error"
    if not isinstance(unknown, str):
        raise ValueError("unknown %r is neither 'error' nor 'drop'" % (unknown,))
    return paths, formats[0], formats[1], values_given, classes or "", unknown


def _benchmark_length(length):
    """A sequence length as the native layer takes it: 0 for none given."""
    if length is None:
        return 0
    if isinstance(length, bool) or not isinstance(length, numbers.Integral) or length < 1:
        raise ValueError("length %r is not a whole number from 1" % (length,))
    return int(length)


def class_map(format):
    """The class map of a format onto this format's classes as a DataFrame
    (label, type, flag, note): what each of its labels becomes in read() and
    in `talmira convert`, as `talmira convert --from FORMAT --show-classes`
    prints it. Scored directly, a format's rows are its dataset's own classes;
    this map, written to a file and given as classes=, scores it in this
    format's ten."""
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
    seventh column of mot, mot15 and visdrone is then the score, and a
    score of -1, none, the confidence inf, as convert writes it); options: classes
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
