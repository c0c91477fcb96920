"""talmira.events(track=True) against `talmira events --track`: the same rows,
column by column, from the same walk; and what it refuses."""

import io
import math
import os
import subprocess

import pandas as pd
import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TRACKING = os.path.join(ROOT, "examples", "tracking")
GT = os.path.join(TRACKING, "SEQ-01", "gt", "gt.txt")
SYS = os.path.join(TRACKING, "tracker", "SEQ-01.txt")
TOOL = os.environ.get("TALMIRA_TOOL")


def command_rows(*arguments):
    text = subprocess.run([TOOL, "events", "--track", *arguments], check=True,
                          stdout=subprocess.PIPE, text=True).stdout
    return pd.read_csv(io.StringIO(text), dtype=str, keep_default_na=False)


def as_text(value):
    """A DataFrame cell as the command's CSV writes it."""
    if value is None or value is pd.NA:
        return ""
    if isinstance(value, float):
        if math.isnan(value):
            return ""
        return repr(value) if value != int(value) else str(int(value))
    return str(value)


@pytest.mark.skipif(TOOL is None, reason="TALMIRA_TOOL is not set")
@pytest.mark.parametrize("options,arguments", [
    ({}, []),
    ({"confidence": 0.5, "length": 150}, ["-c", "0.5", "--length", "150"]),
    ({"format": "mot17", "track_rules": "mot20"},
     ["--gt-format", "mot17", "--sys-format", "mot17", "--track-rules", "mot20"]),
])
def test_rows_are_the_commands(options, arguments):
    rows = talmira.events(GT, SYS, track=True, **options)
    expected = command_rows(GT, SYS, *arguments)
    assert list(rows.columns) == list(talmira.TRACK_EVENT_COLUMNS) == list(expected.columns)
    assert len(rows) == len(expected) > 0
    for column in rows.columns:
        got = [as_text(v) for v in rows[column].astype(object)]
        assert got == list(expected[column]), column
    assert str(rows["gt_id"].dtype) == "Int64"
    # As many switch rows as the command's IDSW (the example has one).
    assert (rows["event"] == "switch").sum() == (expected["event"] == "switch").sum()


def test_what_tracks_refuse(tmp_path):
    with pytest.raises(ValueError, match="near has no meaning with track=True"):
        talmira.events(GT, SYS, track=True, near=0.3)
    with pytest.raises(ValueError, match="length goes with track=True"):
        talmira.events(GT, SYS, length=10)
    with pytest.raises(ValueError, match="class Car is none of the classes evaluated"):
        talmira.events(GT, SYS, cls="Car", track=True)
    with pytest.raises(ValueError, match="track=True reads files"):
        talmira.events({"frame": []}, SYS, track=True)
    with pytest.raises(OSError):
        talmira.events(str(tmp_path / "none.txt"), SYS, track=True)
    bad = tmp_path / "bad.txt"
    bad.write_text("1,1,10,10,5,5,1,1,1\n2,x,10,10,5,5,1,1,1\n")
    with pytest.raises(talmira.FormatError, match="bad.txt:2"):
        talmira.events(str(bad), SYS, track=True)
