"""talmira.stability() against the talmira command (`talmira stability
--format json`, `--format csv`, its text and its error messages) on the
example sequence of docs/stability.md, on both matchings, and on a pair
with a track never matched.

Run by CTest (TALMIRA_TOOL names the built `talmira` executable).
"""

import io
import json
import math
import os
import subprocess

import pandas as pd
import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.environ.get("TALMIRA_TOOL")
EXAMPLE = (os.path.join(ROOT, "examples", "tracking", "SEQ-01", "gt", "gt.txt"),
           os.path.join(ROOT, "examples", "tracking", "tracker", "SEQ-01.txt"))
MOT = {"gt_format": "mot", "sys_format": "mot"}


def command(*args):
    """(status, standard output, standard error) of `talmira stability ARGS`."""
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")
    proc = subprocess.run([TOOL, "stability", *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120, text=True)
    return proc.returncode, proc.stdout, proc.stderr


def options_of(kwargs):
    """The command's options for the keyword arguments of stability()."""
    flags = {"gt_format": "--gt-format", "sys_format": "--sys-format", "rules": "--rules",
             "class_name": "--class", "confidence": "-c", "min_overlap": "--min-overlap",
             "ids": "--ids"}
    return [part for key, value in kwargs.items() for part in (flags[key], value)]


def same_number(a, b):
    return (a is None and math.isnan(b)) or (a is not None and a == b)


def assert_matches_command(gt, sys, kwargs):
    result = talmira.stability(gt, sys, **kwargs)
    options = options_of(kwargs)
    outputs = {}
    for form in ("json", "csv", "text"):
        status, out, err = command(gt, sys, "--format", form, *options)
        assert status == 0, err
        outputs[form] = out
    report = json.loads(outputs["json"])
    assert result.report == report
    assert result.text == outputs["text"]
    assert (result.matching, result.track_rules) == (report["matching"],
                                                     report.get("track_rules"))

    # The summary: one row a class, exactly the command's means.
    assert list(result.summary["class"]) == [c["class"] for c in report["classes"]]
    for row, c in zip(result.summary.itertuples(index=False), report["classes"]):
        assert (row.tracks, row.left_out) == (c["tracks"], c["left_out"])
        for name in ("fragment_error", "centre_error", "scale_ratio_error", "sum"):
            assert same_number(c[name], getattr(row, name)), (c["class"], name)
    assert str(result.summary["tracks"].dtype) == "int64"

    # The per-track table is the command's CSV, cell for cell.
    csv = pd.read_csv(io.StringIO(outputs["csv"]), dtype={"class": str, "identity": str,
                                                           "worst_frames": str},
                      float_precision="round_trip", keep_default_na=False, na_values={c: [""] for c in (
                          "fragment_error", "centre_error", "sd_x", "sd_y",
                          "scale_ratio_error", "sd_ratio", "sd_scale", "sum")})
    tracks = result.tracks
    assert len(tracks) == len(csv) == sum(len(c["per_track"]) for c in report["classes"])
    for column in csv.columns:
        if column == "worst_frames":
            expected = [tuple(int(f) for f in cell.split()) for cell in csv[column]]
            assert list(tracks[column]) == expected
        elif csv[column].dtype == float:
            pd.testing.assert_series_equal(tracks[column], csv[column], check_exact=True,
                                           check_names=False)
        else:
            assert list(tracks[column]) == list(csv[column]), column
    changes = [t["changes"] for c in report["classes"] for t in c["per_track"]]
    assert list(tracks["changes"]) == changes
    # Each worst frame with its offsets, in the tracks' order, the worst first.
    worst = [(c["class"], t["identity"], rank, w["frame"], w["magnitude"])
             for c in report["classes"] for t in c["per_track"]
             for rank, w in enumerate(t["worst_frames"])]
    assert list(result.worst[["class", "identity", "rank", "frame", "magnitude"]]
                .itertuples(index=False, name=None)) == worst
    return result


@pytest.mark.parametrize("kwargs", [
    dict(MOT, class_name="pedestrian"),
    dict(MOT),
    dict(MOT, rules="mot"),
    dict(MOT, rules="mot", confidence="0.5"),
    dict(MOT, min_overlap="0.6"),
], ids=["detection-class", "detection-all", "clear", "clear-confidence", "detection-strict"])
def test_example_equals_command(kwargs):
    call = {k: (float(v) if k in ("confidence", "min_overlap") else v)
            for k, v in kwargs.items()}
    result = assert_matches_command(*EXAMPLE, call)
    # The figures docs/stability.md shows.
    if kwargs == dict(MOT, class_name="pedestrian"):
        row = result.summary.iloc[0]
        assert (row["class"], row["tracks"], round(row["sum"], 6)) == ("pedestrian", 11, 0.657852)


def write(path, lines):
    path.write_text("".join(line + "\n" for line in lines))
    return str(path)


def test_track_never_matched(tmp_path):
    # Tracks 1 and 2 over three frames; the detector finds track 1 in frames
    # 1 and 3 only and never track 2, whose errors are then NaN and which
    # the means leave out.
    gt = write(tmp_path / "gt.txt", [
        "%d,%d,%d,10,100,200,1,1,1" % (frame, track, left)
        for frame in (1, 2, 3) for track, left in ((1, 10), (2, 500))])
    sys = write(tmp_path / "sys.txt", ["1,-1,12,11,100,200,1,-1,-1,-1",
                                       "3,-1,8,10,104,196,1,-1,-1,-1"])
    for kwargs in (dict(MOT), dict(MOT, rules="mot")):
        result = assert_matches_command(gt, sys, kwargs)
        summary = result.summary.iloc[0]
        assert (summary["tracks"], summary["left_out"]) == (1, 1)
        tracks = result.tracks[result.tracks["class"] == summary["class"]]
        one, two = tracks.iloc[0], tracks.iloc[1]
        assert (one["identity"], one["matched"], one["changes"]) == ("1", 2, 2)
        assert one["fragment_error"] == 1.0 and summary["fragment_error"] == 1.0
        assert two["matched"] == 0 and math.isnan(two["sum"]) and two["worst_frames"] == ()


def test_errors_as_the_command_gives_them(tmp_path):
    # No identities: the command's message, with the file and status 1.
    plain = os.path.join(ROOT, "examples", "groundtruth.csv")
    with pytest.raises(talmira.FormatError) as caught:
        talmira.stability(plain, os.path.join(ROOT, "examples", "systemoutput.csv"))
    status, _, err = command(plain, os.path.join(ROOT, "examples", "systemoutput.csv"))
    assert status == 1 and "has no identities" in caught.value.message
    assert caught.value.path == plain and caught.value.line is None
    assert err.strip().endswith(caught.value.message)

    # A malformed line, on either road: the file and the line.
    bad = write(tmp_path / "bad.txt", ["1,1,10,10,50,80,1,1,1", "2,1,x,10,50,80,1,1,1"])
    for kwargs in (dict(MOT), dict(MOT, rules="mot")):
        with pytest.raises(talmira.FormatError) as caught:
            talmira.stability(bad, EXAMPLE[1], **kwargs)
        status, _, err = command(bad, EXAMPLE[1], *options_of(kwargs))
        assert status == 1
        assert (caught.value.path, caught.value.line) == (bad, 2)
        assert err.strip().endswith(caught.value.message)
    # The detector's file named as the one at fault.
    with pytest.raises(talmira.FormatError) as caught:
        talmira.stability(EXAMPLE[0], bad, **MOT)
    assert (caught.value.path, caught.value.line) == (bad, 2)

    with pytest.raises(FileNotFoundError):
        talmira.stability(str(tmp_path / "absent.txt"), EXAMPLE[1], **MOT)
    with pytest.raises(FileNotFoundError):
        talmira.stability(EXAMPLE[0], str(tmp_path / "absent.txt"), **MOT)

    # Usage errors (status 2 for the command) are ValueError.
    for kwargs in (dict(MOT, class_name="no such class"), dict(MOT, rules="mot", min_overlap=0.3),
                   dict(gt_format="mot17", sys_format="mot")):
        with pytest.raises(ValueError) as caught:
            talmira.stability(*EXAMPLE, **kwargs)
        assert not isinstance(caught.value, talmira.FormatError)
        assert command(*EXAMPLE, *options_of(kwargs))[0] == 2
    with pytest.raises(ValueError):
        talmira.stability(*EXAMPLE, ids="number")
    with pytest.raises(TypeError):
        talmira.stability(*EXAMPLE, no_such_option=1)
