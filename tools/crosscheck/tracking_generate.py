"""Random adversarial tracking sequences for the tracking model's checks:
a MOT17-layout gt.txt, a tracker file and seqinfo.ini (or, for a quarter of
the cases, MOT15-layout files, whose length is their last frame), seeded.

What the generator aims at, and counts in each case's notes:

* IoUs on the thresholds: tracker boxes whose IoU with their ground truth is,
  by the formula in doubles, exactly 0.5, one ulp above, one and two ulps
  below, exactly 0.5 - eps (still a CLEAR match) and one ulp below that
  (not one), and alpha - eps and one ulp below it for a random HOTA alpha;
  found by searching the tracker box's coordinates ulp by ulp.
* Slivers: tracker boxes overlapping theirs by a few ulps along an edge or
  at a corner, IoUs about and below eps (the IoU's and the alignment's eps
  rules).
* Ties: tracker boxes repeated under another id (identical, so equally
  overlapping their ground truth), ground-truth boxes repeated, and objects
  crowded together, so that the solver's choice among equal assignments
  decides the figures.
* Identities that vanish and return (gaps in a track, a follower that skips
  frames, ids switching to a fresh id or swapping between two followers),
  frames where one side is empty, sequences with no tracker boxes or no
  ground truth at all.
* A track matched in exactly 80% or 20% of its frames (r = 0.8, 0.2).
* Many identities now and then; zero-size and negative-size boxes.
* MOT17 ground truth of the distractor classes 2, 7, 8, 12 (and of 3..13
  otherwise) with trackers on them, pedestrians with consider 0, for MOT15
  conf 0 rows.
* Numbers written as integers, short decimals, shortest round-trip texts,
  exact binary expansions (up to ~50 digits) and padded ones; tracker ids
  now and then written "3.0"; lines in frame order, in id order (as MOT17's
  gt.txt is) or shuffled.
"""

import collections
import math
import random
from decimal import Decimal

import numpy as np

EPS = 2.220446049250313e-16
DISTRACTORS = (2, 7, 8, 12)
OTHER_CLASSES = (3, 4, 5, 6, 9, 10, 11, 13)
ALPHAS = [0.05 + k * 0.05 for k in range(19)]


def _ious(g, d):
    """IoU of box g against the rows of d, elementwise by the model's formula."""
    gl, gt = g[0], g[1]
    gr, gb = gl + g[2], gt + g[3]
    dl, dt = d[:, 0], d[:, 1]
    dr, db = dl + d[:, 2], dt + d[:, 3]
    iw = np.maximum(np.minimum(gr, dr) - np.maximum(gl, dl), 0)
    ih = np.maximum(np.minimum(gb, db) - np.maximum(gt, dt), 0)
    inter = iw * ih
    a1 = (gr - gl) * (gb - gt)
    a2 = (dr - dl) * (db - dt)
    union = a1 + a2 - inter
    inter = np.where((a1 <= EPS) | (a2 <= EPS) | (union <= EPS), 0.0, inter)
    union = np.where(union <= EPS, 1.0, union)
    return inter / union


def threshold_targets(rng):
    """(name, IoU) of the thresholds' neighbourhoods; one random alpha."""
    below = math.nextafter(0.5, 0)
    alpha = rng.choice(ALPHAS[:9] + ALPHAS[10:])
    return [
        ("0.5", 0.5),
        ("0.5 + 1 ulp", math.nextafter(0.5, 1)),
        ("0.5 - 1 ulp", below),
        ("0.5 - 2 ulps", math.nextafter(below, 0)),
        ("0.5 - eps", 0.5 - EPS),
        ("0.5 - eps - 1 ulp", math.nextafter(0.5 - EPS, 0)),
        ("alpha - eps", alpha - EPS),
        ("alpha - eps - 1 ulp", math.nextafter(alpha - EPS, 0)),
    ]


def box_at_iou(g, target, nrng, candidates=12000, spread=60):
    """A box whose IoU with g is exactly `target` (None if none found): the
    same size moved sideways by the amount that gives it in reals, then its
    four numbers moved by a few ulps each."""
    l, t, w, h = g
    if w <= 0 or h <= 0:
        return None
    dx = w * (1 - target) / (1 + target)
    base = np.array([l + dx, t, w, h], dtype=np.float64)
    steps = nrng.integers(-spread, spread + 1, size=(candidates, 4))
    steps *= nrng.random((candidates, 4)) < 0.7
    d = base + steps * np.spacing(base)
    hit = np.nonzero(_ious(np.array(g, dtype=np.float64), d) == target)[0]
    if not len(hit):
        return None
    return [float(v) for v in d[hit[0]]]


def sliver(g, rng):
    """A box overlapping g by a few ulps along one edge (an IoU far below
    any threshold, above or below eps) or at one corner (below eps)."""
    l, t, w, h = g
    r, b = l + w, t + h

    def inside(edge, far):
        # a few ulps back from the edge, towards the box's other side
        step = math.inf if far > edge else -math.inf
        for _ in range(rng.randint(1, 4)):
            edge = math.nextafter(edge, step)
        return edge

    left = inside(r, l) if w > 0 else r
    out = [left, t, abs(w) + 1.0, h]
    if rng.random() < 0.5:
        out[1] = inside(b, t) if h > 0 else b
        out[3] = abs(h) + 1.0
    return out


class _Numbers:
    """How one case writes its numbers."""

    def __init__(self, rng):
        self.style = rng.choice(["int", "short", "repr", "exact", "padded"])
        self.rng = rng

    def coordinate(self, value):
        """The value as the case's style keeps it (rounded, for the short styles)."""
        if self.style == "int":
            return float(round(value))
        if self.style == "short":
            return round(value, 2)
        return value

    def text(self, value):
        value = float(value)
        if value == 0:
            return "0"
        if value.is_integer() and (self.style in ("int", "short") or self.rng.random() < 0.5):
            return "%d" % value
        if self.style == "exact" or "e" in repr(value):
            return format(Decimal(value), "f")
        if self.style == "padded":
            return repr(value) + "0" * self.rng.randint(1, 12)
        return repr(value)


class _Object:
    def __init__(self):
        self.ident = 0
        self.boxes = {}         # frame -> [l, t, w, h]
        self.consider = 1
        self.cls = 1


def make_tracking_case(seed):
    """A dict: layout ('mot17' or 'mot15'), rules (the model's), tool_rules,
    gt, tracker and seqinfo texts (seqinfo None for MOT15), length, notes."""
    rng = random.Random(seed)
    nrng = np.random.default_rng(seed)
    notes = collections.Counter()
    layout = "mot15" if rng.random() < 0.25 else "mot17"
    numbers = _Numbers(rng)
    many = rng.random() < 0.08
    length = rng.randint(1, 8 if many else 24)
    count = rng.randint(12, 40) if many else rng.choice([0, 1, 1, 2, 2, 3, 3, 4, 5, 6, 8])
    crowded = rng.random() < 0.4
    centre = (rng.uniform(0, 1500), rng.uniform(0, 800))
    lowest = 0 if rng.random() < 0.1 else 1
    gt_ids = rng.sample(range(lowest, 4 * count + 20 if rng.random() < 0.8 else 10 ** 6), count)

    objects = []
    for ident in gt_ids:
        obj = _Object()
        obj.ident = ident
        if layout == "mot17":
            kind = rng.random()
            if kind < 0.72:
                obj.cls, obj.consider = 1, (1 if rng.random() < 0.88 else 0)
            elif kind < 0.9:
                obj.cls, obj.consider = rng.choice(DISTRACTORS), (0 if rng.random() < 0.8 else 1)
            else:
                obj.cls, obj.consider = rng.choice(OTHER_CLASSES), (0 if rng.random() < 0.8 else 1)
        else:
            obj.consider = 1 if rng.random() < 0.9 else 0
        start = rng.randint(1, length)
        end = rng.randint(start, length)
        gap = rng.choice([0, 0, 0.15, 0.3])
        if crowded:
            x, y = centre[0] + rng.uniform(-60, 60), centre[1] + rng.uniform(-60, 60)
        else:
            x, y = rng.uniform(-40, 1800), rng.uniform(-20, 1000)
        w, h = rng.uniform(6, 120), rng.uniform(12, 260)
        vx, vy = rng.uniform(-12, 12), rng.uniform(-5, 5)
        clone = objects and rng.random() < 0.08
        if clone:
            notes["ground truth repeated"] += 1
            source = rng.choice(objects)
        for frame in range(start, end + 1):
            if gap and rng.random() < gap and frame not in (start, end):
                continue
            if clone and frame in source.boxes:
                obj.boxes[frame] = list(source.boxes[frame])
                continue
            k = frame - start
            box = [numbers.coordinate(x + vx * k), numbers.coordinate(y + vy * k),
                   numbers.coordinate(w * (1 + 0.01 * k)), numbers.coordinate(h)]
            roll = rng.random()
            if roll < 0.02:
                box[rng.choice([2, 3])] = 0.0
                notes["zero-size boxes"] += 1
            elif roll < 0.04:
                box[rng.choice([2, 3])] *= -1
                notes["negative-size boxes"] += 1
            obj.boxes[frame] = box
        if len(obj.boxes) < end - start + 1:
            notes["tracks with gaps"] += 1
        objects.append(obj)

    tracker = {}  # (frame, id) -> box, in insertion order
    order = []
    next_id = [rng.randint(-1, 5)]  # from -1, the first id may be 0

    def fresh():
        next_id[0] += rng.randint(1, 3)
        return next_id[0]

    def put(frame, ident, box):
        if (frame, ident) in tracker:
            return False
        tracker[(frame, ident)] = box
        order.append((frame, ident))
        return True

    # Followers of the objects.
    followers = []
    for obj in objects:
        n = rng.choices([0, 1, 2], [0.12, 0.7, 0.18])[0]
        for _ in range(n):
            followers.append({"obj": obj, "id": fresh(), "drop": rng.choice([0, 0.1, 0.3]),
                              "twin": fresh() if rng.random() < 0.12 else None,
                              "switch": rng.randint(1, length) if rng.random() < 0.25 else None})
    for frame in range(1, length + 1):
        if len(followers) >= 2 and rng.random() < 0.08:
            a, b = rng.sample(followers, 2)
            a["id"], b["id"] = b["id"], a["id"]
            notes["tracker ids swapped"] += 1
        for f in followers:
            if f["switch"] == frame:
                f["id"] = fresh()
                notes["tracker ids switched"] += 1
            box = f["obj"].boxes.get(frame)
            if box is None or rng.random() < f["drop"]:
                continue
            roll = rng.random()
            if roll < 0.25:
                out = list(box)
            elif roll < 0.55:
                out = [numbers.coordinate(v + rng.gauss(0, 0.03) * abs(s))
                       for v, s in zip(box, [box[2], box[3], box[2], box[3]])]
            elif roll < 0.7:
                out = [numbers.coordinate(v + rng.gauss(0, 0.25) * abs(s))
                       for v, s in zip(box, [box[2], box[3], box[2], box[3]])]
            elif roll < 0.95:
                name, target = rng.choice(threshold_targets(rng))
                out = box_at_iou(box, target, nrng)
                if out is None:
                    notes["IoU targets missed"] += 1
                    out = list(box)
                else:
                    notes["IoU " + name] += 1
            elif roll < 0.98:
                out = sliver(box, rng)
                notes["sliver overlaps"] += 1
            else:
                out = [rng.uniform(-50, 1800), rng.uniform(-50, 1000), rng.uniform(-5, 0),
                       rng.uniform(0, 100)]
                notes["negative-size boxes"] += 1
            if put(frame, f["id"], out) and f["twin"] is not None:
                if put(frame, f["twin"], list(out)):
                    notes["tracker boxes repeated"] += 1

    # A track matched in exactly 80% or 20% of its frames, far from the rest.
    if rng.random() < 0.2:
        span = rng.choice([5, 10])
        if span <= length:
            share = rng.choice([0.8, 0.2])
            obj = _Object()
            obj.ident = max(gt_ids, default=0) + rng.randint(1, 9)
            start = rng.randint(1, length - span + 1)
            base = [5000.0 + rng.randint(0, 100), 40.0, 50.0, 120.0]
            frames = list(range(start, start + span))
            obj.boxes = {frame: list(base) for frame in frames}
            objects.append(obj)
            ident = fresh()
            for frame in sorted(rng.sample(frames, round(span * share))):
                put(frame, ident, list(base))
            notes["tracks matched in %d%% of their frames" % round(100 * share)] += 1

    # Tracks of nothing.
    for _ in range(rng.choice([0, 0, 1, 2])):
        ident = fresh()
        start = rng.randint(1, length)
        for frame in range(start, rng.randint(start, length) + 1):
            put(frame, ident, [numbers.coordinate(rng.uniform(-50, 1800)),
                               numbers.coordinate(rng.uniform(-50, 1000)),
                               numbers.coordinate(rng.uniform(5, 150)),
                               numbers.coordinate(rng.uniform(10, 300))])

    # Frames with one side empty; now and then a whole side.
    empty_tracker, empty_gt = set(), set()
    if rng.random() < 0.3:
        empty_tracker = set(rng.sample(range(1, length + 1), rng.randint(1, min(3, length))))
    if rng.random() < 0.2:
        empty_gt = set(rng.sample(range(1, length + 1), rng.randint(1, min(3, length))))
    if rng.random() < 0.03:
        empty_tracker = set(range(1, length + 1))
        notes["no tracker boxes"] += 1
    elif rng.random() < 0.03:
        empty_gt = set(range(1, length + 1))
        notes["no ground truth"] += 1
    notes["frames without tracker boxes"] += len(empty_tracker)
    notes["frames without ground truth"] += len(empty_gt)

    gt_rows = [(frame, obj.ident, box, obj) for obj in objects
               for frame, box in sorted(obj.boxes.items()) if frame not in empty_gt]
    tracker_rows = [(frame, ident, tracker[(frame, ident)]) for frame, ident in order
                    if frame not in empty_tracker]
    if layout == "mot15" and not gt_rows and not tracker_rows:
        tracker_rows = [(1, 1, [0.0, 0.0, 10.0, 10.0])]
    gt_order = rng.random()
    if gt_order < 0.3:
        gt_rows.sort(key=lambda r: r[0])
    elif gt_order < 0.5:
        rng.shuffle(gt_rows)
    if rng.random() < 0.3:
        rng.shuffle(tracker_rows)
    else:
        tracker_rows.sort(key=lambda r: r[0])

    text = numbers.text
    gt_lines = []
    for frame, ident, box, obj in gt_rows:
        head = "%d,%d,%s" % (frame, ident, ",".join(text(v) for v in box))
        if layout == "mot17":
            gt_lines.append("%s,%d,%d,%s" % (head, obj.consider, obj.cls,
                                             text(round(rng.random(), rng.choice([1, 6])))))
        else:
            gt_lines.append("%s,%d,-1,-1,-1" % (head, obj.consider))
    float_ids = rng.random() < 0.3
    tracker_class = "1" if layout == "mot17" and rng.random() < 0.2 else "-1"
    tracker_lines = []
    for frame, ident, box in tracker_rows:
        tracker_lines.append("%d,%s,%s,%s,%s,-1,-1" % (
            frame, ("%d.0" % ident) if float_ids else "%d" % ident,
            ",".join(text(v) for v in box), text(round(rng.uniform(0, 1), 4)), tracker_class))
    seq_length = length + rng.choice([0, 0, 0, 1, 3])
    case = {
        "layout": layout,
        "rules": "mot15" if layout == "mot15" else "mot17",
        "tool_rules": "mot15" if layout == "mot15" else "mot",
        "gt": "".join(line + "\n" for line in gt_lines),
        "tracker": "".join(line + "\n" for line in tracker_lines),
        "seqinfo": None if layout == "mot15" else (
            "[Sequence]\nname=RANDOM-%d\nimDir=img1\nframeRate=30\nseqLength=%d\n"
            "imWidth=1920\nimHeight=1080\nimExt=.jpg\n" % (seed % 100000, seq_length)),
        "length": None if layout == "mot15" else seq_length,
        "notes": notes,
    }
    notes["MOT15 cases" if layout == "mot15" else "MOT17 cases"] += 1
    notes["cases with many ids"] += many
    return case
