"""talmira.draw_frame against the events of the same frame and against the
frame `talmira view` draws: one drawing of a frame, wherever it is asked for."""

import os
import re
import struct
import subprocess
import tempfile
import xml.dom.minidom
import zlib

import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXAMPLE_GT = os.path.join(ROOT, "examples", "groundtruth.csv")
EXAMPLE_SYS = os.path.join(ROOT, "examples", "systemoutput.csv")
TOOL = os.environ.get("TALMIRA_TOOL")


def boxes_of(svg):
    """(side, line, event) of every box the class's selection takes."""
    found = []
    for element in re.findall(r"<polygon[^>]*data-side[^>]*>", svg):
        attrs = dict(re.findall(r' ([a-z-]+)="([^"]*)"', element))
        if attrs["data-event"] != "none":
            found.append((attrs["data-side"], int(attrs["data-line"]), attrs["data-event"]))
    return sorted(found)


def png(width, height):
    raw = (b"\x00" + b"\x80" * 3 * width) * height

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


@pytest.mark.parametrize("confidence,cls", [(0.0, "All"), (0.5, "Car"), (0.3, "Truck")])
def test_each_frame_draws_its_events(confidence, cls):
    events = talmira.events(EXAMPLE_GT, EXAMPLE_SYS, confidence, cls)
    for frame in sorted(set(events["frame"])):
        drawing = talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, int(frame), confidence, cls)
        assert drawing._repr_svg_() == drawing.svg
        xml.dom.minidom.parseString(drawing.svg)  # a document of its own
        rows = events[events["gt_frame_line"].notna()
                      & (events["gt_frame_line"] == events[events["frame"] == frame]["gt_frame_line"].min())]
        expected = sorted(zip(rows["side"], rows["line"].astype(int), rows["event"]))
        assert boxes_of(drawing.svg) == expected, frame


def test_the_same_frame_as_the_page_draws():
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")
    with tempfile.TemporaryDirectory() as folder:
        page = os.path.join(folder, "view.html")
        subprocess.run([TOOL, "view", EXAMPLE_GT, EXAMPLE_SYS, "-o", page, "--frames", "2-2"],
                       check=True)
        with open(page, encoding="utf-8") as f:
            template = re.search(r'<template class="frame"[^>]*>(.*?)</template>', f.read(), re.S)
        drawing = talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, 2)
        assert boxes_of(drawing.svg) == boxes_of(template.group(1))
        # The same shapes at the same places.
        assert (re.findall(r'points="([^"]*)"', drawing.svg)
                == re.findall(r'points="([^"]*)"', template.group(1)))


def test_a_picture_under_the_boxes_and_from_tables():
    import pandas as pd
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "frame.png")
        with open(path, "wb") as f:
            f.write(png(1280, 720))
        from_path = talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, 1, image=path)
        with open(path, "rb") as f:
            from_bytes = talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, 1, image=f.read())
    assert from_path.svg == from_bytes.svg
    assert 'viewBox="0 0 1280 720"' in from_path.svg
    assert '<image href="data:image/png;base64,' in from_path.svg
    # Tables of the same records give the same boxes, on the lines the rows
    # would have in a file.
    gt = pd.read_csv(EXAMPLE_GT, keep_default_na=False).iloc[:, :13]
    sys_ = pd.read_csv(EXAMPLE_SYS, keep_default_na=False).iloc[:, :13]
    gt.columns = sys_.columns = talmira.COLUMNS
    assert (boxes_of(talmira.draw_frame(gt, sys_, 1).svg)
            == boxes_of(talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, 1).svg))


def test_refusals():
    with pytest.raises(ValueError, match="no frame 99"):
        talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, 99)
    with pytest.raises(ValueError):
        talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, 1, cls="Spaceship")
    with pytest.raises(ValueError, match="not a PNG"):
        talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, 1, image=b"hello")
    with pytest.raises(ValueError):
        talmira.draw_frame(EXAMPLE_GT, EXAMPLE_SYS, -1)
