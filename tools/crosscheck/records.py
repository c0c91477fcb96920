"""The model's reading of an annotation file: its records, the frames they
form, and the boxes that count (of a known class or a region, big enough
under the current rules).
"""

import math
import re

from . import rules
from .floats import FLOAT_RE, U32, f32, f32_of_decimal


KNOWN_CLASSES = ["Car", "Truck", "Tractor-Trailor", "Bus", "Container", "Boat",
                 "Plane", "Helicopter", "Person", "Cyclist"]
EVAL_CLASSES = ["All"] + KNOWN_CLASSES


NUM_RE = re.compile(r"[+-]?\d+")
WS = " \t\r\n\v\f"


class ModelInputError(Exception):
    """The generator produced a record outside the supported format."""


class Box:
    __slots__ = ("xs", "ys", "cls", "mark_a", "mark_b", "conf", "no_score",
                 "min_x", "max_x", "min_y", "max_y", "line")

    def __init__(self, xs, ys, cls, mark_a, mark_b, conf, line=0, no_score=False):
        self.line = line  # the record's line in its file, the header being 1
        self.xs, self.ys = xs, ys
        self.cls = cls
        self.mark_a, self.mark_b = mark_a, mark_b
        self.conf = conf
        # A detection its file gave no score (a MOT-family -1): its conf is
        # infinite, above every threshold, and the tool shows no number for it.
        self.no_score = no_score
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
        if corner_distance(xs[a], ys[a], xs[b], ys[b]) >= rules.MIN_SIDE:
            return True
    return False


_parsed = {}


def parse_annotation(data):
    """Frames of one annotation file, in file order (not to be altered: the
    frames of the last few files are kept for the next call)."""
    key = (data, rules.MIN_SIDE)  # the size test depends on the rules
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
