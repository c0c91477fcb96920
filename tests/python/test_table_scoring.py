"""score() on two in-memory tables against score() on the files of the same
records, on random tables: every cell is chosen as the text a file holds,
then put in the table in one of the forms a DataFrame holds it in (whole
numbers of any width or as floats, flags as booleans, texts or categoricals,
types as str objects or categoricals with missing values, confidences as
doubles, floats, whole numbers or text), frames in order or not, with or
without the file's last two columns, columns in any order. The counts must
be the same to the bit, by every number of threads, and a bad value must be
refused in the same record.
"""

import os
import random

import numpy as np
import pandas as pd
import pytest

import talmira

SEED = 31
CASES = 160

_TYPES = ["Car", "Car", "Bus", "Person", "Truck", " Car ", "car", "DCR", "DCF", "Tank", ""]
_FLAGS = ["TRUE", "FALSE", "FALSE", " TRUE ", "true", "", "1"]


def frame_numbers(rng, rows):
    """The frame of each row: growing, with gaps and runs, or going back."""
    order = rng.choice(["growing", "growing", "back", "shuffled"])
    numbers, number = [], rng.randint(0, 3)
    while len(numbers) < rows:
        number += rng.randint(1, 3)
        numbers += [number] * min(rows - len(numbers), rng.randint(1, 8))
    if order == "back" and rows > 4:
        at = rng.randrange(1, rows)
        numbers[at:] = [max(0, n - rng.randint(2, 6)) for n in numbers[at:]]
    elif order == "shuffled":
        rng.shuffle(numbers)
    return numbers


def texts_of_table(rng, rows, bad):
    """The 13 cells of every row as a file holds them; `bad` puts a malformed
    value in one of them."""
    frames = frame_numbers(rng, rows)
    types = rng.sample(_TYPES, rng.randint(1, len(_TYPES)))
    flags = rng.choice([["TRUE", "FALSE"], ["FALSE"], _FLAGS])
    confidence_kind = rng.choice(["double", "single", "whole", "text"])
    cells = {name: [] for name in talmira.COLUMNS}
    for row in range(rows):
        x, y = rng.randint(-2, 30) * 10, rng.randint(0, 30) * 10
        w, h = rng.choice([10, 20, 40, 60, 120]), rng.choice([20, 40, 60, 120])
        corners = [x, y, x + w, y, x + w, y + h, x, y + h]
        cells["frame"].append(str(frames[row]))
        for name, value in zip(talmira.COLUMNS[1:9], corners):
            cells[name].append(str(value))
        cells["type"].append(rng.choice(types))
        cells["flag_a"].append(rng.choice(flags))
        cells["flag_b"].append(rng.choice(flags))
        cells["confidence"].append(confidence_kind)  # made a number below
    return cells, confidence_kind, bad and rows > 0


def confidences(rng, kind, rows):
    """(file texts, table values) of a confidence column of `kind`."""
    if kind == "double":
        values = [rng.choice([rng.random(), round(rng.random(), rng.randint(1, 4)), 1.0, 0.0])
                  for _ in range(rows)]
        return [repr(v) for v in values], np.array(values, dtype=np.float64)
    if kind == "single":
        values = np.array([rng.random() for _ in range(rows)], dtype=np.float32)
        # The double of a float reads back as that float.
        return [repr(float(v)) for v in values], values
    if kind == "whole":
        values = [rng.choice([0, 1, 2]) for _ in range(rows)]
        return [str(v) for v in values], np.array(values, dtype=np.int64)
    texts = [rng.choice(["0.5", " .25 ", "1e-3", "0x1p-2", "1", "0.75"]) for _ in range(rows)]
    return texts, np.array(texts, dtype=object)


def whole_column(rng, texts):
    """A column of whole numbers in one of the forms a table holds them in."""
    values = [int(t) for t in texts]
    form = rng.choice(["int64", "int32", "float", "object", "list"])
    if form == "int64":
        return np.array(values, dtype=np.int64)
    if form == "int32":
        return np.array(values, dtype=np.int32)
    if form == "float":
        return np.array(values, dtype=np.float64)  # as pandas holds them beside a missing value
    if form == "object":
        column = np.empty(len(values), dtype=object)
        column[:] = values
        return column
    return values


def text_column(rng, texts, flag):
    """A column of texts in one of the forms a table holds them in: str
    objects, a categorical (an empty cell a missing value), booleans for
    flags that are only TRUE and FALSE, or a categorical of booleans."""
    forms = ["object", "categorical", "categorical-missing"]
    if flag and set(texts) <= {"TRUE", "FALSE"}:
        forms += ["bool", "bool", "bool-categorical"]
    if flag and set(texts) <= {"TRUE", "FALSE", ""}:
        forms += ["bool-categorical-missing"]
    form = rng.choice(forms)
    if form == "bool":
        return np.array([t == "TRUE" for t in texts], dtype=bool)
    if form.startswith("bool-categorical"):
        values = [None if t == "" else t == "TRUE" for t in texts]
        return pd.Categorical(values)
    if form == "categorical":
        return pd.Categorical(texts)
    if form == "categorical-missing":
        return pd.Categorical([None if t == "" else t for t in texts])
    column = np.empty(len(texts), dtype=object)
    column[:] = [None if t == "" and rng.random() < 0.5 else t for t in texts]
    return column


def random_pair_member(rng, bad):
    """(file bytes, DataFrame) of one random input."""
    rows = rng.choice([0, 1, 5, 40, 200, 900])
    cells, confidence_kind, make_bad = texts_of_table(rng, rows, bad)
    cells["confidence"], confidence_values = confidences(rng, confidence_kind, rows)
    table = {}
    for name in talmira.COLUMNS[:9]:
        table[name] = whole_column(rng, cells[name])
    for name in ("type", "flag_a", "flag_b"):
        table[name] = text_column(rng, cells[name], name != "type")
    table["confidence"] = confidence_values
    if make_bad:
        # One malformed value, in the file and in the table.
        row = rng.randrange(rows)
        name = rng.choice(talmira.COLUMNS[:9] + ("confidence",))
        value = rng.choice(["1x", "abc", "4294967296", "- 1"])
        cells[name][row] = value
        column = np.empty(rows, dtype=object)
        column[:] = list(table[name]) if name != "confidence" else confidence_values.tolist()
        column[row] = value if value != "4294967296" else 2 ** 32
        table[name] = column
    lines = ["frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,text,number"]
    for row in range(rows):
        lines.append(",".join(cells[name][row] for name in talmira.COLUMNS) + ",,0")
    names = list(talmira.COLUMNS)
    if rng.random() < 0.5:
        # The file's last two columns, which are not read, and one of the table's own.
        table["text"] = [""] * rows
        table["number"] = np.zeros(rows)
        table["note"] = ["x"] * rows
        names += ["text", "number", "note"]
    rng.shuffle(names)
    frame = pd.DataFrame({name: table[name] for name in names}, columns=names)
    return ("\n".join(lines) + "\n").encode(), frame


def outcome(gt, sysout, confidence, jobs):
    try:
        return talmira.score(gt, sysout, confidence, jobs).rows
    except talmira.FormatError as error:
        return ("FormatError", error.line, error.column)


def test_tables_score_as_the_files_of_their_records(tmp_path):
    rng = random.Random(SEED)
    compared = refused = unordered = 0
    for case in range(CASES):
        bad = case % 5 == 4
        gt_bytes, gt_table = random_pair_member(rng, bad and rng.random() < 0.5)
        sys_bytes, sys_table = random_pair_member(rng, bad)
        gt_path, sys_path = str(tmp_path / "gt.csv"), str(tmp_path / "sys.csv")
        for path, data in ((gt_path, gt_bytes), (sys_path, sys_bytes)):
            with open(path, "wb") as fh:
                fh.write(data)
        confidence = rng.choice([0.0, 0.3, 0.5])
        context = "seed %d case %d" % (SEED, case)
        from_files = outcome(gt_path, sys_path, confidence, None)
        for jobs in (None, 1, 2, 3):
            from_tables = outcome(gt_table, sys_table, confidence, jobs)
            if isinstance(from_files, tuple):
                # The same record: a table names the column, a file its number.
                assert isinstance(from_tables, tuple), context
                kind, line, column = from_files
                assert from_tables[1] == line, context
                assert from_tables[2] == talmira.COLUMNS[column - 1], context
            else:
                assert from_tables == from_files, (context, jobs)
        if isinstance(from_files, tuple):
            refused += 1
        else:
            compared += 1
            frames = [list(t["frame"]) for t in (gt_table, sys_table)]
            unordered += any(f != sorted(f) for f in frames)
    assert compared >= CASES // 2 and refused >= CASES // 20 and unordered >= CASES // 10


@pytest.mark.parametrize("categories", [["Car", "Bus"], [1, 2], [1.5, 2.0], [True, False]])
def test_a_categorical_type_reads_as_its_values_do(categories):
    """A categorical column is coded once per category: it must read as the
    same values given plainly, missing ones included."""
    frame = pd.read_csv(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "examples", "groundtruth.csv"), keep_default_na=False)
    frame.columns = list(talmira.COLUMNS) + ["text", "number"]
    rng = random.Random(len(categories))
    values = [rng.choice(categories + [None]) for _ in range(len(frame))]
    plain, coded = frame.copy(), frame.copy()
    coded["type"] = pd.Categorical(values)
    # The plain column: the categorical's values as pandas gives them.
    plain["type"] = coded["type"].to_numpy()
    assert talmira.score(coded, frame).rows == talmira.score(plain, frame).rows
    assert talmira.score(frame, coded).rows == talmira.score(frame, plain).rows
