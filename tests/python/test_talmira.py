"""The talmira Python module against the talmira command, on the cross-check's
random file pairs, and its table input against its file input.

Run by CTest (TALMIRA_TOOL names the built `talmira` executable); .ci/run
runs the same tests against the module installed by pip.
"""

import concurrent.futures
import json
import math
import os
import random
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd
import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import crosscheck  # noqa: E402  (the cross-check's generator and its float rounding)

TOOL = os.environ.get("TALMIRA_TOOL")
SEED = 7
CASES = 120
EXAMPLE_GT = os.path.join(ROOT, "examples", "groundtruth.csv")
EXAMPLE_SYS = os.path.join(ROOT, "examples", "systemoutput.csv")


def need_tool():
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")


def run_tool(*args):
    proc = subprocess.run([TOOL, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def result_csv(result):
    """The result as `talmira score --format csv` writes it."""
    lines = ["class,gt,det,fn,fp,frames,nmodta"]
    for row in result.to_pandas().itertuples(index=False):
        # nmodta back to its single-precision value, printed as the command prints it
        lines.append("%s,%d,%d,%d,%d,%d,%f" % (row[0], row[1], row[2], row[3], row[4], row[5],
                                                float(np.float32(row[6]))))
    return "\n".join(lines) + "\n"


def cases():
    """(index, gt bytes, sys bytes, confidence text or None) of readable random pairs."""
    out = []
    for index in range(CASES):
        gt, sysout, extra = crosscheck.make_case(SEED * 1000003 + index)
        if gt is None or sysout is None or len(extra) > 1:
            continue
        out.append((index, gt, sysout, extra[0] if extra else None))
    return out


@pytest.fixture(scope="module")
def case_files():
    with tempfile.TemporaryDirectory(prefix="talmira-py-") as folder:
        written = []
        for index, gt, sysout, conf in cases():
            gt_path = os.path.join(folder, "gt-%d.csv" % index)
            sys_path = os.path.join(folder, "sys-%d.csv" % index)
            for path, data in ((gt_path, gt), (sys_path, sysout)):
                with open(path, "wb") as fh:
                    fh.write(data)
            written.append((index, gt_path, sys_path, conf))
        yield written


def score_or_error(gt, sysout, conf, jobs=None):
    """The score's CSV text, or the kind and text of the failure."""
    try:
        return result_csv(talmira.score(gt, sysout, conf if conf is not None else 0.0, jobs))
    except talmira.FormatError as e:
        return ("FormatError", str(e))
    except ValueError as e:
        return ("ValueError", str(e))


def test_score_equals_the_command_on_random_pairs(case_files):
    need_tool()
    compared = 0
    for index, gt, sysout, conf in case_files:
        args = ["score", gt, sysout, "--format", "csv"] + ([] if conf is None else ["-c", conf])
        status, out, err = run_tool(*args)
        got = score_or_error(gt, sysout, conf)
        context = "seed %d case %d (confidence %r)" % (SEED, index, conf)
        if status == 0:
            assert got == out, context
            compared += 1
        elif status == 1:
            # a malformed record: the message is the command's, whole
            assert got == ("FormatError", err.splitlines()[0]), context
        else:
            assert status == 2 and got[0] == "ValueError", context
    assert compared >= CASES // 2


def table_of(data):
    """The records of an annotation file as a table, with the line each came
    from. Columns are typed where the text allows (whole numbers, flags as
    booleans, confidences as the single-precision value the text stands for)
    and kept as text where it does not, so bad values reach the table too.
    None when a record cannot be a row (not 15 columns)."""
    lines = data.decode("latin-1").replace("\r\n", "\n").replace("\r", "\n").split("\n")
    rows, line_numbers = [], []
    for number, line in enumerate(lines[1:], start=2):
        if not line.strip(" \t\v\f"):
            continue
        fields = line.split(",")
        if len(fields) != 15:
            return None
        rows.append(fields[:13])
        line_numbers.append(number)
    columns = {}
    for c, name in enumerate(talmira.COLUMNS):
        values = [r[c] for r in rows]
        if name in talmira._WHOLE_COLUMNS:
            try:
                columns[name] = np.array([int(v) for v in values], dtype=np.int64)
            except ValueError:
                columns[name] = values
        elif name in ("flag_a", "flag_b"):
            if all(v.strip() in ("TRUE", "FALSE") for v in values):
                columns[name] = np.array([v.strip() == "TRUE" for v in values], dtype=bool)
            else:
                columns[name] = values
        elif name == "confidence":
            try:
                columns[name] = np.array([crosscheck.parse_float32_text(v.strip(" \t\v\f"))
                                          for v in values], dtype=np.float32)
            except crosscheck.ModelInputError:
                columns[name] = values
        else:
            columns[name] = values
    return pd.DataFrame(columns), line_numbers


def corrupted(data, rng):
    """The file with one value of one record made malformed, or None."""
    lines = data.split(b"\n")
    records = [i for i in range(1, len(lines)) if lines[i].count(b",") == 14]
    if not records:
        return None
    at = rng.choice(records)
    fields = lines[at].split(b",")
    column = rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 8, 12])
    fields[column] = rng.choice([b"1x", b"", b"4294967296", b"abc", b"1e", b"- 1"])
    lines[at] = b",".join(fields)
    return b"\n".join(lines)


def test_dataframe_input_equals_file_input(case_files, tmp_path):
    rng = random.Random(SEED)
    compared = refused = 0
    for index, gt_path, sys_path, conf in case_files:
        if index % 3 == 0:
            # one bad value, in either input: the same record must be refused
            which = rng.choice([0, 1])
            source = (gt_path, sys_path)[which]
            with open(source, "rb") as fh:
                bad = corrupted(fh.read(), rng)
            if bad is not None:
                target = str(tmp_path / ("bad-%d.csv" % index))
                with open(target, "wb") as fh:
                    fh.write(bad)
                gt_path, sys_path = (target, sys_path) if which == 0 else (gt_path, target)
        with open(gt_path, "rb") as fh:
            gt_table = table_of(fh.read())
        with open(sys_path, "rb") as fh:
            sys_table = table_of(fh.read())
        if gt_table is None or sys_table is None:
            continue
        context = "seed %d case %d" % (SEED, index)
        threshold = conf if conf is not None else 0.0
        try:
            from_files = talmira.score(gt_path, sys_path, threshold)
        except talmira.FormatError as file_error:
            # the same record refused, named by row and column
            tables = {gt_path: gt_table, sys_path: sys_table}
            lines = tables[file_error.path][1]
            with pytest.raises(talmira.FormatError) as table_error:
                talmira.score(gt_table[0], sys_table[0], threshold)
            assert table_error.value.row == lines.index(file_error.line), context
            assert table_error.value.column == talmira.COLUMNS[file_error.column - 1], context
            refused += 1
            continue
        except ValueError:
            continue
        from_tables = talmira.score(gt_table[0], sys_table[0], threshold)
        assert from_tables.rows == from_files.rows, context
        # a dict of columns is a table too
        as_dict = {k: v.to_numpy() for k, v in gt_table[0].items()}
        assert talmira.score(as_dict, sys_path, threshold).rows == from_files.rows, context
        compared += 1
    assert compared >= CASES // 3 and refused >= CASES // 10


def example_table():
    frame = pd.read_csv(EXAMPLE_GT, keep_default_na=False)
    frame.columns = list(talmira.COLUMNS) + ["text", "number"]
    return frame


def test_table_values_keep_the_file_rules():
    table = example_table()
    base = talmira.score(table, EXAMPLE_SYS)
    assert base.rows == talmira.score(EXAMPLE_GT, EXAMPLE_SYS).rows
    # A record typed DCF is dropped, as in a file: fewer Cars in the ground truth.
    first_car = int(np.flatnonzero(table["type"] == "Car")[0])
    dropped = table.copy()
    dropped.loc[first_car, "type"] = "DCF"
    assert talmira.score(dropped, EXAMPLE_SYS)["Car"]["gt"] == base["Car"]["gt"] - 1
    # A missing type is an empty column: no known class, so no Car either.
    for missing in (None, float("nan"), pd.NA):
        untyped = table.astype({"type": object})
        untyped.loc[first_car, "type"] = missing
        assert talmira.score(untyped, EXAMPLE_SYS)["Car"]["gt"] == base["Car"]["gt"] - 1
    # A flag given as the text TRUE sets the box aside, as the boolean does.
    as_text = table.copy()
    as_text["flag_a"] = ["TRUE" if v else "FALSE" for v in table["flag_a"]]
    assert talmira.score(as_text, EXAMPLE_SYS).rows == base.rows
    # Whole numbers held as floats (as pandas holds them beside a missing
    # value) are those numbers.
    assert talmira.score(table.astype({"x1": float, "y3": float}), EXAMPLE_SYS).rows == base.rows
    # An empty table has no frames.
    empty = {name: [] for name in talmira.COLUMNS}
    assert talmira.score(empty, empty)["All"] == {
        "class": "All", "gt": 0, "det": 0, "fn": 0, "fp": 0, "frames": 0, "nmodta": 1.0}


def test_text_columns_are_coded_as_pandas_factorizes_them():
    """The module codes str columns by object first; the codes and texts
    must be pandas.factorize's whatever objects hold the texts."""
    rng = random.Random(SEED)

    class Named(str):
        pass

    words = ["Car", "car", "Car ", "", "DCR", "Bus\u00e9", "\u4e2d", "TRUE", "FALSE"]
    for case in range(200):
        rows = rng.choice([0, 1, 2, 7, 50, 400])
        # Equal texts as one shared object, as fresh objects and as str subclasses.
        pool = [rng.choice(words) for _ in range(rng.randint(1, 6))]
        values = []
        for _ in range(rows):
            word = rng.choice(pool)
            made = rng.random()
            if made < 0.5:
                values.append(word)
            elif made < 0.8:
                values.append("".join(list(word)) + "")  # a new object of the same text
            elif made < 0.9:
                values.append(Named(word))
            else:
                values.append(np.str_(word))
        column = np.empty(rows, dtype=object)
        column[:] = values
        coded = talmira._talmira.code_texts(column)
        codes, uniques = pd.factorize(column)
        assert coded is not None, case
        assert coded[0].dtype == np.int64 and list(coded[0]) == list(codes), case
        assert coded[1] == list(uniques), case
        # Anything but str in it: left to the general coding.
        if rows:
            for other in (None, float("nan"), 3, b"Car", "\ud800"):
                mixed = column.copy()
                mixed[rng.randrange(rows)] = other
                assert talmira._talmira.code_texts(mixed) is None, (case, other)
    assert talmira._talmira.code_texts(np.array([1, 2])) is None
    assert talmira._talmira.code_texts(np.empty((2, 2), dtype=object)) is None


def test_bad_table_values_name_row_and_column():
    table = example_table()
    for column, value, problem in (("x2", "abc", "is not a 32-bit whole number"),
                                   ("frame", 2 ** 32, "is not a 32-bit whole number"),
                                   ("y4", 12.5, "is not a 32-bit whole number"),
                                   ("confidence", "high", "is not a number"),
                                   ("type", "Car,Truck", "comma or a line end")):
        bad = table.astype({column: object if column != "y4" else float})
        bad.loc[5, column] = value
        bad.loc[9, column] = value
        with pytest.raises(talmira.FormatError) as error:
            talmira.score(EXAMPLE_GT, bad)
        assert (error.value.row, error.value.column, error.value.path) == (5, column, None)
        assert error.value.line == 7
        assert problem in str(error.value) and "system table, row 5, column " + column in str(
            error.value)
    # a bad text after a bad number: the first row is the one reported
    bad = table.astype({"type": object, "x1": object})
    bad.loc[4, "type"] = "a\nb"
    bad.loc[3, "x1"] = ""
    with pytest.raises(talmira.FormatError) as error:
        talmira.score(bad, EXAMPLE_SYS)
    assert (error.value.row, error.value.column) == (3, "x1")
    with pytest.raises(ValueError, match="lacks the column confidence"):
        talmira.score(table.drop(columns="confidence"), EXAMPLE_SYS)
    # two tables are read at once, but the ground truth's problem comes
    # first, as when they are read in turn
    bad_sys = table.astype({"x2": object})
    bad_sys.loc[1, "x2"] = "abc"
    for sys_table in (bad_sys, table.drop(columns="confidence")):
        with pytest.raises(talmira.FormatError) as error:
            talmira.score(bad, sys_table)
        assert "ground-truth table, row 3, column x1" in str(error.value)
    with pytest.raises(talmira.FormatError) as error:
        talmira.score(table, bad_sys)
    assert "system table, row 1, column x2" in str(error.value)
    with pytest.raises(ValueError, match="differ in length"):
        talmira.score({**{n: [1, 2] for n in talmira.COLUMNS}, "x1": [1]}, EXAMPLE_SYS)


def test_errors():
    need_tool()
    with tempfile.TemporaryDirectory() as folder:
        missing = os.path.join(folder, "missing.csv")
        with pytest.raises(FileNotFoundError):
            talmira.score(missing, EXAMPLE_SYS)
        with pytest.raises(IsADirectoryError):
            talmira.score(EXAMPLE_GT, folder)
        bad = os.path.join(folder, "bad.csv")
        with open(EXAMPLE_GT) as source, open(bad, "w") as fh:
            lines = source.read().splitlines()
            lines[3] = lines[3].replace("Truck,FALSE,FALSE,1.0", "Truck,FALSE,FALSE,0.5x")
            fh.write("\n".join(lines) + "\n")
        status, _, err = run_tool("score", bad, EXAMPLE_SYS)
        assert status == 1
        with pytest.raises(talmira.FormatError) as error:
            talmira.score(bad, EXAMPLE_SYS)
        assert isinstance(error.value, ValueError)
        assert str(error.value) == error.value.message == err.splitlines()[0]
        assert (error.value.path, error.value.line, error.value.column) == (bad, 4, 13)
    for confidence in (1.5, -0.1, float("nan"), "abc", "0.5x", None):
        with pytest.raises(ValueError):
            talmira.score(EXAMPLE_GT, EXAMPLE_SYS, confidence)
        if confidence is not None:
            assert run_tool("score", EXAMPLE_GT, EXAMPLE_SYS, "-c", str(confidence))[0] == 2
    with pytest.raises(TypeError):
        talmira.score(42, EXAMPLE_SYS)
    for jobs in (0, -1, 2.5, "2"):
        with pytest.raises(ValueError):
            talmira.score(EXAMPLE_GT, EXAMPLE_SYS, jobs=jobs)


def test_threads_give_the_results_of_one_at_a_time(case_files):
    jobs = [(gt, sysout, conf if conf is not None else 0.0, 1 + index % 3)
            for index, gt, sysout, conf in case_files]
    one_at_a_time = [score_or_error(gt, sysout, conf, 1) for gt, sysout, conf, _ in jobs]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        together = list(pool.map(lambda job: score_or_error(*job), jobs))
    assert together == one_at_a_time


def test_result_forms():
    result = talmira.score(EXAMPLE_GT, EXAMPLE_SYS)
    frame = result.to_pandas()
    assert list(frame.columns) == ["class", "gt", "det", "fn", "fp", "frames", "nmodta"]
    assert list(frame["class"]) == list(talmira.CLASSES)
    as_dict = result.to_dict()
    assert list(as_dict) == list(talmira.CLASSES)
    # Car in the example: 12 objects, 14 boxes, 2 false alarms; 1 - 2/12 in single precision
    # given as the shortest text of the single-precision value, as the command's JSON has it
    assert np.float32(as_dict["Car"]["nmodta"]) == np.float32(1 - 2 / 12)
    assert repr(as_dict["Car"]["nmodta"]) == "0.8333333"
    assert "<table" in result._repr_html_() and "Tractor-Trailor" in result._repr_html_()


def command_events(text):
    """The rows of `talmira events`' CSV as values: missing lines as None,
    the confidence as the double its text stands for."""
    lines = text.splitlines()
    assert lines[0] == ",".join(talmira.EVENT_COLUMNS)
    rows = []
    for line in lines[1:]:
        f = line.split(",")
        assert len(f) == 10, line
        rows.append((int(f[0]) if f[0] else None, int(f[1]), f[2], int(f[3]), f[4], float(f[5]),
                     f[6], int(f[7]) if f[7] else None, f[8] or None,
                     float(f[9]) if f[9] else None))
    return rows


def frame_events(frame):
    """The rows of an events DataFrame in the same form."""
    def line(value):
        return None if pd.isna(value) else int(value)
    return [(line(r[0]), int(r[1]), r[2], int(r[3]), r[4], float(r[5]), r[6], line(r[7]), r[8],
             None if np.isnan(r[9]) else float(r[9]))
            for r in frame.itertuples(index=False)]


def test_check_and_events_equal_the_command_on_random_pairs(case_files, tmp_path):
    need_tool()
    rng = random.Random(SEED)
    compared = refused = 0
    for index, gt, sysout, conf in case_files:
        context = "seed %d case %d (confidence %r)" % (SEED, index, conf)
        if index % 4 == 0:
            # one bad value in either file: the command's message, whole
            which = rng.choice([0, 1])
            with open((gt, sysout)[which], "rb") as fh:
                bad = corrupted(fh.read(), rng)
            if bad is not None:
                target = str(tmp_path / ("bad-%d.csv" % index))
                with open(target, "wb") as fh:
                    fh.write(bad)
                gt, sysout = (target, sysout) if which == 0 else (gt, target)
                context += " with " + target
        # check: on the pair, and on the ground truth alone every other case
        pair = (gt, sysout) if index % 2 else (gt,)
        status, out, err = run_tool("check", *pair, "--format", "json")
        if status == 0:
            assert talmira.check(*pair) == json.loads(out), context
        else:
            assert status == 1, context
            with pytest.raises(talmira.FormatError) as error:
                talmira.check(*pair)
            assert str(error.value) == err.splitlines()[0], context
        # events of one class in turn, at the case's confidence
        cls = talmira.CLASSES[index % len(talmira.CLASSES)]
        args = ["events", gt, sysout, "--class", cls] + ([] if conf is None else ["-c", conf])
        status, out, err = run_tool(*args)
        threshold = conf if conf is not None else 0.0
        if status == 0:
            frame = talmira.events(gt, sysout, threshold, cls)
            assert list(frame.columns) == list(talmira.EVENT_COLUMNS), context
            assert str(frame["gt_frame_line"].dtype) == "Int64", context
            assert str(frame["partner_line"].dtype) == "Int64", context
            assert frame_events(frame) == command_events(out), context
            compared += 1
        elif status == 1:
            with pytest.raises(talmira.FormatError) as error:
                talmira.events(gt, sysout, threshold, cls)
            assert str(error.value) == err.splitlines()[0], context
            refused += 1
        else:
            assert status == 2, context
            with pytest.raises(ValueError):
                talmira.events(gt, sysout, threshold, cls)
    assert compared >= CASES // 2 and refused >= CASES // 20


def test_events_of_tables_give_rows_for_lines(case_files):
    """Events of the same records as tables: the file's events with each line
    replaced by the row its record became (blank lines are no rows)."""
    compared = 0
    for index, gt_path, sys_path, conf in case_files:
        tables = []
        for path in (gt_path, sys_path):
            with open(path, "rb") as fh:
                tables.append(table_of(fh.read()))
        if None in tables:
            continue
        threshold = conf if conf is not None else 0.0
        cls = talmira.CLASSES[index % len(talmira.CLASSES)]
        try:
            from_files = frame_events(talmira.events(gt_path, sys_path, threshold, cls))
        except ValueError:
            continue
        context = "seed %d case %d" % (SEED, index)
        gt_rows = {line: row for row, line in enumerate(tables[0][1])}
        sys_rows = {line: row for row, line in enumerate(tables[1][1])}
        # one table, the other a file, in turn; then both tables
        as_table = [index % 3 != 1, index % 3 != 2]
        inputs = [tables[0][0] if as_table[0] else gt_path,
                  tables[1][0] if as_table[1] else sys_path]

        def row(line, of_system):
            if line is None:
                return None
            if not as_table[of_system]:
                return line
            return (sys_rows if of_system else gt_rows)[line]

        expected = [(row(f, False), n, side, row(line, side == "sys"), c, conf_, event,
                     row(partner, side == "gt"), cause, overlap)
                    for f, n, side, line, c, conf_, event, partner, cause, overlap in from_files]
        assert frame_events(talmira.events(*inputs, threshold, cls)) == expected, context
        if as_table == [True, True]:
            # the counts of a check do not depend on where the records came from
            by_file, by_table = talmira.check(gt_path, sys_path), talmira.check(*inputs)
            assert by_table["groundtruth"]["file"] is None and by_table["system"]["file"] is None
            for side in ("groundtruth", "system"):
                for key in ("records", "frames", "boxes", "boxes_per_class",
                            "dont_care_regions", "dcf_records", "flagged_boxes",
                            "dropped_by_size", "confidence_min", "confidence_max"):
                    assert by_table[side][key] == by_file[side][key], (context, side, key)
            assert by_table["unpaired_system_boxes"] == by_file["unpaired_system_boxes"], context
        compared += 1
    assert compared >= CASES // 3


def test_check_and_events_errors():
    need_tool()
    with tempfile.TemporaryDirectory() as folder:
        missing = os.path.join(folder, "missing.csv")
        for call in (lambda: talmira.check(missing), lambda: talmira.check(EXAMPLE_GT, missing),
                     lambda: talmira.events(missing, EXAMPLE_SYS),
                     lambda: talmira.events(EXAMPLE_GT, missing)):
            with pytest.raises(FileNotFoundError):
                call()
        bad = os.path.join(folder, "bad.csv")
        with open(EXAMPLE_SYS) as source, open(bad, "w") as fh:
            lines = source.read().splitlines()
            fields = lines[5].split(",")
            fields[2] = "12a"
            lines[5] = ",".join(fields)
            fh.write("\n".join(lines) + "\n")
        for args in (["check", bad], ["check", EXAMPLE_GT, bad], ["events", EXAMPLE_GT, bad]):
            status, _, err = run_tool(*args)
            assert status == 1
            with pytest.raises(talmira.FormatError) as error:
                getattr(talmira, args[0])(*args[1:])
            assert str(error.value) == err.splitlines()[0]
            assert (error.value.path, error.value.line, error.value.column) == (bad, 6, 3)
    for confidence in (1.5, -0.1, float("nan"), "abc", None):
        with pytest.raises(ValueError):
            talmira.events(EXAMPLE_GT, EXAMPLE_SYS, confidence)
    for cls in ("car", "Nope", "", None, 3, "DCR"):
        with pytest.raises(ValueError):
            talmira.events(EXAMPLE_GT, EXAMPLE_SYS, cls=cls)
        if isinstance(cls, str):
            assert run_tool("events", EXAMPLE_GT, EXAMPLE_SYS, "--class", cls)[0] == 2


def test_check_and_events_in_threads(case_files):
    def run(job):
        index, gt, sysout, conf = job
        threshold = conf if conf is not None else 0.0
        try:
            report = talmira.check(gt, sysout)
            frame = frame_events(talmira.events(gt, sysout, threshold,
                                                talmira.CLASSES[index % len(talmira.CLASSES)]))
            return report, frame
        except ValueError as e:
            return type(e).__name__, str(e)

    one_at_a_time = [run(job) for job in case_files]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        together = list(pool.map(run, case_files))
    assert together == one_at_a_time


def sweep_as_json(result):
    """A SweepResult in the shape of `talmira sweep --format json`'s classes."""
    classes = []
    for cls in talmira.CLASSES:
        rows = result.curves[result.curves["class"] == cls]
        best = result.best[result.best["class"] == cls].iloc[0]
        point_keys = ("threshold", "gt", "det", "fn", "fp", "nmodta")

        def point(r, ratios):
            p = {k: (float(r[k]) if k in ("threshold", "nmodta") else int(r[k]))
                 for k in point_keys}
            p["precision"], p["recall"] = ratios
            return p

        def nan_none(value):
            return None if math.isnan(value) else float(value)

        # The best point's ratios from its counts, as the command's JSON gives them.
        best_ratios = ((best["det"] - best["fp"]) / best["det"] if best["det"] else 1.0,
                       (best["gt"] - best["fn"]) / best["gt"] if best["gt"] else None)
        classes.append({
            "class": cls,
            "frames": int(best["frames"]),
            "curve": [point(r, (float(r["precision"]), nan_none(r["recall"])))
                      for _, r in rows.iterrows()],
            "best": point(best, best_ratios),
            "ap": nan_none(best["ap"])})
    return classes


def test_sweep_equals_the_command_on_random_pairs(case_files):
    need_tool()
    compared = 0
    for index, gt, sysout, _ in case_files:
        # the exact curves, and grids of a few sizes
        grid = (None, 1, 7, 100)[index % 4]
        status, out, err = run_tool("sweep", gt, sysout, "--format", "json",
                                    *(["--exact"] if grid is None else ["--grid", str(grid)]))
        context = "seed %d case %d (grid %r)" % (SEED, index, grid)
        if status != 0:
            assert status == 1, context
            with pytest.raises(talmira.FormatError) as error:
                talmira.sweep(gt, sysout, exact=True)
            assert str(error.value) == err.splitlines()[0], context
            continue
        result = (talmira.sweep(gt, sysout, exact=True) if grid is None
                  else talmira.sweep(gt, sysout, grid=grid, jobs=1 + index % 3))
        assert list(result.curves.columns) == ["class", "threshold", "gt", "det", "fn", "fp",
                                               "nmodta", "precision", "recall"], context
        assert sweep_as_json(result) == json.loads(out)["classes"], context
        compared += 1
    assert compared >= CASES // 2


def test_sweep_of_tables_and_in_threads(case_files):
    compared = 0
    jobs = []
    for index, gt_path, sys_path, _ in case_files:
        tables = []
        for path in (gt_path, sys_path):
            with open(path, "rb") as fh:
                tables.append(table_of(fh.read()))
        if None in tables:
            continue
        try:
            from_files = talmira.sweep(gt_path, sys_path, exact=True)
        except ValueError:
            continue
        from_tables = talmira.sweep(tables[0][0], tables[1][0], exact=True)
        context = "seed %d case %d" % (SEED, index)
        pd.testing.assert_frame_equal(from_tables.curves, from_files.curves, obj=context)
        pd.testing.assert_frame_equal(from_tables.best, from_files.best, obj=context)
        jobs.append((gt_path, sys_path, from_files))
        compared += 1
    assert compared >= CASES // 3
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        together = list(pool.map(lambda job: talmira.sweep(job[0], job[1], exact=True, jobs=1),
                                 jobs))
    for (_, _, alone), result in zip(jobs, together):
        pd.testing.assert_frame_equal(result.curves, alone.curves)
    for grid in (0, -1, talmira.MAX_GRID + 1, 2.5, True, "10"):
        with pytest.raises(ValueError):
            talmira.sweep(EXAMPLE_GT, EXAMPLE_SYS, grid=grid)
    with pytest.raises(FileNotFoundError):
        talmira.sweep(EXAMPLE_GT, os.path.join(HERE, "missing.csv"))


def explain_csv(result):
    """The causes as `talmira explain --format csv` writes them."""
    lines = ["class,side,cause,count,cost"]
    for cls, side, cause, count, cost in result.causes.itertuples(index=False):
        lines.append("%s,%s,%s,%d,%s" % (cls, side, cause, count,
                                         "" if math.isnan(cost) else "%f" % cost))
    return "\n".join(lines) + "\n"


def test_explain_equals_the_command_on_random_pairs(case_files):
    """to_dict() is rebuilt from the DataFrames, so its equality with the
    command's JSON covers every class, cause, cost, pair, cell and frame."""
    need_tool()
    compared = 0
    for index, gt, sysout, conf in case_files:
        near = (None, "0.3", "0", "1")[index % 4]
        options = ([] if conf is None else ["-c", conf]) + ([] if near is None else
                                                           ["--near", near])
        context = "seed %d case %d (confidence %r, near %r)" % (SEED, index, conf, near)
        status, out, err = run_tool("explain", gt, sysout, "--format", "json", *options)
        threshold = conf if conf is not None else 0.0
        near_value = near if near is not None else 0.1

        def call(jobs=None):
            return talmira.explain(gt, sysout, threshold, near_value, jobs=jobs)

        if status == 1:
            with pytest.raises(talmira.FormatError) as error:
                call()
            assert str(error.value) == err.splitlines()[0], context
            continue
        if status == 2:
            with pytest.raises(ValueError):
                call()
            continue
        assert status == 0, context
        # one thread reads the files whole; more read them while scoring
        result = call(jobs=1 + index % 3)
        assert result.to_dict() == json.loads(out), context
        csv_status, csv_out, _ = run_tool("explain", gt, sysout, "--format", "csv", *options)
        assert csv_status == 0 and explain_csv(result) == csv_out, context
        assert list(result.causes.columns) == ["class", "side", "cause", "count", "cost"]
        assert result.confusion.shape == (11, 11) and str(result.confusion.dtypes.unique()[0]) \
            == "int64", context
        # the causes of one class are those of its events' rows
        cls = talmira.CLASSES[index % len(talmira.CLASSES)]
        rows = talmira.events(gt, sysout, threshold, cls, near_value)
        counted = rows[rows["cause"].notna()].groupby(["event", "cause"]).size().to_dict()
        mine = result.causes[(result.causes["class"] == cls) & (result.causes["count"] > 0)]
        assert {(side, cause): count
                for _, side, cause, count, _ in mine.itertuples(index=False)} == counted, context
        compared += 1
    assert compared >= CASES // 2


def test_explain_of_tables_gives_rows_for_lines(case_files):
    compared = 0
    for index, gt_path, sys_path, conf in case_files:
        tables = []
        for path in (gt_path, sys_path):
            with open(path, "rb") as fh:
                tables.append(table_of(fh.read()))
        if None in tables:
            continue
        threshold = conf if conf is not None else 0.0
        try:
            from_files = talmira.explain(gt_path, sys_path, threshold)
        except ValueError:
            continue
        context = "seed %d case %d" % (SEED, index)
        # the ground truth as a table, the system output as one, then both
        as_table = [index % 3 != 1, index % 3 != 2]
        inputs = [tables[k][0] if as_table[k] else (gt_path, sys_path)[k] for k in (0, 1)]
        from_tables = talmira.explain(*inputs, threshold)
        for name in ("classes", "causes", "pairs", "confusion"):
            pd.testing.assert_frame_equal(getattr(from_tables, name), getattr(from_files, name),
                                          obj="%s: %s" % (context, name))
        assert (from_tables.set_aside, from_tables.excluded, from_tables.dropped_in_region) == (
            from_files.set_aside, from_files.excluded, from_files.dropped_in_region), context
        expected = from_files.frames.copy()
        if as_table[0]:
            rows = {line: row for row, line in enumerate(tables[0][1])}
            expected["line"] = np.array([rows[line] for line in expected["line"]], dtype=np.int64)
        pd.testing.assert_frame_equal(from_tables.frames, expected, obj=context)
        assert from_tables.to_dict()["groundtruth"] == (None if as_table[0] else gt_path)
        compared += 1
    assert compared >= CASES // 3


def box(frame, x, y, size, kind, confidence=1.0, flag=False):
    """A record of an axis-aligned square, as a row of a table."""
    return {"frame": frame, "x1": x, "y1": y, "x2": x + size, "y2": y, "x3": x + size,
            "y3": y + size, "x4": x, "y4": y + size, "type": kind, "flag_a": flag,
            "flag_b": False, "confidence": confidence}


def test_explain_reads_from_ground_truth_to_system():
    # Frame 1: a car the detector called a truck. Frame 2: a bus found twice
    # and a boat missed. Frame 3: no system frame.
    truth = pd.DataFrame([box(1, 0, 0, 100, "Car"), box(2, 0, 0, 100, "Bus"),
                          box(2, 500, 500, 60, "Boat"), box(3, 0, 0, 100, "Person")])
    system = pd.DataFrame([box(1, 5, 5, 100, "Truck", 0.9), box(2, 0, 0, 100, "Bus", 0.8),
                           box(2, 2, 2, 100, "Bus", 0.7)])
    result = talmira.explain(truth, system)
    cells = {(r, c): int(result.confusion.loc[r, c]) for r in result.confusion.index
             for c in result.confusion.columns if result.confusion.loc[r, c]}
    assert cells == {("Car", "Truck"): 1, ("Bus", "Bus"): 1, ("Boat", "none"): 1,
                     ("Person", "none"): 1, ("none", "Bus"): 1}
    assert (result.confusion.index.name, result.confusion.columns.name) == (
        "groundtruth", "system")
    lost = result.causes[result.causes["count"] > 0]
    assert [tuple(r[:4]) for r in lost.itertuples(index=False)] == [
        ("All", "miss", "no_system_frame", 1), ("All", "miss", "missed", 1),
        ("All", "false_alarm", "duplicate", 1),
        ("Car", "miss", "class_confusion", 1), ("Truck", "false_alarm", "class_confusion", 1),
        ("Bus", "false_alarm", "duplicate", 1), ("Boat", "miss", "missed", 1),
        ("Person", "miss", "no_system_frame", 1)]
    # a cost is 1/GT of the class; Truck has no objects, so none
    assert list(lost["cost"].fillna(-1)) == [0.25, 0.25, 0.25, 1.0, -1, 1.0, 1.0, 1.0]
    assert result.frames.to_dict("list") == {"frame": [1, 2, 3], "line": [0, 1, 3],
                                             "gt": [1, 2, 1], "det": [1, 2, 0],
                                             "fn": [0, 1, 1], "fp": [0, 1, 0]}
    # overlaps 95 * 95 / (105 * 105) and 1
    every = result.pairs.set_index("class").loc["All"]
    assert (every["count"], every["h0.8"], every["h0.9"]) == (2, 1, 1)
    text = repr(result)
    assert "class_confusion" in text and "Tractor-Trailor" not in text
    assert "<table" in result._repr_html_()
    # nothing lost: the tables of causes are empty, and still shown
    perfect = talmira.explain(truth, truth)
    assert perfect.causes["count"].sum() == 0 and "none" in repr(perfect)
    assert "<table" in perfect._repr_html_()


def test_explain_errors_pickling_and_threads(case_files):
    need_tool()
    with tempfile.TemporaryDirectory() as folder:
        with pytest.raises(FileNotFoundError):
            talmira.explain(os.path.join(folder, "missing.csv"), EXAMPLE_SYS)
        with pytest.raises(IsADirectoryError):
            talmira.explain(EXAMPLE_GT, folder)
        bad_file = os.path.join(folder, "bad.csv")
        with open(EXAMPLE_SYS) as source, open(bad_file, "w") as fh:
            lines = source.read().splitlines()
            lines[7] = lines[7].replace(",", ",,", 1)
            fh.write("\n".join(lines) + "\n")
        status, _, err = run_tool("explain", EXAMPLE_GT, bad_file)
        assert status == 1
        for jobs in (1, 2):
            with pytest.raises(talmira.FormatError) as error:
                talmira.explain(EXAMPLE_GT, bad_file, jobs=jobs)
            assert str(error.value) == err.splitlines()[0]
            assert (error.value.path, error.value.line) == (bad_file, 8)
    bad = example_table().astype({"x2": object})
    bad.loc[5, "x2"] = "abc"
    with pytest.raises(talmira.FormatError) as error:
        talmira.explain(EXAMPLE_GT, bad)
    assert (error.value.row, error.value.column) == (5, "x2")
    for value in (1.5, -0.1, float("nan"), "abc", None):
        with pytest.raises(ValueError):
            talmira.explain(EXAMPLE_GT, EXAMPLE_SYS, confidence=value)
        with pytest.raises(ValueError, match="near"):
            talmira.explain(EXAMPLE_GT, EXAMPLE_SYS, near=value)
        if value is not None:
            assert run_tool("explain", EXAMPLE_GT, EXAMPLE_SYS, "--near", str(value))[0] == 2
    for jobs in (0, 2.5, "2"):
        with pytest.raises(ValueError):
            talmira.explain(EXAMPLE_GT, EXAMPLE_SYS, jobs=jobs)

    import pickle
    result = talmira.explain(EXAMPLE_GT, EXAMPLE_SYS, 0.5, 0.2)
    again = pickle.loads(pickle.dumps(result))
    assert again.to_dict() == result.to_dict()
    for name in ("classes", "causes", "pairs", "confusion", "frames"):
        pd.testing.assert_frame_equal(getattr(again, name), getattr(result, name))

    def run(job):
        _, gt, sysout, conf = job
        try:
            return talmira.explain(gt, sysout, conf if conf is not None else 0.0, jobs=1).to_dict()
        except ValueError as e:
            return type(e).__name__, str(e)

    one_at_a_time = [run(job) for job in case_files]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(run, case_files)) == one_at_a_time
