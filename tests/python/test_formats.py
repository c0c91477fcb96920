"""Inputs of other formats in the talmira Python module: read() against what
`talmira convert` writes, score/check/events/sweep/explain with format= and
gt_format=/sys_format= against the command, and the errors.

The inputs are the hand-made files of tests/annotation/formats.
"""

import io
import os
import subprocess

import numpy as np
import pandas as pd
import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DATA = os.path.join(ROOT, "tests", "annotation", "formats")
TOOL = os.environ.get("TALMIRA_TOOL")


def data(name):
    return os.path.join(DATA, name)


def need_tool():
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")


def run_tool(*args):
    proc = subprocess.run([TOOL, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


# (ground truth, system output, format, options of both, command-line words of both)
PAIRS = [
    ("mot/gt.txt", "mot/det.txt", "mot", {}, []),
    ("visdrone/gt.txt", "visdrone/det.txt", "visdrone", {}, []),
    ("kitti/label.txt", "kitti/det.txt", "kitti", {}, []),
    ("cvat/annotations.xml", "cvat/detections.xml", "cvat", {}, []),
    ("coco/gt.json", "coco/results.json", "coco", {}, []),
    ("yolo/labels", "yolo/detections", "yolo",
     {"image_size": (640, 480), "names": data("yolo/labels/classes.txt")},
     ["--image-size", "640x480", "--names", data("yolo/labels/classes.txt")]),
]


def converted_table(expected_csv):
    """A converted file as the table read() gives, without its line column."""
    table = pd.read_csv(expected_csv, keep_default_na=False,
                        dtype={"flag_a": str, "flag_b": str})
    table = table.iloc[:, :13]
    table.columns = list(talmira.COLUMNS)
    table["flag_a"] = table["flag_a"] == "TRUE"
    table["flag_b"] = table["flag_b"] == "TRUE"
    table["confidence"] = table["confidence"].astype(np.float32)
    return table


@pytest.mark.parametrize("name, fmt, options, system, expected", [
    ("mot/gt.txt", "mot", {}, False, "mot/gt.expected.csv"),
    ("mot/det.txt", "mot", {}, True, "mot/det.expected.csv"),
    ("visdrone/gt.txt", "visdrone", {}, False, "visdrone/gt.expected.csv"),
    ("uavdt/gt.txt", "uavdt", {"ignore": data("uavdt/gt_ignore.txt")}, False,
     "uavdt/gt.expected.csv"),
    ("kitti/label.txt", "kitti", {}, False, "kitti/label.expected.csv"),
    ("cvat/annotations.xml", "cvat", {"classes": data("cvat/map.csv")}, False,
     "cvat/annotations.mapped.expected.csv"),
    ("coco/results.json", "coco", {"images_from": data("coco/gt.json")}, True,
     "coco/results.expected.csv"),
    ("yolo/labels", "yolo", {"image_size": "640x480"}, False, "yolo/labels.expected.csv"),
])
def test_read_gives_the_records_convert_writes(name, fmt, options, system, expected):
    table = talmira.read(data(name), format=fmt, system=system, **options)
    assert list(table.columns) == list(talmira.COLUMNS) + ["line"]
    want = converted_table(data(expected))
    got = table.drop(columns="line")
    for column in talmira.COLUMNS:
        assert got[column].tolist() == want[column].tolist(), column
    # Each line holds the record it names (the files of one record a line).
    if fmt in ("mot", "kitti"):
        lines = open(data(name)).read().splitlines()
        for frame, line in zip(table["frame"], table["line"]):
            assert lines[line - 1].replace(" ", ",").startswith("%d," % frame)


def test_read_of_this_format_gives_its_records_as_written():
    table = talmira.read(os.path.join(ROOT, "examples", "groundtruth.csv"))
    raw = pd.read_csv(os.path.join(ROOT, "examples", "groundtruth.csv"), keep_default_na=False)
    assert len(table) == len(raw)
    assert table["frame"].tolist() == raw.iloc[:, 0].tolist()
    assert table["type"].tolist() == raw.iloc[:, 9].tolist()
    assert table["line"].tolist() == list(range(2, len(raw) + 2))


@pytest.mark.parametrize("gt, sysout, fmt, options, words", PAIRS)
def test_every_call_reads_other_formats_as_the_command_does(gt, sysout, fmt, options, words):
    need_tool()
    both = ["--gt-format", fmt, "--sys-format", fmt] + words
    status, out, err = run_tool("score", data(gt), data(sysout), "--format", "json", *both)
    assert status == 0, err
    command = {row["class"]: row for row in __import__("json").loads(out)["classes"]}
    result = talmira.score(data(gt), data(sysout), format=fmt, **options)
    for row in result.rows:
        want = command[row["class"]]
        assert [row[k] for k in ("gt", "det", "fn", "fp", "frames")] == \
            [want[k] for k in ("gt", "det", "fn", "fp", "frames")]
        assert row["nmodta"] == want["nmodta"]
    # gt_format and sys_format say the same, one input each.
    again = talmira.score(data(gt), data(sysout), gt_format=fmt, sys_format=fmt, **options)
    assert again.rows == result.rows

    status, out, err = run_tool("check", data(gt), data(sysout), "--format", "json", *both)
    assert status == 0, err
    report = talmira.check(data(gt), data(sysout), format=fmt, **options)
    assert report == __import__("json").loads(out)

    status, out, err = run_tool("events", data(gt), data(sysout), *both)
    assert status == 0, err
    rows = talmira.events(data(gt), data(sysout), format=fmt, **options)
    command_rows = pd.read_csv(io.StringIO(out), keep_default_na=False)
    assert rows["line"].tolist() == command_rows["line"].tolist()
    assert rows["event"].tolist() == command_rows["event"].tolist()

    status, out, err = run_tool("explain", data(gt), data(sysout), "--format", "csv", *both)
    assert status == 0, err
    why = talmira.explain(data(gt), data(sysout), format=fmt, **options)
    command_causes = pd.read_csv(io.StringIO(out), keep_default_na=False)
    assert why.causes["count"].tolist() == command_causes["count"].tolist()

    status, out, err = run_tool("sweep", data(gt), data(sysout), "--exact", "--format", "csv",
                                *both)
    assert status == 0, err
    curves = talmira.sweep(data(gt), data(sysout), exact=True, format=fmt, **options).curves
    command_curves = pd.read_csv(io.StringIO(out))
    assert curves[["gt", "det", "fn", "fp"]].values.tolist() == \
        command_curves[["gt", "det", "fn", "fp"]].values.tolist()


def test_a_read_table_scores_as_its_file(tmp_path):
    # A table holds this format's types: it scores as its file read through
    # the map read() and convert use; read directly, the file's rows are
    # KITTI's own classes, and the two have different All rows (KITTI's Tram
    # and Misc count, Van is no flagged car).
    gt = talmira.read(data("kitti/label.txt"), format="kitti")
    sysout = talmira.read(data("kitti/det.txt"), format="kitti", system=True)
    onto_the_ten = str(tmp_path / "map.csv")
    talmira.class_map("kitti").to_csv(onto_the_ten, index=False)
    assert talmira.score(gt, sysout).rows == \
        talmira.score(data("kitti/label.txt"), data("kitti/det.txt"), format="kitti",
                      classes=onto_the_ten).rows
    own = talmira.score(data("kitti/label.txt"), data("kitti/det.txt"), format="kitti")
    assert [row["class"] for row in own.rows] == [
        "All", "Car", "Van", "Truck", "Pedestrian", "Person_sitting", "Cyclist", "Tram", "Misc"]


def test_errors_name_the_file_and_line(tmp_path):
    bad = tmp_path / "gt.txt"
    bad.write_text("1,1,10,20,30,40,1,1,1\n1,2,abc,20,30,40,1,1,1\n")
    with pytest.raises(talmira.FormatError) as raised:
        talmira.score(str(bad), data("mot/det.txt"), format="mot")
    assert raised.value.path == str(bad)
    assert raised.value.line == 2
    assert str(raised.value) == '%s:2: column 3: "abc" is not a number' % bad
    with pytest.raises(talmira.FormatError) as raised:
        talmira.read(data("visdrone/gt.txt"), format="mot", classes=data("cvat/map.csv"))
    assert raised.value.line == 1
    assert 'label "0" is in no class map' in str(raised.value)
    # Dropped instead, as --unknown drop does.
    kept = talmira.read(data("visdrone/gt.txt"), format="mot", classes=data("cvat/map.csv"),
                        unknown="drop")
    assert len(kept) == 0
    with pytest.raises(FileNotFoundError):
        talmira.score(str(tmp_path / "none.txt"), data("mot/det.txt"), format="mot")
    with pytest.raises(ValueError, match="image_size"):
        talmira.read(data("yolo/labels"), format="yolo")
    with pytest.raises(ValueError, match="format"):
        talmira.score(data("mot/gt.txt"), data("mot/det.txt"), format="motchallenge")
    with pytest.raises(ValueError, match="only files"):
        talmira.score(talmira.read(data("mot/gt.txt"), format="mot"), data("mot/det.txt"),
                      format="mot")
    with pytest.raises(TypeError):
        talmira.score(data("mot/gt.txt"), data("mot/det.txt"), format="mot", image_sise="1x1")


def test_a_score_of_minus_one_is_none_and_mot_takes_a_mot15_file_with_a_warning(tmp_path):
    # A MOT15 pair: the detection scored -1 has none, taken at every
    # threshold; read() gives it the confidence inf (what convert writes),
    # events() NaN. Its ground truth read as mot warns, naming the line that
    # told; read as mot15 it does not.
    import warnings
    gt = tmp_path / "gt.txt"
    gt.write_text("1,1,10,10,100,100,1,-1,-1,-1\n2,1,12,10,100,100,1,4.4852,3.1,0\n")
    det = tmp_path / "det.txt"
    det.write_text("1,-1,10,10,100,100,-1,-1,-1,-1\n2,-1,12,10,100,100,0.5,-1,-1,-1\n")
    counts = ["gt", "det", "fn", "fp"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rows = talmira.score(str(gt), str(det), confidence=0.9, format="mot15").rows
    assert [rows[0][k] for k in counts] == [2, 1, 1, 0]
    assert [row["class"] for row in rows] == ["All", "pedestrian"]
    with pytest.warns(UserWarning, match=r'gt.txt:2: column 8: "4\.4852" is not a class '
                                         r'number: read as a MOT15 file'):
        again = talmira.score(str(gt), str(det), confidence=0.9, gt_format="mot",
                              sys_format="mot15").rows
    assert [again[0][k] for k in counts] == [2, 1, 1, 0]
    events = talmira.events(str(gt), str(det), format="mot15")
    scores = events[events["side"] == "sys"]["confidence"].tolist()
    assert np.isnan(scores[0]) and scores[1] == np.float32(0.5)
    table = talmira.read(str(det), format="mot15", system=True)
    assert table["confidence"].tolist() == [np.inf, np.float32(0.5)]
    truth = talmira.read(str(gt), format="mot15")
    for c in (0.0, 0.9, 1.0):
        assert talmira.score(truth, table, confidence=c).rows[0] == \
            talmira.score(str(gt), str(det), confidence=c, format="mot15").rows[0]


def test_class_maps_are_the_commands():
    need_tool()
    for fmt in talmira.FORMATS[1:]:
        status, out, err = run_tool("convert", "--from", fmt, "--show-classes")
        assert status == 0, err
        table = talmira.class_map(fmt)
        assert table.to_csv(index=False) == out
    assert talmira.class_map("kitti").set_index("label").loc["Van", "flag"] == "A"


@pytest.mark.parametrize("seed", [3, 11, 42])
def test_a_datasets_own_classes_are_the_commands_in_every_frame(tmp_path, seed):
    """COCO pairs of random class sets (names with commas, quotes, markup and
    letters of any script): the module's rows, curves, explanation and events
    name the classes as the command does, with the command's counts."""
    need_tool()
    import json
    import sys

    sys.path.insert(0, os.path.join(ROOT, "tools"))
    from crosscheck.classes import make_class_case

    truth, detections, names = make_class_case(seed)
    gt, res = str(tmp_path / "gt.json"), str(tmp_path / "res.json")
    with open(gt, "w", encoding="utf-8") as out:
        json.dump(truth, out)
    with open(res, "w", encoding="utf-8") as out:
        json.dump(detections, out)
    words = ["--gt-format", "coco", "--sys-format", "coco"]

    status, out, err = run_tool("score", gt, res, *words, "--format", "json")
    assert status == 0, err
    assert [dict(r) for r in talmira.score(gt, res, format="coco").rows] == \
        json.loads(out)["classes"]

    status, out, err = run_tool("sweep", gt, res, *words, "--exact", "--format", "csv")
    assert status == 0, err
    command = pd.read_csv(io.StringIO(out), keep_default_na=False)
    curves = talmira.sweep(gt, res, exact=True, format="coco").curves
    assert curves["class"].tolist() == command["class"].tolist()
    assert curves[["gt", "det", "fn", "fp"]].values.tolist() == \
        command[["gt", "det", "fn", "fp"]].values.tolist()

    status, out, err = run_tool("explain", gt, res, *words, "--format", "json")
    assert status == 0, err
    assert talmira.explain(gt, res, format="coco").to_dict() == json.loads(out)

    named = names[len(names) // 2]
    status, out, err = run_tool("events", gt, res, *words, "--class", named)
    assert status == 0, err
    rows = talmira.events(gt, res, cls=named, format="coco")
    command = pd.read_csv(io.StringIO(out), keep_default_na=False)
    assert set(command["class"]) <= {named}
    assert rows["class"].tolist() == command["class"].tolist()
    assert rows["event"].tolist() == command["event"].tolist()
    with pytest.raises(ValueError):
        talmira.events(gt, res, cls="no such class", format="coco")
