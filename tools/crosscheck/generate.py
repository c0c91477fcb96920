#!/usr/bin/env python3
"""Randomized differential test of TalmiraConsole and talmira against a Python model.

The model below is written from the described behaviour of the scorer, not
from the C++ sources.  For each case a seeded generator writes a
ground-truth file and a system-output file (small, adversarial but well
formed), runs the real program on them with standard input closed, and
compares its whole standard output, its whole result file and its exit
status byte for byte with what the model predicts.  With --tool, the same
case is also run through `talmira score --format csv`, whose output must be
the model's counts as CSV, and equal to the console's result file whenever
the console completes.

With --tool, `talmira events` is checked too, on every case whose
confidence the tool takes (on a seeded share of them with --events-share):
once for All and once for every class with a box at the case's confidence
in either file (now and then for one class without any, which must give the
header alone), with the default --near or, on about two cases in five, one
drawn from 0, 0.05, 0.1, 0.15, 0.2, 0.5 and 1.  Many assignments of the
largest size may exist, so the model does not pick pairs of its own: it
takes the tool's, and first makes sure they are one: every match row names a
box of the other side in the same judged frame that names it back, each pair
passes the overlap test with neither box flagged, and each frame holds as
many pairs as the model's largest assignment.  Everything else is the
model's alone: which boxes have rows in which judged frame and in what order
(and the unpaired system frames last), the excluded, set-aside and in-region
boxes with their partner lines, every overlap (the shortest text of the
single-precision value), the miss and false-alarm counts, and the cause of
every miss and false alarm, worked out on the tool's pairs of the class and,
for class confusion, of All.  A disagreement prints the messages and a diff
of the rows (expected against actual); the run ends with the number of rows
checked for each event and cause, and of miss and false-alarm pairs lying
exactly on the near overlap, so that it shows every cause was exercised.

The generator aims boxes at one another so that every cause turns up in
numbers: boxes of several classes derived from one object (class confusion,
duplicates), slices of an object whose overlap is on or beside 0.05, 0.1,
0.15, 0.19 or 0.5 and boxes moved sideways to overlaps between 0.08 and 0.2
(localization), confidences on and beside the threshold and below 0 (below
threshold), don't-care regions cut to cover about a third of a system box
(dropped in a region), and frames left out of the system file.

    python3 tools/crosscheck.py --binary build/dev/TalmiraConsole \
        --tool build/dev/talmira/talmira --cases 500 --seed 1

With --rules-share F (and --tool), a seeded share F of the cases is scored
by `talmira score` and `talmira events` under random scoring rules: the
overlap measure (enclosing or IoU), the min overlap, the region cover and
the min side drawn at random, given one by one or as a named set (mot,
visdrone, kitti), now and then a named set with one value overridden. The
model applies the same rules (the console, which has none, keeps the
defaults, and the agreement of console and tool is not asked of such cases).

Exit status 0 and a closing line "N passed, 0 failed" when every case
agrees; exit status 1 with unified diffs of the first mismatches otherwise.
Failing file pairs are kept (see --keep-dir; args.txt holds the arguments
and the --near used) and the first one is shrunk to a small reproducer.
"""

import argparse
import collections
import difflib
import math
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
import time
from decimal import Decimal
from fractions import Fraction

# ---------------------------------------------------------------------------
# Model constants
# ---------------------------------------------------------------------------

KNOWN_CLASSES = ["Car", "Truck", "Tractor-Trailor", "Bus", "Container", "Boat",
                 "Plane", "Helicopter", "Person", "Cyclist"]
EVAL_CLASSES = ["All"] + KNOWN_CLASSES

U32 = 1 << 32


def f32(x):
    """Round a Python float (double) to the nearest single-precision value."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def _f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def _f32_from_bits(b):
    return struct.unpack("<f", struct.pack("<I", b & 0xFFFFFFFF))[0]


def f32_from_fraction(q):
    """Correctly rounded (ties to even) single-precision value of a rational."""
    d = float(q)
    f = f32(d)
    if Fraction(f) == q:
        return f
    bits = _f32_bits(f)
    cands = {f}
    for delta in (-1, 1):
        nb = bits + delta
        if 0 <= nb < U32:
            c = _f32_from_bits(nb)
            if math.isfinite(c):
                cands.add(c)
    if f == 0.0:
        cands.add(_f32_from_bits(1))
        cands.add(-_f32_from_bits(1))

    def key(c):
        return (abs(Fraction(c) - q), _f32_bits(c) & 1)

    return min(cands, key=key)


MIN_SIDE = 30.0
OVERLAP_THRESHOLD = f32(0.2)
REGION_COVER_RATIO = f32(0.33)
OVERLAP_IOU = False
DEFAULT_RULES = ("enclosing", f32(0.2), f32(0.33), 30.0)
# The named sets of the scoring rules: (measure, min overlap, region cover, min side).
NAMED_RULES = {
    "mot": ("iou", f32(0.5), f32(0.33), 0.0),
    "visdrone": ("iou", f32(0.5), f32(0.33), 0.0),
    "kitti": ("iou", f32(0.5), f32(0.5), 25.0),
}


def set_rules(rules):
    """Makes the model score by `rules` (measure, min overlap, region cover,
    min side); None for the defaults."""
    global MIN_SIDE, OVERLAP_THRESHOLD, REGION_COVER_RATIO, OVERLAP_IOU
    measure, OVERLAP_THRESHOLD, REGION_COVER_RATIO, MIN_SIDE = rules or DEFAULT_RULES
    OVERLAP_IOU = measure == "iou"
NMODTA_FLOOR = -100000.0

NUM_RE = re.compile(r"[+-]?\d+")
FLOAT_RE = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
WS = " \t\r\n\v\f"


class ModelInputError(Exception):
    """The generator produced a record outside the supported format."""


# ---------------------------------------------------------------------------
# Model: annotation files
# ---------------------------------------------------------------------------

class Box:
    __slots__ = ("xs", "ys", "cls", "mark_a", "mark_b", "conf",
                 "min_x", "max_x", "min_y", "max_y", "line")

    def __init__(self, xs, ys, cls, mark_a, mark_b, conf, line=0):
        self.line = line  # the record's line in its file, the header being 1
        self.xs, self.ys = xs, ys
        self.cls = cls
        self.mark_a, self.mark_b = mark_a, mark_b
        self.conf = conf
        self.min_x, self.max_x = min(xs), max(xs)
        self.min_y, self.max_y = min(ys), max(ys)

    @property
    def flagged(self):
        return self.mark_a or self.mark_b


class Frame:
    __slots__ = ("number", "targets", "regions", "line")

    def __init__(self, number, line=0):
        self.number = number
        self.line = line  # line of the record that started the frame
        self.targets = []
        self.regions = []


def _read_u32(text):
    t = text.lstrip(WS)
    if not NUM_RE.fullmatch(t):
        raise ModelInputError("bad integer field %r" % text)
    v = int(t)
    if abs(v) >= U32:
        raise ModelInputError("integer beyond 32 bits %r" % text)
    return v % U32


def _as_i32(v):
    return v - U32 if v >= 1 << 31 else v


def _read_word(text, skip):
    t = text.lstrip(skip)
    if any(c in t for c in WS):
        raise ModelInputError("blank inside word %r" % text)
    return t


def f32_of_decimal(text):
    """Correctly rounded single-precision value of a decimal text."""
    d = float(text)
    if math.isfinite(d) and abs(d) < 3e38:
        # float() rounds correctly; when both double neighbours of d round
        # to the same single as d, so does the exact value between them
        f = f32(d)
        if f32(math.nextafter(d, math.inf)) == f == f32(math.nextafter(d, -math.inf)):
            return f
    return f32_from_fraction(Fraction(Decimal(text)))


def parse_float32_text(text):
    if not FLOAT_RE.fullmatch(text):
        raise ModelInputError("bad float %r" % text)
    return f32_of_decimal(text)


def corner_distance(xa, ya, xb, yb):
    dx = f32(float(xb - xa))
    dy = f32(float(yb - ya))
    s = f32(f32(dx * dx) + f32(dy * dy))
    return f32(math.sqrt(s))


def big_enough(xs, ys):
    for a, b in ((0, 1), (0, 3), (2, 1), (2, 3)):
        if corner_distance(xs[a], ys[a], xs[b], ys[b]) >= MIN_SIDE:
            return True
    return False


_parsed = {}


def parse_annotation(data):
    """Frames of one annotation file, in file order (not to be altered: the
    frames of the last few files are kept for the next call)."""
    key = (data, MIN_SIDE)  # the size test depends on the rules
    if key not in _parsed:
        if len(_parsed) > 8:
            _parsed.clear()
        try:
            _parsed[key] = _parse_annotation(data)
        except ModelInputError as exc:
            _parsed[key] = exc
    frames = _parsed[key]
    if isinstance(frames, ModelInputError):
        raise frames
    return frames


def _parse_annotation(data):
    text = data.decode("latin-1")
    nl = text.find("\n")
    if nl < 0:
        if len(text) > 199:
            raise ModelInputError("header too long")
        return []
    if nl > 199:
        raise ModelInputError("header too long")
    frames = []
    current = None
    for index, line in enumerate(text[nl + 1:].split("\n")):
        line_no = index + 2
        if not line.strip(WS):
            continue
        fields = line.split(",")
        if len(fields) != 15:
            raise ModelInputError("record without 15 columns: %r" % line)
        nums = [_read_u32(f) for f in fields[:9]]
        frame_no = nums[0]
        coords = [_as_i32(v) for v in nums[1:]]
        xs = coords[0::2]
        ys = coords[1::2]
        kind = _read_word(fields[9], " ")
        if kind == "":
            kind = "DCO"
        if len(kind) > 31:
            raise ModelInputError("type too long")
        flag_a = _read_word(fields[10], " ")
        flag_b = _read_word(fields[11], WS)
        if not flag_a or not flag_b or len(flag_a) > 7 or len(flag_b) > 7:
            raise ModelInputError("bad flag column")
        conf = parse_float32_text(fields[12].lstrip(WS))
        col14 = _read_word(fields[13], " ")
        if len(col14) > 31:
            raise ModelInputError("column 14 too long")
        tail = fields[14].lstrip(WS).rstrip(WS)
        m = FLOAT_RE.match(tail)
        if not m or re.search(r"[ \f\n,]", tail[m.end():]):
            raise ModelInputError("bad last column %r" % fields[14])

        if kind == "DCF":
            continue
        if not big_enough(xs, ys):
            continue
        if current is None or current.number != frame_no:
            current = Frame(frame_no, line_no)
            frames.append(current)
        box = Box(xs, ys, kind, flag_a == "TRUE", flag_b == "TRUE", conf, line_no)
        if kind == "DCR":
            current.regions.append(box)
        elif kind in KNOWN_CLASSES:
            current.targets.append(box)
    return frames


# ---------------------------------------------------------------------------
# Model: geometry and matching
# ---------------------------------------------------------------------------

def overlap_ratio(g, s):
    """Intersection over enclosing rectangle, in single precision: 0 for
    rectangles that do not touch, NaN when the enclosing one is empty."""
    if g.min_x > s.max_x or g.max_x < s.min_x or g.min_y > s.max_y or g.max_y < s.min_y:
        return 0.0
    inter = ((min(g.max_x, s.max_x) - max(g.min_x, s.min_x))
             * (min(g.max_y, s.max_y) - max(g.min_y, s.min_y)))
    encl = ((max(g.max_x, s.max_x) - min(g.min_x, s.min_x))
            * (max(g.max_y, s.max_y) - min(g.min_y, s.min_y)))
    if OVERLAP_IOU:
        # Intersection over union: the areas of the two rectangles less the
        # part they share.
        union = ((g.max_x - g.min_x) * (g.max_y - g.min_y)
                 + (s.max_x - s.min_x) * (s.max_y - s.min_y) - inter)
        if union == 0:
            return math.nan
        return f32(inter / union)
    if encl == 0:
        return math.nan  # 0/0
    return f32(inter / encl)


def overlap_passes(g, s):
    return overlap_ratio(g, s) >= OVERLAP_THRESHOLD


def cover_ratio(t, r):
    """The part of box t that region r covers, as the region test reckons
    it (bounding-rectangle intersection over the product of the box's first
    two sides); None when the rectangles do not touch."""
    if r.min_x > t.max_x or r.max_x < t.min_x or r.min_y > t.max_y or r.max_y < t.min_y:
        return None
    x1, x2, x3 = t.xs[0], t.xs[1], t.xs[2]
    y1, y2, y3 = t.ys[0], t.ys[1], t.ys[2]
    side1 = math.sqrt(float((x1 - x2) ** 2 + (y1 - y2) ** 2))
    side2 = math.sqrt(float((x2 - x3) ** 2 + (y2 - y3) ** 2))
    area = side1 * side2
    inter = ((min(t.max_x, r.max_x) - max(t.min_x, r.min_x))
             * (min(t.max_y, r.max_y) - max(t.min_y, r.min_y)))
    if area == 0.0:
        return math.inf if inter > 0 else math.nan
    return f32(inter / area)


def region_covers(t, r):
    ratio = cover_ratio(t, r)
    return ratio is not None and ratio >= REGION_COVER_RATIO


def max_matching(n_left, adj):
    """Size of a maximum bipartite matching (simple augmenting paths)."""
    owner = {}

    def augment(u, seen):
        for v in adj[u]:
            if v in seen:
                continue
            seen.add(v)
            if v not in owner or augment(owner[v], seen):
                owner[v] = u
                return True
        return False

    return sum(1 for u in range(n_left) if augment(u, set()))


def frame_counts(gt_targets, regions, sys_frame_targets):
    """(objects, detections, misses, false alarms) of one paired frame."""
    kept = [s for s in sys_frame_targets
            if not any(region_covers(s, r) for r in regions)]
    set_aside = set()
    passing = {}
    for i, g in enumerate(gt_targets):
        for j, s in enumerate(kept):
            if overlap_passes(g, s):
                if g.flagged or s.flagged:
                    set_aside.add(j)
                else:
                    passing.setdefault(i, []).append(j)
    rows = [i for i, g in enumerate(gt_targets) if not g.flagged]
    cols = [j for j in range(len(kept)) if j not in set_aside]
    col_set = set(cols)
    adj = [[j for j in passing.get(i, []) if j in col_set] for i in rows]
    k = max_matching(len(rows), adj)
    return len(rows), len(cols), len(rows) - k, len(cols) - k


def nmodta(gt, fn, fp):
    if gt == 0:
        return 1.0 if fp == 0 else NMODTA_FLOOR
    v = f32(1.0 - (fp + fn) / gt)
    return NMODTA_FLOOR if v < NMODTA_FLOOR else v


def score(gt_frames, sys_frames, threshold):
    """Console lines and result lines (as str) for the eleven classes."""
    console, result = [], []
    for cls in EVAL_CLASSES:
        def pick(frame):
            return [t for t in frame.targets
                    if t.conf >= threshold and (cls == "All" or t.cls == cls)]

        n_gt = n_det = n_fn = n_fp = 0
        for gf in gt_frames:
            gts = pick(gf)
            partner = next((sf for sf in sys_frames if sf.number == gf.number), None)
            if partner is None:
                objects = sum(1 for g in gts if not g.flagged)
                n_gt += objects
                n_fn += objects
                continue
            o, d, fn, fp = frame_counts(gts, gf.regions, pick(partner))
            n_gt += o
            n_det += d
            n_fn += fn
            n_fp += fp
        value = nmodta(n_gt, n_fn, n_fp)
        counts = (n_gt, n_det, n_fn, n_fp, len(gt_frames))
        console.append("%15s " % cls
                       + "GT#: %d, Det#: %d, FN#: %d, FP#: %d, Frames#: %d, NMODTA: %f\r\n"
                       % (counts + (value,)))
        result.append("%s, %d, %d, %d, %d, %d, %f\r\n" % ((cls,) + counts + (value,)))
    return console, result


def c_atof(text):
    m = re.match(r"[ \t\n\v\f\r]*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)", text)
    return float(m.group(1)) if m else 0.0


def expected_run(args, files):
    """(stdout bytes, result file bytes or None, exit status) for one run.

    args: the command-line arguments after the program name.
    files: dict path -> bytes of the annotation files that exist.
    """
    out = []
    fail_prompt = "\n[Enter any character to quit]:"
    if len(args) not in (3, 4):
        out.append("Usage: TalmiraConsole.exe groundtruth.csv systemoutput.csv "
                   "result.csv confidence(optional)\r\n")
        out.append(fail_prompt)
        return "".join(out).encode("latin-1"), None, 255
    threshold = 0.0
    if len(args) == 4:
        threshold = f32(c_atof(args[3]))
        out.append("Confidence %f is used \r\n" % threshold)
        if threshold < 0.0 or threshold > 1.0:
            out.append("Invalid confidence %f is not in (0.0-1.0)\r\n" % threshold)
            out.append(fail_prompt)
            return "".join(out).encode("latin-1"), None, 255
    gt_path, sys_path = args[0], args[1]
    parsed = {}
    for path in (gt_path, sys_path):
        if path in files:
            parsed[path] = parse_annotation(files[path])
        else:
            out.append("COULD NOT OPEN SEQUENCE AT:\n%s" % path)
    if gt_path not in files:
        out.append("Cannot open GroundTruth file: %s\r\n" % gt_path)
        out.append(fail_prompt)
        return "".join(out).encode("latin-1"), b"", 255
    if sys_path not in files:
        out.append("Cannot open SystemOutput file: %s\r\n" % sys_path)
        out.append(fail_prompt)
        return "".join(out).encode("latin-1"), b"", 255
    console, result = score(parsed[gt_path], parsed[sys_path], threshold)
    out.extend(console)
    out.append("%s and %s have been evaluated at confidence %f.\r\n"
               % (gt_path, sys_path, threshold))
    out.append("\n[Enter charater to quit]:")
    return ("".join(out).encode("latin-1"),
            "".join(result).encode("latin-1"), 0)


TOOL_CONFIDENCE = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def tool_threshold(args, files):
    """(threshold, exit status so far) of the tool on the console's arguments."""
    tail = args[3:]
    threshold = 0.0
    if len(tail) > 1:
        return None, 2
    if tail:
        # The tool takes a plain decimal number from 0 to 1 and nothing else.
        if not TOOL_CONFIDENCE.fullmatch(tail[0]):
            return None, 2
        threshold = f32(float(tail[0]))
        if not 0.0 <= threshold <= 1.0:
            return None, 2
    if args[0] not in files or args[1] not in files:
        return None, 1
    return threshold, 0


def expected_tool_run(args, files):
    """(CSV bytes or None, exit status) of `talmira score GT SYS [-c C] --format csv`.

    args: the console's arguments (GT, SYS, result, optional confidence and
    more), mapped onto the tool: the confidence goes to -c, anything after it
    is an unexpected argument.
    """
    gt_path, sys_path = args[0], args[1]
    threshold, status = tool_threshold(args, files)
    if status != 0:
        return None, status
    _, result = score(parse_annotation(files[gt_path]), parse_annotation(files[sys_path]),
                      threshold)
    rows = ["class,gt,det,fn,fp,frames,nmodta\n"]
    for line in result:
        rows.append(",".join(field.strip() for field in line.split(",")) + "\n")
    return "".join(rows).encode("latin-1"), 0


def run_quietly(command):
    """Run with standard input closed, waiting out a binary being relinked."""
    for attempt in range(20):
        try:
            return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=30)
        except OSError:
            if attempt == 19:
                raise
            time.sleep(0.5)


# The options of the current case's rules, for the tool (empty for the defaults).
RULE_ARGS = []


def run_tool(tool, args):
    """(standard output or None, exit status) of talmira score on the console's arguments."""
    command = [tool, "score", args[0], args[1], "--format", "csv"] + RULE_ARGS
    if len(args) > 3:
        command += ["-c", args[3]] + args[4:]
    proc = run_quietly(command)
    status = proc.returncode % 256
    return (proc.stdout if status == 0 else None), status


# ---------------------------------------------------------------------------
# Model: what became of every box (talmira events)
# ---------------------------------------------------------------------------

EVENTS_HEADER = "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap"
EVENTS_FIELDS = EVENTS_HEADER.split(",")
DEFAULT_NEAR = "0.1"
NEAR_CHOICES = ["0", "0.05", "0.1", "0.15", "0.2", "0.5", "1"]
MISS_CAUSES = ["no_system_frame", "class_confusion", "dropped_in_region", "below_threshold",
               "localization", "missed"]
FALSE_ALARM_CAUSES = ["class_confusion", "duplicate", "localization", "background"]


def f32_text_value(text):
    """The single-precision value a decimal text reads back as, or None."""
    if not FLOAT_RE.fullmatch(text):
        return None
    return f32_of_decimal(text)


def significant_digits(text):
    m = re.fullmatch(r"[+-]?(\d*)(?:\.(\d*))?(?:[eE][+-]?\d+)?", text)
    return max(len((m.group(1) + (m.group(2) or "")).strip("0")), 1)


def f32_shortest(x):
    """Fewest significant digits that read back as the single-precision x."""
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if math.isnan(x):
        return "nan"
    for digits in range(1, 10):
        text = "%.*g" % (digits, x)
        if f32_text_value(text) == x:
            return text
    raise AssertionError("no shortest form for %r" % x)


def shortest_text_ok(text, x):
    """Is text a shortest decimal of the single-precision x?"""
    if math.isinf(x) or math.isnan(x):
        return text == f32_shortest(x)
    value = f32_text_value(text)
    return (value is not None and value == x
            and significant_digits(text) == significant_digits(f32_shortest(x)))


def events_arguments(args, files):
    """(threshold text or None, threshold) when `talmira events` takes the
    case's confidence and both files exist, else None."""
    threshold, status = tool_threshold(args, files)
    if status != 0:
        return None
    return (args[3] if len(args) > 3 else None), threshold


def run_events(tool, gt_path, sys_path, conf, cls, near):
    command = [tool, "events", gt_path, sys_path, "--class", cls] + RULE_ARGS
    if conf is not None:
        command += ["-c", conf]
    if near is not None:
        command += ["--near", near]
    proc = run_quietly(command)
    return proc.stdout.decode("latin-1"), proc.returncode % 256, proc.stderr.decode("latin-1")


def parse_events(text):
    """(rows as field lists, problems) of the tool's events CSV."""
    problems = []
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    else:
        problems.append("output does not end with a line feed")
    if not lines or lines[0] != EVENTS_HEADER:
        problems.append("header %r, expected %r" % (lines[0] if lines else "", EVENTS_HEADER))
        return [], problems
    rows = []
    for line in lines[1:]:
        fields = line.split(",")
        if len(fields) != len(EVENTS_FIELDS):
            problems.append("row without %d fields: %r" % (len(EVENTS_FIELDS), line))
            continue
        rows.append(fields)
    return rows, problems


class JudgedFrame:
    """One ground-truth frame of one class at one threshold, with what the
    model decides on its own: flagged truths, boxes in regions, boxes set
    aside, and the largest number of pairs among the rest."""

    def __init__(self, gf, sf, cls, threshold):
        def pick(frame):
            return [t for t in frame.targets
                    if t.conf >= threshold and (cls == "All" or t.cls == cls)]

        self.gf, self.sf = gf, sf
        self.gts = pick(gf)
        self.open_gts = [g for g in self.gts if not g.flagged]
        self.syss = pick(sf) if sf is not None else []
        self.sys_event = {}  # line -> (event, partner line, overlap) for the fixed ones
        self.open_syss = []
        for s in self.syss:
            region = next((r for r in gf.regions if region_covers(s, r)), None)
            if region is not None:
                self.sys_event[s.line] = ("in_region", region.line, cover_ratio(s, region))
                continue
            flagged = next((g for g in self.gts
                            if (g.flagged or s.flagged) and overlap_passes(g, s)), None)
            if flagged is not None:
                self.sys_event[s.line] = ("set_aside", flagged.line, overlap_ratio(flagged, s))
                continue
            self.open_syss.append(s)
        adj = [[j for j, s in enumerate(self.open_syss) if overlap_passes(g, s)]
               for g in self.open_gts]
        self.most_pairs = max_matching(len(self.open_gts), adj)
        # below-threshold boxes that may explain a miss
        self.below = [] if sf is None else [
            t for t in sf.targets if t.conf < threshold and (cls == "All" or t.cls == cls)]


def row_text(fields):
    return ",".join(fields)


class EventsCheck:
    """Checks the events of every class of one case against the model."""

    def __init__(self, gt_frames, sys_frames, threshold, near_text):
        self.gt_frames, self.sys_frames = gt_frames, sys_frames
        self.threshold = threshold
        self.near = f32(float(near_text if near_text is not None else DEFAULT_NEAR))
        self.judged = []
        paired = set()
        for gf in gt_frames:
            sf = next((s for s in sys_frames if s.number == gf.number), None)
            if sf is not None:
                paired.add(id(sf))
            self.judged.append((gf, sf))
        self.unpaired = [sf for sf in sys_frames if id(sf) not in paired]
        self.gt_by_line = {t.line: t for f in gt_frames for t in f.targets}
        self.sys_by_line = {t.line: t for f in sys_frames for t in f.targets}
        self.all_pairs = None  # (gt frame line, side, line) -> partner line, from the All run

    def classes(self):
        return sorted({t.cls for f in self.gt_frames + self.sys_frames for t in f.targets
                       if t.conf >= self.threshold})

    def check(self, cls, text, stats=None):
        """Problems (strings) of the tool's events of cls; stats counts what was checked."""
        rows, problems = parse_events(text)
        actual = {}
        for fields in rows:
            key = (fields[0], fields[2], fields[3])
            if key in actual:
                problems.append("row listed twice: %s" % row_text(fields))
            actual[key] = fields
        expected = []
        pairs_of_class = {}
        fn = fp = 0
        for gf, sf in self.judged:
            jf = JudgedFrame(gf, sf, cls, self.threshold)
            frame_rows, frame_problems = self.frame_rows(jf, cls, actual, stats)
            expected.extend(frame_rows)
            problems.extend(frame_problems)
            fn += sum(1 for r in frame_rows if r[6] == "miss")
            fp += sum(1 for r in frame_rows if r[6] == "false_alarm")
            for r in frame_rows:
                if r[6] == "match":
                    pairs_of_class[(r[0], r[2], r[3])] = r[7]
        for sf in self.unpaired:
            for s in sf.targets:
                if s.conf >= self.threshold and (cls == "All" or s.cls == cls):
                    key = ("", "sys", str(s.line))
                    expected.append(["", str(sf.number), "sys", str(s.line), s.cls,
                                     self.conf_text(actual.get(key), s), "unpaired_frame",
                                     "", "", ""])
                    if stats is not None:
                        stats["sys unpaired_frame"] += 1

        # The counts the scorer gives (checked against the tools elsewhere).
        _, _, model_fn, model_fp = self.model_counts(cls)
        actual_fn = sum(1 for r in rows if r[6] == "miss")
        actual_fp = sum(1 for r in rows if r[6] == "false_alarm")
        if (actual_fn, actual_fp) != (model_fn, model_fp) or (fn, fp) != (model_fn, model_fp):
            problems.append("miss rows %d and false_alarm rows %d, the model's FN %d and FP %d"
                            % (actual_fn, actual_fp, model_fn, model_fp))

        exp_lines = [row_text(r) for r in expected]
        act_lines = [row_text(r) for r in rows]
        if exp_lines != act_lines:
            diff = difflib.unified_diff([EVENTS_HEADER] + exp_lines, [EVENTS_HEADER] + act_lines,
                                        "expected", "actual", n=1, lineterm="")
            problems.append("\n".join(diff))
        if cls == "All":
            self.all_pairs = pairs_of_class
        return problems

    def model_counts(self, cls):
        n_gt = n_det = n_fn = n_fp = 0
        for gf, sf in self.judged:
            jf = JudgedFrame(gf, sf, cls, self.threshold)
            if sf is None:
                n_gt += len(jf.open_gts)
                n_fn += len(jf.open_gts)
                continue
            o, d, a, b = frame_counts(jf.gts, gf.regions, jf.syss)
            n_gt, n_det, n_fn, n_fp = n_gt + o, n_det + d, n_fn + a, n_fp + b
        return n_gt, n_det, n_fn, n_fp

    def conf_text(self, fields, box):
        """The tool's confidence text when it reads back as the box's value."""
        if fields is not None and f32_text_value(fields[5]) == box.conf:
            return fields[5]
        return f32_shortest(box.conf)

    def overlap_text(self, fields, value):
        if fields is not None and shortest_text_ok(fields[9], value):
            return fields[9]
        return f32_shortest(value)

    def frame_rows(self, jf, cls, actual, stats):
        gf, sf = jf.gf, jf.sf
        fl = str(gf.line)
        problems = []
        where = "frame %d (ground-truth line %d)" % (gf.number, gf.line)

        def got(side, box):
            return actual.get((fl, side, str(box.line)))

        # The tool's pairs, kept where they are pairs by the model's rules.
        open_sys = {s.line: s for s in jf.open_syss}
        open_gt = {g.line: g for g in jf.open_gts}
        pairs = {}  # gt line -> sys line
        for g in jf.open_gts:
            fields = got("gt", g)
            if fields is None or fields[6] != "match":
                continue
            partner = fields[7]
            s = open_sys.get(int(partner)) if partner.isdigit() else None
            if s is None:
                problems.append("%s: gt line %d is matched with %r, which is not a system box "
                                "of the frame open to matching" % (where, g.line, partner))
                continue
            back = got("sys", s)
            if back is None or back[6] != "match" or back[7] != str(g.line):
                problems.append("%s: gt line %d is matched with sys line %d, whose row says %s"
                                % (where, g.line, s.line,
                                   "nothing" if back is None else row_text(back)))
                continue
            if not overlap_passes(g, s):
                problems.append("%s: gt line %d and sys line %d are matched with overlap %s, "
                                "which fails the overlap test"
                                % (where, g.line, s.line, f32_shortest(overlap_ratio(g, s))))
                continue
            pairs[g.line] = s.line
        for s in jf.open_syss:
            fields = got("sys", s)
            if fields is not None and fields[6] == "match":
                partner = fields[7]
                if not (partner.isdigit() and pairs.get(int(partner)) == s.line):
                    problems.append("%s: sys line %d is matched with %r, which does not match it"
                                    " back (or fails the overlap test)" % (where, s.line, partner))
        if len(set(pairs.values())) != len(pairs):
            problems.append("%s: a system box is matched twice" % where)
        if sf is not None and len(pairs) != jf.most_pairs:
            problems.append("%s: %d pairs, but the largest assignment has %d"
                            % (where, len(pairs), jf.most_pairs))
        paired_sys = {v: k for k, v in pairs.items()}
        misses = [g for g in jf.open_gts if g.line not in pairs]
        false_alarms = [s for s in jf.open_syss if s.line not in paired_sys]
        if stats is not None and self.near > 0:
            # pairs on the edge of "near", where >= and > part ways (at 0 any
            # two boxes apart are on it)
            stats["near edge"] += sum(1 for g in misses for s in false_alarms
                                      if overlap_ratio(g, s) == self.near)
        all_pairs = self.all_pairs

        rows = []
        for g in jf.gts:
            fields = got("gt", g)
            row = [fl, str(gf.number), "gt", str(g.line), g.cls, self.conf_text(fields, g),
                   "", "", "", ""]
            if g.flagged:
                row[6] = "excluded"
            elif g.line in pairs:
                s = self.sys_by_line[pairs[g.line]]
                row[6], row[7] = "match", str(s.line)
                row[9] = self.overlap_text(fields, overlap_ratio(g, s))
            else:
                row[6] = "miss"
                if sf is None:
                    cause = "no_system_frame"
                elif cls != "All" and self.other_class(all_pairs, fl, "gt", g, self.sys_by_line):
                    cause = "class_confusion"
                elif any(jf.sys_event.get(s.line, ("",))[0] == "in_region"
                         and overlap_passes(g, s) for s in jf.syss):
                    cause = "dropped_in_region"
                elif any(overlap_passes(g, t) for t in jf.below):
                    cause = "below_threshold"
                elif any(overlap_ratio(g, s) >= self.near for s in false_alarms):
                    cause = "localization"
                else:
                    cause = "missed"
                row[8] = cause
            if stats is not None:
                stats["gt " + row[6] + (" " + row[8] if row[8] else "")] += 1
            rows.append(row)
        for s in jf.syss:
            fields = got("sys", s)
            row = [fl, str(gf.number), "sys", str(s.line), s.cls, self.conf_text(fields, s),
                   "", "", "", ""]
            if s.line in jf.sys_event:
                event, partner, value = jf.sys_event[s.line]
                row[6], row[7] = event, str(partner)
                row[9] = self.overlap_text(fields, value)
            elif s.line in paired_sys:
                g = self.gt_by_line[paired_sys[s.line]]
                row[6], row[7] = "match", str(g.line)
                row[9] = self.overlap_text(fields, overlap_ratio(g, s))
            else:
                row[6] = "false_alarm"
                if cls != "All" and self.other_class(all_pairs, fl, "sys", s, self.gt_by_line):
                    cause = "class_confusion"
                elif any(overlap_passes(self.gt_by_line[gl], s) for gl in pairs):
                    cause = "duplicate"
                elif any(overlap_ratio(g, s) >= self.near for g in misses):
                    cause = "localization"
                else:
                    cause = "background"
                row[8] = cause
            if stats is not None:
                stats["sys " + row[6] + (" " + row[8] if row[8] else "")] += 1
            rows.append(row)
        return rows, problems

    @staticmethod
    def other_class(all_pairs, fl, side, box, partners):
        """Is the box paired, in the All matching, with a box of another class?"""
        if all_pairs is None:
            raise AssertionError("the All events are checked first")
        partner = all_pairs.get((fl, side, str(box.line)))
        return partner is not None and partners[int(partner)].cls != box.cls


def check_events(tool, args, files, options, stats=None):
    """Problems of `talmira events` on one case (empty when all agree).

    options: (near text or None, add a class without boxes)."""
    chosen = events_arguments(args, files)
    if chosen is None:
        return ""
    conf, threshold = chosen
    near, empty_class = options
    gt_path, sys_path = args[0], args[1]
    model = EventsCheck(parse_annotation(files[gt_path]), parse_annotation(files[sys_path]),
                        threshold, near)
    classes = model.classes()
    if empty_class:
        absent = [c for c in KNOWN_CLASSES if c not in classes]
        classes += absent[:1]
    report = []
    for cls in ["All"] + classes:
        text, status, err = run_events(tool, gt_path, sys_path, conf, cls, near)
        command = "talmira events gt.csv sys.csv --class %s%s%s" % (
            cls, "" if conf is None else " -c " + conf, "" if near is None else " --near " + near)
        if status != 0:
            report.append("%s: exit status %d (%s)" % (command, status, err.strip()))
            if cls == "All":
                break  # the classes' causes need the All pairs
            continue
        if stats is not None:
            stats["runs"] += 1
        problems = model.check(cls, text, stats)
        if problems:
            report.append("%s:\n%s" % (command, "\n".join(problems)))
    return "\n".join(report)


# ---------------------------------------------------------------------------
# Generator
# ---------------------------------------------------------------------------

CONF_ARGS = [None, None, None, None, "0", "0.5", "0.3", "1", "0.25", "0.2",
             "1.0", ".3", "0.30", "0.7", "0.0001", "0.9999"]
TAIL_TEXT_CHARS = "ghkmqrsuvwyz_#"


def _near_threshold_pairs(wholes, num, den, deltas):
    """Sub-rectangles (w, h) of a W x H box whose area is W*H*num/den + d:
    a list of (W, H, w, h, d)."""
    found = []
    for big_w, big_h in wholes:
        target = big_w * big_h * num // den
        for d in deltas:
            area = target + d
            lo = -(-area // big_h)
            for w in range(big_w, lo - 1, -1):
                if area % w == 0:
                    found.append((big_w, big_h, w, area // w, d))
                    break
    return found


# Large boxes whose overlap or cover ratios sit within a few steps of the
# last single-precision place around the thresholds.  At 1.6e9 pixels of
# enclosing area an overlap of 0.2 - 7/E still rounds up to the threshold
# and 0.2 - 8/E does not; for the cover ratio the limits are -2 and -3.
BIG_SIZES = [(40000, 40000), (40000, 39000), (36000, 40000)]
BIG_OVERLAP = _near_threshold_pairs(BIG_SIZES, 1, 5, range(-14, 8))
BIG_COVER = _near_threshold_pairs(BIG_SIZES, 33, 100, range(-6, 7))


class Gen:
    def __init__(self, rng):
        self.rng = rng
        r = rng.random
        self.space_rate = rng.choice([0.0, 0.1, 0.4])
        self.tab_rate = rng.choice([0.0, 0.3])
        self.flag_rate = rng.choice([0.0, 0.08, 0.25])
        self.odd_number_rate = rng.choice([0.0, 0.05])
        self.grid = rng.choice([5, 5, 10, 1])
        self.classes = rng.sample(KNOWN_CLASSES, rng.choice([1, 2, 3, 10]))
        self.big = r() < 0.12
        # how far apart boxes are: a small field crowds boxes together so
        # that one box overlaps several on the other side
        self.field = rng.choice([320, 320, 150, 60])
        self.crowd = rng.choice([0.0, 0.0, 0.3, 0.7])
        # a band: boxes of nearly one size strung along a line, each
        # overlapping its neighbours, which makes chains and cycles of
        # passing pairs with many assignments of equal cost
        self.band_rate = rng.choice([0.0, 0.0, 0.5, 0.9])
        self.band_origin = (self.coord(), self.coord())
        # now and then frames far beyond the usual handful of boxes
        self.counts = [0, 1, 2, 3, 4, 5, 8]
        self.tail_rate = 0.15
        self.long = r() < 0.05
        if r() < 0.05:
            self.counts = [10, 16, 25]
            self.band_rate = 0.9
        elif r() < 0.04:
            # files of 100 kB and more, with long last columns
            self.counts = [8, 16, 25]
            self.tail_rate = 0.9
            self.long = True

    # -- boxes ------------------------------------------------------------
    def order(self, pts):
        """List four corners in cyclic order (any start and direction),
        sometimes crossed."""
        rng = self.rng
        k = rng.randrange(4)
        pts = pts[k:] + pts[:k]
        if rng.random() < 0.5:
            pts = [pts[0]] + pts[1:][::-1]
        if rng.random() < 0.12:
            pts = rng.choice([[pts[0], pts[2], pts[1], pts[3]],
                              [pts[0], pts[1], pts[3], pts[2]]])
        return pts

    def rect(self, x, y, w, h, cyclic=False):
        pts = [(x, y), (x + w, y), (x + w, y + h), (x, y + h)]
        if cyclic:
            k = self.rng.randrange(4)
            pts = pts[k:] + pts[:k]
            if self.rng.random() < 0.5:
                pts = [pts[0]] + pts[1:][::-1]
            return pts
        return self.order(pts)

    def coord(self):
        g = self.grid
        return self.rng.randrange(-60 // g, self.field // g + 1) * g

    def side(self):
        return self.rng.choice([30, 30, 29, 31, 35, 40, 40, 45, 50, 60, 60, 75,
                                90, 100, 150, 10, 5, 0, 15, 20])

    def band_box(self):
        rng = self.rng
        x0, y0 = self.band_origin
        x = x0 + 5 * rng.randint(0, 24)
        y = y0 + 5 * rng.choice([0, 0, 0, 1, -1, 2])
        w = rng.choice([30, 30, 40, 35])
        h = rng.choice([40, 40, 30, 60])
        return self.rect(x, y, w, h)

    def random_box(self):
        rng = self.rng
        if rng.random() < self.band_rate:
            return self.band_box()
        kind = rng.random()
        x, y = self.coord(), self.coord()
        if kind < 0.62:
            w, h = self.side(), self.side()
            if w < 30 and h < 30 and rng.random() < 0.8:
                w = rng.choice([30, 40, 60])
            return self.rect(x, y, w, h)
        if kind < 0.8:
            # turned rectangle with integer corners, sides 5k and 5j
            k, j = rng.choice([5, 6, 6, 7, 8, 10]), rng.choice([2, 4, 6, 8, 10])
            sx, sy = rng.choice([1, -1]), rng.choice([1, -1])
            u = (3 * k * sx, 4 * k * sy)
            v = (-4 * j * sx, 3 * j * sy)
            if rng.random() < 0.5:
                u, v = (u[1], u[0]), (v[1], v[0])
            p1 = (x, y)
            p2 = (x + u[0], y + u[1])
            p3 = (p2[0] + v[0], p2[1] + v[1])
            p4 = (x + v[0], y + v[1])
            return self.order([p1, p2, p3, p4])
        if kind < 0.87:
            r = rng.choice([20, 21, 22, 25, 30, 10])
            return self.order([(x, y - r), (x + r, y), (x, y + r), (x - r, y)])
        if kind < 0.94:
            # irregular quadrilateral (no two sides need be equal)
            g = self.grid
            return [(x + rng.randint(0, 12) * g, y + rng.randint(0, 12) * g)
                    for _ in range(4)]
        # segment: zero height or zero width
        length = rng.choice([30, 40, 29])
        if rng.random() < 0.5:
            return self.order([(x, y), (x + length, y), (x + length, y), (x, y)])
        return self.order([(x, y), (x, y + length), (x, y + length), (x, y)])

    @staticmethod
    def bbox(pts):
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        return min(xs), min(ys), max(xs) - min(xs), max(ys) - min(ys)

    def derive(self, pts):
        """A system box placed against a ground-truth box so that the
        overlap ratio lands on or next to the threshold."""
        rng = self.rng
        x, y, w, h = self.bbox(pts)
        if rng.random() < self.band_rate * 0.6:
            return self.band_box()
        if rng.random() < 0.15:
            return self.near_box(x, y, w, h)
        c = rng.random()
        if c < 0.2:
            return self.order(list(pts))
        if c < 0.35 and h >= 5:
            hh = h // 5 + rng.choice([0, 0, -1, 1])
            yy = y if rng.random() < 0.5 else y + h - hh
            return self.rect(x, yy, w, max(hh, 0))
        if c < 0.45 and h > 0:
            hh = 5 * h + rng.choice([0, 0, 1, -1])
            yy = y if rng.random() < 0.5 else y + h - hh
            return self.rect(x, yy, w, hh)
        if c < 0.6 and w >= 3:
            d = (2 * w) // 3 + rng.choice([0, 0, 1, -1])
            if rng.random() < 0.5:
                return self.rect(x + d, y, w, h)
            return self.rect(x - d, y, w, h)
        if c < 0.68:
            return self.rect(x + w, y + rng.choice([0, 5, -5]), rng.choice([30, 40]), h)
        if c < 0.75:
            return self.random_box()
        j = [rng.choice([-10, -5, 0, 0, 5, 10, 20]) for _ in range(4)]
        return self.rect(x + j[0], y + j[1], max(w + j[2], 0), max(h + j[3], 0))

    def near_box(self, x, y, w, h):
        """A box that overlaps the w x h one by less than a pair needs: on or
        next to one of the overlaps from which a miss and a false alarm count
        as near each other, or anywhere between 0.08 and 0.2."""
        rng = self.rng
        if rng.random() < 0.7 and min(w, h) > 0:
            # a slice across the shorter side: its overlap is the slice's share
            share = rng.choice([Fraction(1, 10), Fraction(1, 10), Fraction(1, 20),
                                Fraction(3, 20), Fraction(1, 2), Fraction(19, 100)])
            if h <= w:
                hh = max(0, round(h * share) + rng.choice([0, 0, -1, 1]))
                return self.rect(x, y + rng.choice([0, h - hh]), w, hh)
            ww = max(0, round(w * share) + rng.choice([0, 0, -1, 1]))
            return self.rect(x + rng.choice([0, w - ww]), y, ww, h)
        # the same box moved sideways: (w - d) / (w + d) from about 0.19 down to 0.08
        d = int(w * rng.uniform(0.68, 0.85))
        return self.rect(x + rng.choice([d, -d]), y, w, h)

    def cover_region(self, pts):
        """A don't-care region whose intersection with the box is about a
        third of the box's side-product."""
        rng = self.rng
        x, y, w, h = self.bbox(pts)
        (x1, y1), (x2, y2), (x3, y3) = pts[0], pts[1], pts[2]
        area = math.hypot(x1 - x2, y1 - y2) * math.hypot(x2 - x3, y2 - y3)
        want = int(round(area * 0.33)) + rng.choice([0, 0, 0, -1, 1])
        if rng.random() < 0.2 or w == 0 or h == 0:
            return self.random_box()
        best = None
        for wi in range(min(w, 200), 0, -1):
            if want % wi == 0 and want // wi <= h:
                best = (wi, want // wi)
                break
        if best is None:
            wi = max(1, min(w, want // max(h, 1)))
            best = (wi, min(h, want // wi))
        wi, hi = best
        ex = rng.choice([0, 30, 40]) if wi < 30 else rng.choice([0, 10])
        ey = rng.choice([0, 30]) if hi < 30 and ex == 0 else rng.choice([0, 10])
        if rng.random() < 0.5:
            return self.rect(x - ex, y - ey, wi + ex, hi + ey)
        return self.rect(x + w - wi, y + h - hi, wi + ex, hi + ey)

    # -- record text ----------------------------------------------------
    def lead(self, tabs_ok):
        rng = self.rng
        if rng.random() >= self.space_rate:
            return ""
        if tabs_ok and rng.random() < self.tab_rate:
            return rng.choice(["\t", " \t", "\t "])
        return " " * rng.randint(1, 3)

    def int_text(self, v, frame=False):
        rng = self.rng
        if rng.random() < self.odd_number_rate:
            c = rng.random()
            if v < 0 and c < 0.5:
                return str(v + U32)
            if v >= 1 << 31 and c < 0.5:
                return str(v - U32)
            if v >= 0 and c < 0.75:
                return "+" + str(v)
            if v >= 0:
                return "0" + str(v)
        if frame and v >= 1 << 31:
            return str(v - U32) if rng.random() < 0.5 else str(v)
        return str(v)

    def flag(self):
        rng = self.rng
        if rng.random() < self.flag_rate:
            return rng.choice(["TRUE", "TRUE", "TRUE", "true", "True", "TRUEX", "1",
                               "TRUETRU"])
        return rng.choice(["FALSE", "FALSE", "FALSE", "false", "0", "F", "FALSEXY"])

    def conf_text(self, threshold_text):
        rng = self.rng
        c = rng.random()
        if threshold_text is not None and c < 0.45:
            v = Decimal(threshold_text)
            d = rng.choice([Decimal(0), Decimal(0), Decimal("0.0001"), Decimal("-0.0001")])
            t = v + d
            s = format(t, "f")
            if rng.random() < 0.3 and "." in s:
                s = s + "0"
            return s
        if c < 0.7:
            return rng.choice(["1.0", "1", "0.9", "1.00", "0", "0.0", "-0", "0.5", ".5"])
        if c < 0.75:
            return rng.choice(["-0.0001", "-1", "3e-1", "2.5E-1", "+0.75", "1.", "5e-5",
                               "1E0", "10e-1", "00.5"])
        return "%.*f" % (rng.choice([1, 2, 3, 4]), rng.random())

    def record(self, frame_no, pts, kind, threshold_text, flags=None):
        rng = self.rng
        if flags is None:
            flags = (self.flag(), self.flag())
        cols = [self.int_text(frame_no, frame=True)]
        for (px, py) in pts:
            cols += [self.int_text(px), self.int_text(py)]
        cols.append(kind)
        cols += [flags[0], flags[1]]
        cols.append(self.conf_text(threshold_text))
        cols.append(rng.choice(["", "", "", "abc", "n1", "q_r", "T" * 31]))
        tail = rng.choice(["0.0", "0.0", "0", "1.5", "-2", ".5", "1e2", "3.25",
                           "+1", "1.", "-.5", "1E+2"])
        if rng.random() < self.tail_rate:
            size = rng.choice([1, 3, 6, 190])
            tail += "".join(rng.choice(TAIL_TEXT_CHARS) for _ in range(size))
        cols.append(tail)
        # blanks allowed before each column: any blank before numbers,
        # the second flag, the confidence and the last column; spaces only
        # before the type, the first flag and column 14.
        tabs_ok = [True] * 9 + [False, False, True, True, False, True]
        parts = [self.lead(tabs_ok[i]) + cols[i] for i in range(15)]
        line = ",".join(parts)
        if rng.random() < self.space_rate:
            line += rng.choice([" ", "  ", "\t", " \t"])
        return line

    # -- files --------------------------------------------------------------
    def frame_numbers(self, n):
        rng = self.rng
        base = rng.choice([0, 1, 5, 100, U32 - 3])
        nums = [base]
        for _ in range(n - 1):
            c = rng.random()
            if c < 0.4:
                nums.append((nums[-1] + 1) % U32)
            elif c < 0.55:
                nums.append(nums[-1])
            elif c < 0.8:
                nums.append(rng.choice(nums))
            else:
                nums.append((base + rng.randint(0, 14)) % U32)
        return nums

    def make_case(self, threshold_text):
        rng = self.rng
        n_gt = rng.randint(20, 40) if self.long else rng.randint(1, 12)
        gt_nums = self.frame_numbers(n_gt)
        # system frame numbers: mostly the ground-truth ones, some dropped,
        # some repeated, some extra, sometimes shuffled
        sys_nums = []
        for n in gt_nums:
            c = rng.random()
            if c < 0.15:
                continue
            sys_nums.append(n)
            if c > 0.9:
                sys_nums.append(n)
        for _ in range(rng.randint(0, 3)):
            sys_nums.insert(rng.randint(0, len(sys_nums)),
                            rng.choice(gt_nums + [(gt_nums[0] + 50) % U32]))
        if rng.random() < 0.3:
            rng.shuffle(sys_nums)

        gt_frames = []
        for n in gt_nums:
            boxes = []
            for _ in range(rng.choice(self.counts)):
                # crowded frames: a box placed against an earlier one, so
                # that one system box can pass with several of them
                if boxes and rng.random() < self.crowd:
                    boxes.append(self.derive(rng.choice(boxes)))
                else:
                    boxes.append(self.random_box())
            gt_frames.append([n, boxes, []])
        sys_frames = []
        for n in sys_nums:
            sources = [f for f in gt_frames if f[0] == n]
            boxes = []
            for _ in range(rng.choice(self.counts)):
                if sources and rng.random() < 0.75:
                    src = rng.choice(sources)[1]
                    if src:
                        boxes.append(self.derive(rng.choice(src)))
                        continue
                boxes.append(self.random_box())
            sys_frames.append([n, boxes, []])
        # don't-care regions of ground-truth frames, aimed at system boxes
        for f in gt_frames:
            partner = next((s for s in sys_frames if s[0] == f[0]), None)
            for _ in range(rng.choice([0, 0, 0, 1, 1, 2])):
                if partner and partner[1] and rng.random() < 0.8:
                    f[2].append(self.cover_region(rng.choice(partner[1])))
                else:
                    f[2].append(self.random_box())
        if rng.random() < 0.1:
            for s in sys_frames:  # regions in the system file are never used
                if s[1] and rng.random() < 0.5:
                    s[2].append(self.cover_region(rng.choice(s[1])))

        if self.big:
            self.add_big(gt_frames, sys_frames)

        gt_lines = self.frame_lines(gt_frames, threshold_text)
        sys_lines = self.frame_lines(sys_frames, threshold_text)
        return self.assemble(gt_lines), self.assemble(sys_lines)

    def add_big(self, gt_frames, sys_frames):
        """Boxes of 40000 x 40000 pixels whose ratios are within a few
        single-precision steps of 0.2 or 0.33."""
        rng = self.rng
        for _ in range(rng.randint(1, 3)):
            if not gt_frames:
                return
            gf = rng.choice(gt_frames)
            sf = next((s for s in sys_frames if s[0] == gf[0]), None)
            if sf is None:
                sf = [gf[0], [], []]
                sys_frames.append(sf)
            if rng.random() < 0.6 and BIG_OVERLAP:
                big_w, big_h, w, h, _ = rng.choice(BIG_OVERLAP)
                whole = self.rect(0, 0, big_w, big_h)
                px, py = rng.choice([0, big_w - w]), rng.choice([0, big_h - h])
                part = self.rect(px, py, w, h)
                if rng.random() < 0.5:
                    gf[1].append(whole)
                    sf[1].append(part)
                else:
                    gf[1].append(part)
                    sf[1].append(whole)
            elif BIG_COVER:
                big_w, big_h, w, h, _ = rng.choice(BIG_COVER)
                sf[1].append(self.rect(0, 0, big_w, big_h, cyclic=True))
                px, py = rng.choice([0, big_w - w]), rng.choice([0, big_h - h])
                gf[2].append(self.rect(px, py, w, h))

    def frame_lines(self, frames, threshold_text):
        rng = self.rng
        lines = []
        all_nums = [f[0] for f in frames] or [0]
        for n, boxes, regions in frames:
            items = []
            for pts in boxes:
                kind = rng.choice(self.classes)
                c = rng.random()
                if c < 0.04:
                    kind = rng.choice(["car", "Van", "DCO", "All", "CAR", "Dcr", "dcf",
                                       "Tractor-Trailer", "Car_", "X" * 31,
                                       "Tractor-Trailor-and-a-long-name"])
                elif c < 0.07:
                    kind = rng.choice(["", " ", "  "])
                items.append(self.record(n, pts, kind, threshold_text))
            for pts in regions:
                flags = None if rng.random() < 0.5 else (self.flag(), "TRUE")
                items.insert(rng.randint(0, len(items)),
                             self.record(n, pts, "DCR", threshold_text, flags))
            # noise that never starts or splits a frame
            for _ in range(rng.choice([0, 0, 0, 1, 2])):
                other = rng.choice(all_nums + [(n + 1) % U32])
                if rng.random() < 0.5:
                    line = self.record(other, self.random_box(), "DCF", threshold_text)
                else:
                    small = self.rect(self.coord(), self.coord(), rng.choice([29, 20, 0]),
                                      rng.choice([29, 10, 0]))
                    line = self.record(other, small, rng.choice(self.classes + ["DCR"]),
                                       threshold_text)
                items.insert(rng.randint(0, len(items)), line)
            # a record that starts a frame but adds no target
            if rng.random() < 0.1:
                kind = rng.choice(["Van", "", "car"])
                items.insert(rng.choice([0, len(items)]),
                             self.record(rng.choice([n, rng.choice(all_nums)]),
                                         self.rect(0, 0, 40, 40), kind, threshold_text))
            lines.extend(items)
        return lines

    def assemble(self, lines):
        rng = self.rng
        c = rng.random()
        eol_style = rng.choice(["\n", "\r\n", "mixed"])

        def eol():
            if eol_style == "mixed":
                return rng.choice(["\n", "\r\n"])
            return eol_style

        if c < 0.02:
            return b""
        header = rng.choice([
            "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number",
            "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number",
            "",
            "# frames",
            "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1.0,,0.0",
            " a, b ,, c",
            "long",
        ])
        if header == "long":
            # the reader keeps at most 199 characters of the first line
            # (a carriage return included); the line feed may be left over
            size = rng.randint(180, 199) - (1 if eol_style != "\n" else 0)
            header = ("Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,"
                      "Text,Number" + ",padding" * 30)[:size]
            if eol_style == "mixed":
                eol_style = "\r\n"
        if c < 0.05:
            return (header + rng.choice(["", eol()])).encode("latin-1")
        if c < 0.07:
            lines = []
        out = [header + eol()]
        for line in lines:
            while rng.random() < 0.05:
                out.append(rng.choice(["", " ", "\t", "  ", "\f", " \v"]) + eol())
            lead = ""
            if rng.random() < self.space_rate * 0.5:
                lead = rng.choice([" ", "  ", "\t"])
            out.append(lead + line + eol())
        if rng.random() < 0.1:
            out.append(rng.choice(["", "  "]) + eol())
        elif out and len(out) > 1 and rng.random() < 0.4:
            out[-1] = out[-1].rstrip("\r\n")
        return "".join(out).encode("latin-1")


# ---------------------------------------------------------------------------
# Runner
# ---------------------------------------------------------------------------

def run_binary(binary, args, result_path):
    if os.path.exists(result_path):
        os.remove(result_path)
    for attempt in range(10):
        try:
            proc = subprocess.run([binary] + args, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=30)
            break
        except OSError:
            # the binary may be in the middle of being relinked
            if attempt == 9:
                raise
            time.sleep(0.5)
    result = None
    if os.path.exists(result_path):
        with open(result_path, "rb") as fh:
            result = fh.read()
    return proc.stdout, result, proc.returncode % 256


def make_case(case_seed):
    """(ground truth bytes or None, system bytes or None, argument tail)."""
    rng = random.Random(case_seed)
    gen = Gen(rng)
    conf = rng.choice(CONF_ARGS)
    gt, sysout = gen.make_case(conf)
    extra = [] if conf is None else [conf]
    c = rng.random()
    if c < 0.015:
        extra = [rng.choice(["1.5", "-0.1", "2", "1.0001", "-1e-3"])]
    elif c < 0.025:
        extra = [rng.choice(["abc", " 0.5", "0.5x", "+1", "-0"])]
    elif c < 0.035:
        gt = None
    elif c < 0.045:
        sysout = None
    elif c < 0.05:
        gt = sysout = None
    elif c < 0.055:
        extra = ["0.5", "extra"]
    return gt, sysout, extra


OVERLAP_CHOICES = ["0.5", "0.2", "0.3", "0.75", "1", "0.1", "0.25", "0.19", "0.05"]
COVER_CHOICES = ["0.33", "0.5", "0.25", "1", "0.1", "0.34"]
SIDE_CHOICES = ["0", "30", "25", "10", "40", "29.5", "31"]


def random_rules(case_seed, share):
    """(rules for the model, options for the tool) of a case scored under
    random rules, None for the others; drawn apart from the files."""
    rng = random.Random("rules-%d" % case_seed)
    if rng.random() >= share:
        return None
    if rng.random() < 0.3:
        name = rng.choice(sorted(NAMED_RULES))
        measure, overlap, cover, side = NAMED_RULES[name]
        options = ["--rules", name]
        if rng.random() < 0.4:  # a value given beside the set overrides it
            text = rng.choice(SIDE_CHOICES)
            side = float(text)
            options += ["--min-side", text]
        return (measure, overlap, cover, side), options
    measure = rng.choice(["enclosing", "iou"])
    overlap, cover, side = (rng.choice(OVERLAP_CHOICES), rng.choice(COVER_CHOICES),
                            rng.choice(SIDE_CHOICES))
    options = ["--overlap", measure, "--min-overlap", overlap, "--region-cover", cover,
               "--min-side", side]
    return (measure, f32(float(overlap)), f32(float(cover)), float(side)), options


def check(binary, workdir, gt, sysout, extra, tool=None, events=None, stats=None, rules=None):
    """`rules`: (model rules, tool options) of a case under other scoring
    rules (random_rules()), or None."""
    global RULE_ARGS
    set_rules(None)
    RULE_ARGS = []
    gt_path = os.path.join(workdir, "gt.csv")
    sys_path = os.path.join(workdir, "sys.csv")
    res_path = os.path.join(workdir, "result.csv")
    files = {}
    for path, data in ((gt_path, gt), (sys_path, sysout)):
        if data is None:
            if os.path.exists(path):
                os.remove(path)
        else:
            with open(path, "wb") as fh:
                fh.write(data)
            files[path] = data
    args = [gt_path, sys_path, res_path] + extra
    expected = expected_run(args, files)
    actual = run_binary(binary, args, res_path)
    if rules is not None:
        set_rules(rules[0])
        RULE_ARGS = list(rules[1])
    if tool is not None:
        # The tool's CSV must hold the counts and NMODTA text of the console's
        # result file whenever the console completes, and fail as the model says.
        expected += expected_tool_run(args, files)
        actual += run_tool(tool, args)
        agreement = ""
        if (rules is None and expected[3] is not None and actual[3] is not None
                and actual[2] == 0):
            console_rows = [",".join(f.strip() for f in line.split(","))
                            for line in actual[1].decode("latin-1").splitlines()]
            tool_rows = actual[3].decode("latin-1").splitlines()[1:]
            if console_rows != tool_rows:
                agreement = "console and tool disagree"
        expected += ("",)
        actual += (agreement,)
        if events is not None:
            expected += ("",)
            actual += (check_events(tool, args, files, events, stats),)
    set_rules(None)
    RULE_ARGS = []
    return expected, actual, args


def describe(expected, actual):
    text = []
    names = ("standard output", "result file", "exit status", "tool output", "tool exit status",
             "agreement", "events")
    for name, e, a in zip(names, expected, actual):
        if e == a:
            continue
        if name in ("agreement", "events"):
            text.append(str(a))
            continue
        if name.endswith("exit status"):
            text.append("exit status: expected %d, actual %d" % (e, a))
            continue
        if e is None or a is None:
            text.append("%s: expected %s, actual %s" % (
                name, "absent" if e is None else "present",
                "absent" if a is None else "present"))
            continue
        el = e.decode("latin-1").replace("\r", "\\r").splitlines(True)
        al = a.decode("latin-1").replace("\r", "\\r").splitlines(True)
        diff = difflib.unified_diff(el, al, "expected " + name, "actual " + name)
        text.append("".join(diff).rstrip("\n"))
    return "\n".join(text)


def shrink(binary, workdir, gt, sysout, extra, tool=None, events=None, rules=None):
    """Drop record lines while the mismatch persists."""
    def split(data):
        if data is None:
            return None
        return data.decode("latin-1").splitlines(True)

    def join(lines):
        return None if lines is None else "".join(lines).encode("latin-1")

    def fails(g, s, x):
        try:
            e, a, _ = check(binary, workdir, join(g), join(s), x, tool, events, rules=rules)
        except ModelInputError:
            return False
        return e != a

    g, s, x = split(gt), split(sysout), list(extra)
    if x and fails(g, s, []):
        x = []
    changed = True
    while changed:
        changed = False
        for which in (0, 1):
            lines = g if which == 0 else s
            if lines is None:
                continue
            i = len(lines) - 1
            while i >= 1:
                trial = lines[:i] + lines[i + 1:]
                ok = fails(trial, s, x) if which == 0 else fails(g, trial, x)
                if ok:
                    lines = trial
                    if which == 0:
                        g = lines
                    else:
                        s = lines
                    changed = True
                i -= 1
    return join(g), join(s), x


def events_options(case_seed, share):
    """(near text or None, add a class without boxes) of a case whose events
    are checked, None for the others; drawn apart from the files so that
    the events options leave the generated files as they are."""
    rng = random.Random("events-%d" % case_seed)
    if rng.random() >= share:
        return None
    near = rng.choice(NEAR_CHOICES) if rng.random() < 0.4 else None
    return near, rng.random() < 0.1


def print_event_stats(stats):
    print("events: %d runs checked; rows checked by event and cause:" % stats.pop("runs", 0))
    for side, events in (("gt", ["match", "excluded"]),
                         ("sys", ["match", "set_aside", "in_region", "unpaired_frame"])):
        print("  %-4s" % side + ", ".join("%s %d" % (e, stats["%s %s" % (side, e)])
                                          for e in events))
    print("  miss        " + ", ".join("%s %d" % (c, stats["gt miss " + c])
                                       for c in MISS_CAUSES))
    print("  false_alarm " + ", ".join("%s %d" % (c, stats["sys false_alarm " + c])
                                       for c in FALSE_ALARM_CAUSES))
    print("  miss and false alarm pairs whose overlap is exactly the near overlap (above 0): %d"
          % stats["near edge"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--binary", default="build/dev/TalmiraConsole")
    ap.add_argument("--cases", type=int, default=500)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--first", type=int, default=0,
                    help="index of the first case (the cases of a seed can be run in parts: "
                         "--first 150 --cases 150 are the second half of 300)")
    ap.add_argument("--case", type=int, default=None,
                    help="run only this case index of the seed")
    ap.add_argument("--keep-dir", default=None,
                    help="where failing file pairs are kept "
                         "(default: a crosscheck-failures-SEED folder in the temp dir)")
    ap.add_argument("--show", type=int, default=3, help="mismatches shown in full")
    ap.add_argument("--no-shrink", action="store_true")
    ap.add_argument("--tool", default=None,
                    help="also run `talmira score --format csv` (this binary) on every case, "
                         "and `talmira events` on a share of them")
    ap.add_argument("--rules-share", type=float, default=0.0,
                    help="with --tool, the share of cases (drawn from the seed) that the tool "
                         "scores under random scoring rules (default none)")
    ap.add_argument("--events-share", type=float, default=1.0,
                    help="with --tool, the share of cases (drawn from the seed) whose "
                         "`talmira events` rows are checked (default all)")
    opts = ap.parse_args()

    binary = os.path.abspath(opts.binary)
    if not os.access(binary, os.X_OK):
        print("binary not found or not executable: %s" % binary)
        return 2
    keep_dir = opts.keep_dir or os.path.join(
        tempfile.gettempdir(), "crosscheck-failures-%d" % opts.seed)
    tool = None
    if opts.tool is not None:
        tool = os.path.abspath(opts.tool)
        if not os.access(tool, os.X_OK):
            print("tool not found or not executable: %s" % tool)
            return 2
    print("crosscheck seed %d, %d cases from case %d, binary %s%s" % (
        opts.seed, opts.cases, opts.first, binary, "" if tool is None else ", tool " + tool))

    indices = [opts.case] if opts.case is not None else range(opts.first, opts.first + opts.cases)
    passed = failed = 0
    shrunk_one = False
    stats = collections.Counter()
    with tempfile.TemporaryDirectory(prefix="crosscheck-") as tmp:
        for idx in indices:
            case_seed = opts.seed * 1000003 + idx
            gt, sysout, extra = make_case(case_seed)
            events = None if tool is None else events_options(case_seed, opts.events_share)
            rules = None if tool is None else random_rules(case_seed, opts.rules_share)
            if rules is not None:
                stats["rules cases"] += 1
            try:
                expected, actual, args = check(binary, tmp, gt, sysout, extra, tool, events,
                                               stats, rules)
            except ModelInputError as exc:
                print("generator fault in case %d (seed %d): %s" % (idx, opts.seed, exc))
                failed += 1
                continue
            if expected == actual:
                passed += 1
                continue
            failed += 1
            dest = os.path.join(keep_dir, "case-%d" % idx)
            os.makedirs(dest, exist_ok=True)
            for name, data in (("gt.csv", gt), ("sys.csv", sysout)):
                if data is not None:
                    with open(os.path.join(dest, name), "wb") as fh:
                        fh.write(data)
            with open(os.path.join(dest, "args.txt"), "w") as fh:
                fh.write(" ".join(["gt.csv", "sys.csv", "result.csv"] + extra) + "\n")
                if events is not None and events[0] is not None:
                    fh.write("events with --near %s\n" % events[0])
                if rules is not None:
                    fh.write("talmira with %s\n" % " ".join(rules[1]))
            if failed <= opts.show:
                print("=" * 72)
                print("MISMATCH in case %d (seed %d); files kept in %s" % (idx, opts.seed, dest))
                print("extra arguments: %r%s" % (
                    extra, "" if rules is None else "; talmira with " + " ".join(rules[1])))
                print(describe(expected, actual))
                if not shrunk_one and not opts.no_shrink:
                    shrunk_one = True
                    sg, ss, sx = shrink(binary, tmp, gt, sysout, extra, tool, events, rules)
                    sdest = dest + "-shrunk"
                    os.makedirs(sdest, exist_ok=True)
                    for name, data in (("gt.csv", sg), ("sys.csv", ss)):
                        if data is not None:
                            with open(os.path.join(sdest, name), "wb") as fh:
                                fh.write(data)
                    print("-" * 72)
                    print("shrunk reproducer in %s, extra arguments %r" % (sdest, sx))
                    for name, data in (("gt.csv", sg), ("sys.csv", ss)):
                        print("--- %s ---" % name)
                        print("(missing)" if data is None else repr(data.decode("latin-1")))
                    e, a, _ = check(binary, tmp, sg, ss, sx, tool, events, rules=rules)
                    print(describe(e, a))
    if tool is not None:
        print("cases under random scoring rules: %d" % stats.pop("rules cases", 0))
        print_event_stats(stats)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
