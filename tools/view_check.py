#!/usr/bin/env python3
"""Checks the page of `talmira view` in a real browser (headless Chromium over
Selenium WebDriver), against the rows of `talmira events` for the same pair.

    view_check.py --tool TALMIRA GT SYS --out DIR [--pictures] [-- VIEW-OPTIONS...]

Writes DIR/view.html (`talmira view GT SYS -o DIR/view.html --frames all`
plus VIEW-OPTIONS), loads it and, as a person would, presses the right and
left arrows, n and p, and clicks the timeline strip at several places. After
each step the frame shown must be the one the step leads to, and its boxes
(those the class's selection takes: data-event other than "none") must be
exactly the events command's rows of that frame (gt_frame_line): as many,
with the same data-side, data-line and data-event. The pointer on a box
shows its line in the readout; the class filter hides the other classes.
No request may leave the page (but for the linked pictures), no script
error, no content-security violation. A screenshot of a frame goes to
DIR/view.png.

With --track among VIEW-OPTIONS the page is `talmira view --track`'s: its
frames are compared with the rows of `talmira events --track` of the same
frame number, the identity switches ringed on each frame with that frame's
switch rows (ground-truth line and ids), the switch marks of the timeline
with the switch rows, and s and S (shift) must step to the next and
previous held frame with a switch. --corpus: GT and SYS are files of the
conformance corpus, and when they are absent the check is skipped (77),
or failed when the environment has CI.

--pictures: the page is made three times more, on pictures of the frames:
PNG files written here, linked (--images) and embedded (--embed-images),
and, when ffmpeg is installed, a short video made by ffmpeg (testsrc)
(--video); for every frame shown the picture must load (naturalWidth above
0) and lie under the frame's boxes.

Exit status: 0 when every check passes, 1 when one fails, 77 when the
browser (chromium, chromedriver, python3-selenium) is not installed.
"""

import argparse
import collections
import csv
import io
import os
import shutil
import struct
import subprocess
import sys
import urllib.parse
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webdriver_session  # noqa: E402


Failures = webdriver_session.Failures


# The options of view that events takes too, each with its value.
EVENT_OPTIONS = ("-c", "--confidence", "--class", "--track-rules", "--length", "--ids",
                 "--gt-format", "--sys-format")


def events_by_frame(tool, gt, sys_, extra):
    """The events command's rows, by the line of their ground-truth frame
    (by their frame number for tracks); for tracks also the switch rows,
    by frame number, as (line, gt id, from, to)."""
    track = "--track" in extra
    options = ["--track"] if track else []
    it = iter(extra)
    for word in it:
        if word in EVENT_OPTIONS:
            options += [word, next(it)]
    text = subprocess.run([tool, "events", gt, sys_, *options], check=True,
                          stdout=subprocess.PIPE, text=True).stdout
    frames = collections.defaultdict(list)
    switches = collections.defaultdict(list)
    for row in csv.DictReader(io.StringIO(text)):
        if track and row["event"] == "switch":
            switches[row["frame"]].append((row["line"], row["gt_id"], row["previous_sys_id"],
                                           row["sys_id"]))
        elif track and row["event"] != "fragment":
            frames[row["frame"]].append((row["side"], row["line"], row["event"]))
        elif row["gt_frame_line"]:
            frames[row["gt_frame_line"]].append((row["side"], row["line"], row["event"]))
    return frames, switches


def png(width, height, shade):
    """A plain PNG of one colour (zlib from the standard library)."""
    row = b"\x00" + bytes((shade, 255 - shade, 128)) * width
    raw = row * height

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


class ViewChecker:
    def __init__(self, browser, events, failures, switches=None):
        self.browser, self.events, self.failures = browser, events, failures
        # Tracks: frames are known by their number, and have switches.
        self.switches = switches
        self.track = switches is not None

    def shown(self):
        return self.browser.run(
            "const i = document.getElementById('frame-info');"
            " const boxes = Array.from(document.querySelectorAll('#stage [data-side]'))"
            ".filter(b => b.getAttribute('data-event') !== 'none')"
            ".map(b => [b.getAttribute('data-side'), b.getAttribute('data-line'),"
            " b.getAttribute('data-event')]);"
            " const rings = Array.from(document.querySelectorAll('#stage [data-switch]'))"
            ".map(r => [r.getAttribute('data-line'), r.getAttribute('data-gt-id'),"
            " r.getAttribute('data-from'), r.getAttribute('data-to')]);"
            " return {index: Number(i.getAttribute('data-index')), line: i.getAttribute('data-line'),"
            " frame: i.getAttribute('data-frame'), text: i.textContent, boxes: boxes, rings: rings};")

    def held(self):
        return self.browser.run(
            "return Array.from(document.querySelectorAll('template.frame')).map(t =>"
            " ({line: t.dataset.line, frame: t.dataset.frame, pos: Number(t.dataset.pos),"
            " errors: Number(t.dataset.fn) + Number(t.dataset.fp),"
            " switches: Number(t.dataset.switches || 0)}));")

    def check_frame(self, step, index=None):
        shown = self.shown()
        where = f"after {step} (frame {shown['frame']}, line {shown['line']})"
        if index is not None:
            self.failures.check(shown["index"] == index,
                                f"{where}: held frame {shown['index']} shown, expected {index}")
        key = shown["frame"] if self.track else shown["line"]
        expected = sorted(tuple(r) for r in self.events.get(key, []))
        got = sorted(tuple(b) for b in shown["boxes"])
        self.failures.check(len(got) == len(expected),
                            f"{where}: {len(got)} boxes drawn, the events have {len(expected)}")
        self.failures.check(got == expected, f"{where}: boxes {got}, events {expected}")
        if self.track:
            rings = sorted(tuple(r) for r in shown["rings"])
            wanted = sorted(self.switches.get(key, []))
            self.failures.check(rings == wanted, f"{where}: switches ringed {rings}, events {wanted}")
            self.failures.check(f"Frame {key} " in shown["text"] and "IDSW" in shown["text"],
                                f"{where}: the frame and its counts are not shown: {shown['text']!r}")
        else:
            self.failures.check(f"line {shown['line']}" in shown["text"] and "FN" in shown["text"],
                                f"{where}: the frame's line and counts are not shown: {shown['text']!r}")
        return shown

    def step_through_switches(self, at):
        """From held frame `at`: s to each later held frame with a switch in
        turn and once more past the last, then S back to each earlier one and
        once more past the first; returns the steps made."""
        held = self.held()
        with_switch = [i for i, h in enumerate(held) if h["switches"] > 0]
        steps = []
        moved = False
        for key, name, later in (("s", "s", True), ("S", "S (shift)", False)):
            targets = ([i for i in with_switch if i > at] if later
                       else [i for i in reversed(with_switch) if i < at])
            for target in targets + [None]:
                steps.append(self.press(key, name))
                target = at if target is None else target
                moved = moved or target != at
                at = target
                self.check_frame(name, at)
        # Frames with a switch after the first frame held: s must have moved.
        self.failures.check(moved or not [i for i in with_switch if i != 0],
                            "s and S never moved to a frame with a switch")
        ringed = self.browser.run(
            "return Array.from(document.querySelectorAll('#timeline .sw'))"
            ".reduce((n, m) => n + Number(m.getAttribute('data-switches')), 0)")
        total = sum(len(v) for v in self.switches.values())
        self.failures.check(ringed == total,
                            f"the timeline marks {ringed} switches, the events have {total}")
        return steps, at

    def press(self, key, name):
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(self.browser.driver).send_keys(key).perform()
        return name

    def walk(self):
        """Keys and clicks; returns the steps made."""
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.keys import Keys

        held = self.held()
        if not self.failures.check(held, "the page holds no frame"):
            return []
        steps = []
        at = 0
        self.check_frame("loading", 0)
        for _ in range(len(held) - 1):
            steps.append(self.press(Keys.ARROW_RIGHT, "right arrow"))
            at += 1
            self.check_frame("right arrow", at)
        steps.append(self.press(Keys.ARROW_RIGHT, "right arrow at the last frame"))
        self.check_frame("right arrow at the last frame", at)
        for _ in range(2):
            steps.append(self.press(Keys.ARROW_LEFT, "left arrow"))
            at = max(0, at - 1)
            self.check_frame("left arrow", at)
        # n and p: to the next and previous held frame with an error.
        for key, name, step in (("n", "n", 1), ("n", "n", 1), ("p", "p", -1)):
            later = [i for i in range(at + step, len(held) if step > 0 else -1, step)
                     if held[i]["errors"] > 0]
            steps.append(self.press(key, name))
            at = later[0] if later else at
            self.check_frame(name, at)
        # The timeline: a click at a tenth, the middle and nine tenths of it.
        strip = self.browser.driver.find_element("id", "timeline")
        size = strip.size
        total = self.browser.run("return JSON.parse(document.getElementById('view-data')"
                                 ".textContent).frames")
        for fraction in (0.1, 0.5, 0.9):
            x = int(size["width"] * fraction) - size["width"] // 2 + 1
            ActionChains(self.browser.driver).move_to_element_with_offset(strip, x, 0).click().perform()
            # The held frame nearest the frame under the pointer (ties: the first).
            wanted_pos = int(fraction * total)
            best = min(range(len(held)), key=lambda i: (abs(held[i]["pos"] - wanted_pos), i))
            shown = self.check_frame(f"a click on the timeline at {fraction:.0%}")
            got_pos = held[shown["index"]]["pos"]
            self.failures.check(abs(got_pos - wanted_pos) <= abs(held[best]["pos"] - wanted_pos) + 1,
                                f"a click at {fraction:.0%} (frame position {wanted_pos}) shows the held "
                                f"frame at {got_pos}, but {held[best]['pos']} is nearer")
            steps.append(f"click on the timeline at {fraction:.0%}")
        if self.track:
            switch_steps, _ = self.step_through_switches(self.shown()["index"])
            steps += switch_steps
        return steps

    def hover_and_filter(self):
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.support.ui import Select

        # A box and a point of it where it is on top (boxes overlap: a pair's
        # middles are one point), as an offset from its middle.
        found = self.browser.run(
            "for (const b of document.querySelectorAll('#stage [data-side]:not([data-event=none])')) {"
            " const r = b.getBoundingClientRect();"
            " for (const [fx, fy] of [[0.5, 0.5], [0.5, 0.02], [0.02, 0.5], [0.98, 0.5], [0.5, 0.98]]) {"
            "  const x = r.left + fx * r.width, y = r.top + fy * r.height;"
            "  const top = document.elementFromPoint(x, y);"
            "  if (top && top.closest('[data-line]') === b)"
            "   return [b, Math.round(x - r.left - r.width / 2), Math.round(y - r.top - r.height / 2)];"
            " } } return null;")
        if found is not None:
            box, dx, dy = found
            line = box.get_attribute("data-line")
            ActionChains(self.browser.driver).move_to_element_with_offset(box, dx, dy).perform()
            text = self.browser.run("return document.getElementById('readout').textContent")
            self.failures.check(f"line {line}" in text,
                                f"pointing at the box of line {line} shows {text!r}")
        # The toggle shows the boxes the selection does not take, and hides them again.
        visible_none = ("return Array.from(document.querySelectorAll('#stage [data-event=none]'))"
                        ".filter(b => getComputedStyle(b).display !== 'none').length")
        drawn_none = self.browser.run("return document.querySelectorAll('#stage [data-event=none]').length")
        self.failures.check(self.browser.run(visible_none) == 0, "boxes not taken are shown at first")
        toggle = self.browser.driver.find_element("id", "show-faint")
        toggle.click()
        self.failures.check(self.browser.run(visible_none) == drawn_none,
                            "the toggle does not show the boxes not taken")
        toggle.click()
        self.failures.check(self.browser.run(visible_none) == 0, "the toggle does not hide them again")
        select = Select(self.browser.driver.find_element("id", "class-filter"))
        names = [o.text for o in select.options if o.text != "All"]
        if names:
            select.select_by_visible_text(names[0])
            shown = self.browser.run(
                "return Array.from(document.querySelectorAll('#stage [data-class]'))"
                ".filter(b => getComputedStyle(b).display !== 'none').map(b => b.getAttribute('data-class'))")
            self.failures.check(all(c == names[0] for c in shown),
                                f"with the class filter at {names[0]} the page shows {set(shown)}")
            select.select_by_visible_text("All")

    def pictures(self):
        """Every held frame's picture loads and lies under its boxes."""
        from selenium.common.exceptions import TimeoutException
        from selenium.webdriver.common.keys import Keys
        from selenium.webdriver.support.ui import WebDriverWait
        held = self.held()
        for index in range(len(held)):
            if index > 0:
                self.press(Keys.ARROW_RIGHT, "right arrow")
            shown = self.check_frame("a picture's frame", index)
            # A linked picture loads after the frame is shown: wait as a person would.
            try:
                WebDriverWait(self.browser.driver, 15).until(lambda driver: driver.execute_script(
                    "const img = document.querySelector('#stage img');"
                    " return !img || (img.complete && img.naturalWidth > 0);"))
            except TimeoutException:
                pass  # reported below
            picture = self.browser.run(
                "const img = document.querySelector('#stage img');"
                " const svg = document.querySelector('#stage svg');"
                " if (!img) return null;"
                " const a = img.getBoundingClientRect(), b = svg.getBoundingClientRect();"
                " return {complete: img.complete, width: img.naturalWidth,"
                " box: [a.left, a.top, a.width, a.height], over: [b.left, b.top, b.width, b.height]};")
            if not self.failures.check(picture is not None, f"frame {shown['frame']} has no picture"):
                continue
            self.failures.check(picture["complete"] and picture["width"] > 0,
                                f"frame {shown['frame']}: the picture did not load ({picture})")
            self.failures.check(all(abs(a - b) < 1.5 for a, b in zip(picture["box"], picture["over"]))
                                and picture["box"][2] > 100,
                                f"frame {shown['frame']}: the boxes are not over the picture ({picture})")


def check_page(browser, page, events, failures, allowed_prefix=None, pictures=False, screenshot=None,
               switches=None):
    url = "file://" + urllib.parse.quote(os.path.abspath(page))
    browser.load(url)
    requests = browser.requests()
    foreign = [r for r in requests if r.split("#")[0] != url and not r.startswith("data:")
               and not (allowed_prefix and r.startswith(allowed_prefix))]
    failures.check(not foreign, f"{page}: requests beyond the page: {foreign}")
    checker = ViewChecker(browser, events, failures, switches)
    if pictures:
        checker.pictures()
        steps = []
    else:
        steps = checker.walk()
        checker.hover_and_filter()
    failures.check(not browser.errors(), f"{page}: script errors: {browser.errors()}")
    failures.check(not browser.violations(), f"{page}: content-security violations: {browser.violations()}")
    if screenshot:
        browser.screenshot(screenshot, full_page=True)
        print(f"screenshot: {screenshot}")
    return steps


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("gt")
    parser.add_argument("sys")
    parser.add_argument("--out", required=True)
    parser.add_argument("--pictures", action="store_true")
    parser.add_argument("--corpus", action="store_true")
    parser.add_argument("view_options", nargs="*")
    args = parser.parse_args()

    missing = [p for p in (args.gt, args.sys) if not os.path.exists(p)]
    if args.corpus and missing:
        if os.environ.get("CI"):
            print(f"FAIL: the conformance corpus is missing: {missing[0]}", file=sys.stderr)
            return 1
        print(f"SKIP: no conformance corpus ({missing[0]} is missing)")
        return webdriver_session.SKIP
    track = "--track" in args.view_options

    found, why = webdriver_session.find_browser()
    if found is None:
        print(f"SKIP: {why} (tools/install-deps --for tests installs it)")
        return webdriver_session.SKIP
    os.makedirs(args.out, exist_ok=True)
    page = os.path.join(args.out, "view.html")
    subprocess.run([args.tool, "view", args.gt, args.sys, "-o", page, "--frames", "all",
                    *args.view_options], check=True)
    events, switches = events_by_frame(args.tool, args.gt, args.sys, args.view_options)
    failures = Failures()
    with webdriver_session.open_session(width=1200, height=1000) as browser:
        steps = check_page(browser, page, events, failures,
                           screenshot=os.path.join(args.out, "view.png"),
                           switches=switches if track else None)
        runs = []
        for step in steps:
            if runs and runs[-1][0] == step:
                runs[-1][1] += 1
            else:
                runs.append([step, 1])
        print("pressed and clicked: " + ", ".join(f"{step} x{n}" if n > 1 else step
                                                  for step, n in runs))
        if args.pictures:
            frames_dir = os.path.join(args.out, "frames")
            shutil.rmtree(frames_dir, ignore_errors=True)
            os.makedirs(frames_dir)
            numbers = _held_frame_numbers(page) if track else _frame_numbers(args.gt)
            # One picture fewer than the frames: the last is drawn without one.
            for n in numbers[:-1]:
                with open(os.path.join(frames_dir, f"{n:06d}.png"), "wb") as f:
                    f.write(png(1280, 720, (n * 40) % 256))
            runs = [("linked", ["--images", os.path.join(frames_dir, "%06d.png")],
                     "file://" + urllib.parse.quote(os.path.abspath(frames_dir)) + "/"),
                    ("embedded", ["--images", os.path.join(frames_dir, "%06d.png"), "--embed-images"],
                     None)]
            if shutil.which("ffmpeg"):
                video = os.path.join(args.out, "video.mp4")
                subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                f"testsrc=size=1280x720:rate=10:duration={len(numbers) / 10 + 0.2}",
                                "-pix_fmt", "yuv420p", video], check=True)
                runs.append(("video", ["--video", video, "--fps", "10", "--first-frame", str(numbers[0])],
                             None))
            else:
                print("ffmpeg is not installed: the video is not checked")
            for name, options, allowed in runs:
                picture_page = os.path.join(args.out, f"view_{name}.html")
                subprocess.run([args.tool, "view", args.gt, args.sys, "-o", picture_page, "--frames",
                                "all", *options, *args.view_options], check=True)
                source = open(picture_page, encoding="utf-8").read()
                held = source.count('<template class="frame"')
                missing = source.count('data-picture="missing"')
                expected_missing = 1 if name != "video" else 0
                failures.check(missing == expected_missing,
                               f"{name}: {missing} frames without a picture, expected {expected_missing}")
                if name == "linked":
                    failures.check("data:image" not in source, "linked: the pictures were embedded")
                else:
                    failures.check("data:image" in source, f"{name}: the pictures were not embedded")
                checker_failures = Failures()
                check_page(browser, picture_page, events, checker_failures, allowed_prefix=allowed,
                           pictures=True, switches=switches if track else None,
                           screenshot=os.path.join(args.out, f"view_{name}.png"))
                # The frame without a picture is reported as such, not as a failure to load.
                real = [m for m in checker_failures.messages
                        if not (expected_missing and "has no picture" in m)]
                missing_reports = len(checker_failures.messages) - len(real)
                failures.check(missing_reports == expected_missing,
                               f"{name}: {missing_reports} frames shown without a picture")
                failures.messages += [f"{name}: {m}" for m in real]
                print(f"{name}: {held} frames, each picture checked")
    if failures.messages:
        for message in failures.messages:
            print(f"FAIL: {message}", file=sys.stderr)
        return 1
    print(f"{page}: every check passed")
    return 0


def _held_frame_numbers(page):
    """The frame numbers a page holds, from its templates."""
    import re
    source = open(page, encoding="utf-8").read()
    return [int(n) for n in re.findall(r'<template class="frame" data-frame="(\d+)"', source)]


def _frame_numbers(gt):
    numbers = set()
    with open(gt, newline="") as f:
        reader = csv.reader(f)
        next(reader)
        for row in reader:
            if row:
                numbers.add(int(row[0]))
    return sorted(numbers)


if __name__ == "__main__":
    sys.exit(main())
