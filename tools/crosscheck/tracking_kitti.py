"""The KITTI tracking benchmark's preprocessing, modelled from how its
evaluator (TrackEval's Kitti2DBox) behaves, feeding the measures of
tracking.py; random adversarial KITTI sequences; and `talmira track
--rules kitti` against the model, class by class, field by field.

The rules, as the model reads them (eps is the double's machine epsilon):

* A file is one object a line, values apart by single blanks: frame,
  track id, type, truncated, occluded, alpha, left, top, right, bottom, then
  3D values and (a tracker's) a score. The frame is kept as its text, and
  the sequence's frames are the texts "0" .. str(length - 1); a box of any
  other frame text is refused (but for what is dropped unread, below).
* Ground truth: a line whose type, lower-cased, is "dontcare" is an area to
  ignore, whatever its track id. Any other line (ground truth or tracker)
  whose track id, read as a float then cut to an int, is negative is
  dropped unread. The others' types are looked up lower-cased among car 1,
  van 2, truck 3, pedestrian 4, person 5, cyclist 6, tram 7, misc 8,
  dontcare 9, car_2 1; an unknown one is refused.
* Every value is then a float; ids and classes are cut to ints, as are the
  ground truth's truncation and occlusion (numpy's astype(int), toward 0).
* IoU over corners as tracking.box_ious computes it (on corners, not
  widths), between every read ground-truth box and tracker box of a frame.
* For the class c (car 1, with van 2 as its distractor; pedestrian 4, with
  person 5): the ground truth of class c or its distractor, and the tracker
  boxes of class c. IoUs below 0.5 - eps are set to 0, one optimal
  assignment, pairs above eps matched. A tracker box matched to a
  distractor, or to ground truth whose occlusion > 2 + eps or truncation >
  0 + eps, is removed. An unmatched tracker box is removed when its height
  (bottom - top) <= 25 + eps, or when for any DontCare area of the frame
  its intersection over its own area (0 where that area <= eps) > 0.5 + eps.
* The ground truth kept: class c, occlusion <= 2, truncation <= 0.
* An id twice in a frame among the kept boxes (tracker first, then ground
  truth) is refused; ids relabelled 0..N-1 in sorted order.
"""

import os
import random
import shutil
import struct
import tempfile

import numpy as np
from scipy.optimize import linear_sum_assignment

from . import tracking
from .runner import run_quietly

EPS = tracking.EPS
TYPES = {"car": 1, "van": 2, "truck": 3, "pedestrian": 4, "person": 5, "cyclist": 6,
         "tram": 7, "misc": 8, "dontcare": 9, "car_2": 1}
CLASSES = (("car", 1, 2), ("pedestrian", 4, 5))  # name, class, distractor
MAX_OCCLUSION = 2
MAX_TRUNCATION = 0
MIN_HEIGHT = 25


# --- reading ---------------------------------------------------------------

def read_rows(text, truth):
    """(rows by frame text, areas by frame text): the values of each line as
    texts, the type turned into its number."""
    rows, areas = {}, {}
    for line in text.splitlines():
        values = line.split(" ")
        if values and values[-1] == "":
            values = values[:-1]
        if not values:
            continue
        frame = values[0]
        if truth and values[2].lower() == "dontcare":
            values[2] = TYPES["dontcare"]
            areas.setdefault(frame, []).append(values)
            continue
        if int(float(values[1])) < 0:
            continue
        kind = values[2].lower()
        if kind not in TYPES:
            raise tracking.ModelInputError("type %s unknown" % values[2])
        values[2] = TYPES[kind]
        rows.setdefault(frame, []).append(values)
    return rows, areas


def corner_ious(a, b, over_own_area=False):
    """IoU (or intersection over the area of a's box) of (n, 4) and (m, 4)
    arrays of left, top, right, bottom."""
    a = np.asarray(a, dtype=np.float64).reshape(-1, 4)
    b = np.asarray(b, dtype=np.float64).reshape(-1, 4)
    low = np.minimum(a[:, np.newaxis, :], b[np.newaxis, :, :])
    high = np.maximum(a[:, np.newaxis, :], b[np.newaxis, :, :])
    inter = (np.maximum(low[..., 2] - high[..., 0], 0)
             * np.maximum(low[..., 3] - high[..., 1], 0))
    area_a = (a[:, 2] - a[:, 0]) * (a[:, 3] - a[:, 1])
    if over_own_area:
        out = np.zeros_like(inter)
        valid = area_a > 0 + EPS
        out[valid, :] = inter[valid, :] / area_a[valid][:, np.newaxis]
        return out
    area_b = (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1])
    union = area_a[:, np.newaxis] + area_b[np.newaxis, :] - inter
    inter[area_a <= 0 + EPS, :] = 0
    inter[:, area_b <= 0 + EPS] = 0
    inter[union <= 0 + EPS] = 0
    union[union <= 0 + EPS] = 1
    return inter / union


class _Frame:
    """A frame's boxes as the evaluator holds them."""

    def __init__(self, rows, areas, truth):
        values = np.asarray([[float(v) for v in r] for r in rows], dtype=np.float64)
        values = values.reshape(len(rows), values.shape[1] if len(rows) else 17)
        self.boxes = values[:, 6:10]
        self.ids = values[:, 1].astype(int)
        self.classes = values[:, 2].astype(int)
        if truth:
            self.truncation = values[:, 3].astype(int)
            self.occlusion = values[:, 4].astype(int)
            self.areas = np.asarray([[float(v) for v in r[6:10]] for r in areas],
                                    dtype=np.float64).reshape(-1, 4)


def frames_of(text, length, truth):
    rows, areas = read_rows(text, truth)
    known = set(str(t) for t in range(length))
    extra = [key for key in rows if key not in known]
    if extra:
        raise tracking.ModelInputError("frames %s outside 0..%d" % (extra, length - 1))
    return [_Frame(rows.get(str(t), []), areas.get(str(t), []), truth) for t in range(length)]


def preprocess(gt_text, tracker_text, length, cls, distractor):
    """The tracking.Sequence of class `cls` under the benchmark's rules."""
    gt_frames = frames_of(gt_text, length, True)
    tracker_frames = frames_of(tracker_text, length, False)
    kept = []
    for g, h in zip(gt_frames, tracker_frames):
        similarity = corner_ious(g.boxes, h.boxes)
        in_class = np.isin(g.classes, [cls, distractor])
        mine = h.classes == cls
        gt_ids, gt_classes = g.ids[in_class], g.classes[in_class]
        occlusion, truncation = g.occlusion[in_class], g.truncation[in_class]
        tracker_ids, tracker_boxes = h.ids[mine], h.boxes[mine]
        scores_all = similarity[in_class, :][:, mine]
        removed = []
        unmatched = list(range(len(tracker_ids)))
        if len(gt_ids) and len(tracker_ids):
            scores = scores_all.copy()
            scores[scores < 0.5 - EPS] = 0
            rows, cols = linear_sum_assignment(-scores)
            paired = scores[rows, cols] > 0 + EPS
            rows, cols = rows[paired], cols[paired]
            for i, j in zip(rows, cols):
                if (gt_classes[i] == distractor or occlusion[i] > MAX_OCCLUSION + EPS
                        or truncation[i] > MAX_TRUNCATION + EPS):
                    removed.append(int(j))
            unmatched = [j for j in unmatched if j not in set(int(c) for c in cols)]
        if unmatched:
            boxes = tracker_boxes[unmatched]
            short = boxes[:, 3] - boxes[:, 1] <= MIN_HEIGHT + EPS
            inside = np.any(corner_ious(boxes, g.areas, over_own_area=True) > 0.5 + EPS, axis=1)
            removed += [j for j, s, w in zip(unmatched, short, inside) if s or w]
        keep_tracker = np.ones(len(tracker_ids), bool)
        keep_tracker[removed] = False
        keep_gt = ((occlusion <= MAX_OCCLUSION) & (truncation <= MAX_TRUNCATION)
                   & (gt_classes == cls))
        for ids in (tracker_ids[keep_tracker], gt_ids[keep_gt]):
            if len(set(ids.tolist())) != len(ids):
                raise tracking.ModelInputError("an id twice among the kept boxes")
        kept.append((gt_ids[keep_gt], tracker_ids[keep_tracker],
                     scores_all[keep_gt, :][:, keep_tracker]))
    gt_values = np.unique(np.concatenate([k[0] for k in kept] + [np.zeros(0, int)]))
    tracker_values = np.unique(np.concatenate([k[1] for k in kept] + [np.zeros(0, int)]))
    frames = [tracking.Frame(np.searchsorted(gt_values, a), np.searchsorted(tracker_values, b), s)
              for a, b, s in kept]
    return tracking.Sequence(frames, len(gt_values), len(tracker_values))


def model_measures(gt_text, tracker_text, length):
    """{class name: measures} of both classes."""
    return {name: tracking.evaluate(preprocess(gt_text, tracker_text, length, cls, d)).measures()
            for name, cls, d in CLASSES}


# --- a sequence worked out by hand ----------------------------------------

def _text(value):
    """The shortest text of a double that reads back as it (repr)."""
    if isinstance(value, int):
        return str(value)
    return repr(float(value))


def _line(frame, ident, kind, truncation, occlusion, box, score=None):
    values = [str(frame), _text(ident), kind, _text(truncation), _text(occlusion), "-10",
              _text(box[0]), _text(box[1]), _text(box[2]), _text(box[3]),
              "1.5", "1.6", "3.9", "1.0", "1.5", "20.0", "0.1"]
    if score is not None:
        values.append(_text(score))
    return " ".join(values)




def _gt(frame, ident, kind, box, truncation=0, occlusion=0):
    return _line(frame, ident, kind, truncation, occlusion, box)


def _tr(frame, ident, kind, box):
    return _line(frame, ident, kind, 0, 0, box, 0.5)


# Three frames (0..2, no seqmap: the last frame + 1). Car: ground truth 1 in
# every frame; van 2 and the occluded car 3 (occlusion 3) take tracker boxes
# 11 and 12 out; 13 lies inside the DontCare area, 14 is 25 high (out), 15
# is 26 high (a false positive), 17 lies on a car of track id -1 (dropped
# unread: a false positive). 10 matches 1 in frames 0 and 1, 16 in frame 2:
# TP 3, FP 2, a switch. Pedestrian: 5 (truncation 0.5 and occlusion 2.7,
# cut to 0 and 2: kept) matched by 20 in frame 0; truncated in frame 1 (its
# tracker box 20 taken out), a Person (sitting) in frame 2 (22 taken out);
# 21 and 23 (exactly half inside a DontCare area: kept) false positives.
WORKED_GT = "".join(l + "\n" for l in [
    _gt(0, 1, "Car", [0.0, 0.0, 100.0, 50.0]),
    _gt(0, 2, "Van", [200.0, 0.0, 300.0, 50.0]),
    _gt(0, 3, "Car", [400.0, 0.0, 500.0, 50.0], occlusion=3),
    _gt(0, -1, "DontCare", [600.0, 0.0, 700.0, 100.0], -1, -1),
    _gt(0, 5, "Pedestrian", [0.0, 100.0, 40.0, 200.0], truncation=0.5, occlusion=2.7),
    _gt(0, -1, "Car", [800.0, 0.0, 900.0, 50.0]),
    _gt(1, 1, "Car", [0.0, 0.0, 100.0, 50.0]),
    _gt(1, 5, "Pedestrian", [0.0, 100.0, 40.0, 200.0], truncation=1),
    _gt(2, 1, "Car", [0.0, 0.0, 100.0, 50.0]),
    _gt(2, 6, "Person", [100.0, 100.0, 140.0, 200.0]),
    _gt(2, 4, "DontCare", [600.0, 0.0, 700.0, 100.0], -1, -1),
])
WORKED_TRACKER = "".join(l + "\n" for l in [
    _tr(0, 10, "Car", [0.0, 0.0, 100.0, 50.0]),
    _tr(0, 11, "Car", [200.0, 0.0, 300.0, 50.0]),
    _tr(0, 12, "Car", [400.0, 0.0, 500.0, 50.0]),
    _tr(0, 13, "Car", [610.0, 10.0, 650.0, 60.0]),
    _tr(0, 14, "Car", [1000.0, 0.0, 1100.0, 25.0]),
    _tr(0, 15, "Car", [1000.0, 100.0, 1100.0, 126.0]),
    _tr(0, 17, "Car", [800.0, 0.0, 900.0, 50.0]),
    _tr(0, 20, "Pedestrian", [0.0, 100.0, 40.0, 200.0]),
    _tr(1, 10, "Car", [0.0, 0.0, 100.0, 50.0]),
    _tr(1, 30, "Cyclist", [0.0, 0.0, 100.0, 50.0]),
    _tr(1, -1, "Person_sitting", [0.0, 0.0, 100.0, 50.0]),
    _tr(1, 20, "Pedestrian", [0.0, 100.0, 40.0, 200.0]),
    _tr(1, 21, "Pedestrian", [680.0, 0.0, 720.0, 100.0]),
    _tr(2, 16, "Car", [0.0, 0.0, 100.0, 50.0]),
    _tr(2, 22, "Pedestrian", [100.0, 100.0, 140.0, 200.0]),
    _tr(2, 23, "Pedestrian", [680.0, 0.0, 720.0, 100.0]),
])
WORKED_FIGURES = {
    "car": {"CLR_TP": 3, "CLR_FN": 0, "CLR_FP": 2, "IDSW": 1, "MT": 1, "PT": 0, "ML": 0,
            "Frag": 0, "MOTA": 0.0,  # (3 - 2 - 1) / 3
            "MOTP": 1.0, "CLR_Frames": 3,
            # 1 with 10 in two frames: IDTP 2 of 3 ground truth, 5 tracker boxes
            "IDTP": 2, "IDFN": 1, "IDFP": 3, "IDF1": 0.5, "IDR": 2 / 3, "IDP": 0.4,
            # every IoU 1: DetA 3 / 5; AssA (2 * 2/3 + 1 * 1/3) / 3 = 5/9
            "HOTA_TP": 3, "HOTA_FP": 2, "DetA": 0.6,
            "AssA": 5 / 9, "HOTA": (0.6 * 5 / 9) ** 0.5},
    "pedestrian": {"CLR_TP": 1, "CLR_FN": 0, "CLR_FP": 2, "IDSW": 0, "MT": 1,
                   "MOTA": -1.0,  # (1 - 2) / 1
                   "IDTP": 1, "IDFN": 0, "IDFP": 2, "IDF1": 0.5,
                   "HOTA_TP": 1, "HOTA_FP": 2, "DetA": 1 / 3,
                   "AssA": 1.0, "HOTA": (1 / 3) ** 0.5},
}


def check_worked_case(tool=None, folder=None):
    """Lines for what the model, and the tool when given, get wrong of the
    hand-worked sequence."""
    from .tracking_cases import check_figures
    problems = []
    model = model_measures(WORKED_GT, WORKED_TRACKER, 3)
    for name, figures in WORKED_FIGURES.items():
        problems += check_figures("model", "kitti " + name, model[name], figures)
    if tool is not None:
        case = {"gt": WORKED_GT, "tracker": WORKED_TRACKER, "seqmap": False, "length": 3}
        actual, run_problems = run_tool(tool, *write_case(os.path.join(folder, "worked"), case))
        problems += run_problems
        for name, figures in WORKED_FIGURES.items():
            if actual is not None:
                problems += check_figures("tool", "kitti " + name, actual.get(name, {}), figures)
    return problems


def check_shipped_example(tool, root):
    """Lines for where the tool and the model differ on the repository's
    KITTI example (examples/kitti, its length from the seqmap beside it)."""
    from .tracking_check import Tally, compare_measures, describe
    folder = os.path.join(root, "examples", "kitti")
    gt_path = os.path.join(folder, "label_02", "0000.txt")
    tracker_path = os.path.join(folder, "tracker", "0000.txt")
    if not os.path.exists(gt_path):
        return ["no KITTI example at %s" % folder]
    with open(gt_path) as gt, open(tracker_path) as tracker:
        expected = model_measures(gt.read(), tracker.read(), 20)
    actual, problems = run_tool(tool, gt_path, tracker_path)
    wrong = []
    if actual is not None:
        tally = Tally()
        for name in expected:
            wrong += [(name + " " + w[0],) + w[1:] for w in
                      compare_measures(actual.get(name, {}), expected[name], tally,
                                       fields=tracking.ALL_FIELDS)]
    return problems + describe(wrong[:8], "tool against the model on examples/kitti")


# --- random adversarial sequences -----------------------------------------

def _spelt(rng, name):
    return rng.choice([name, name.lower(), name.upper()])


def _near(rng, box):
    """A box overlapping `box` at an IoU around 0.5 (either side of it), or
    the same box, or one well apart."""
    pick = rng.random()
    l, t, r, b = box
    if pick < 0.15:
        return list(box)
    if pick < 0.3:
        return [l + 400.0, t, r + 400.0, b]
    # A shift along x by a fraction of the width, which puts the IoU at
    # (w - s) / (w + s): 1/3 of the width gives exactly 0.5.
    w = r - l
    s = w / 3.0
    s = float(np.nextafter(s, rng.choice([-np.inf, np.inf]))) if rng.random() < 0.4 else s
    s *= rng.choice([1.0, 1.0, 0.9, 1.1, 0.5])
    return [l + s, t, r + s, b]


def make_kitti_case(seed):
    """A random sequence: gt and tracker texts, its length, and whether a
    seqmap gives it."""
    rng = random.Random(seed)
    length = rng.randint(2, 9)
    notes = {}

    def note(key):
        notes[key] = notes.get(key, 0) + 1

    gt, tracker = [], []
    objects = []
    for ident in range(rng.randint(1, 6)):
        kind = rng.choice(["Car", "Car", "Van", "Pedestrian", "Pedestrian", "Person",
                           "Cyclist", "Truck", "Car_2"])
        left = float(rng.randint(0, 40) * 10) + rng.choice([0.0, 0.5, 0.25])
        top = float(rng.randint(0, 20) * 10)
        width = float(rng.choice([30, 45, 60, 90]))
        height = float(rng.choice([24, 25, 26, 40, 60]))
        objects.append((ident, kind, [left, top, left + width, top + height]))
    tracker_ids = list(range(100, 100 + len(objects) + 3))
    for frame in range(length):
        used_gt, used_tracker = set(), set()
        for ident, kind, box in objects:
            if rng.random() < 0.25:
                continue
            moved = [v + rng.choice([0.0, 2.0, -3.5]) for v in box[:2]]
            gbox = [moved[0], moved[1], moved[0] + box[2] - box[0], moved[1] + box[3] - box[1]]
            truncation = rng.choice([0, 0, 0, 0.0, 0.3, 0.99, 1, 2, -0.5])
            occlusion = rng.choice([0, 1, 2, 2, 2.5, 2.999, 3, 3.5, -1])
            gt.append(_line(frame, ident, _spelt(rng, kind), truncation, occlusion, gbox))
            used_gt.add(ident)
            if truncation >= 1:
                note("truncated")
            if occlusion >= 3:
                note("occluded")
            if rng.random() < 0.8:
                target = kind if rng.random() < 0.8 else rng.choice(["Car", "Pedestrian"])
                if target in ("Van", "Person", "Truck", "Cyclist", "Car_2"):
                    target = "Car" if target in ("Van", "Truck", "Car_2") else "Pedestrian"
                tid = tracker_ids[ident] if rng.random() < 0.85 else rng.choice(tracker_ids)
                if tid in used_tracker:
                    continue
                used_tracker.add(tid)
                tracker.append(_line(frame, tid, _spelt(rng, target), 0, 0,
                                     _near(rng, gbox), rng.random()))
        # Negative track ids, on both sides: dropped unread.
        if rng.random() < 0.3:
            gt.append(_line(frame, rng.choice([-1, -3]), rng.choice(["Car", "Pedestrian",
                                                                      "Person_sitting"]),
                            0, 0, [10.0, 10.0, 80.0, 90.0]))
            note("negative id")
        if rng.random() < 0.3:
            tracker.append(_line(frame, -1, "Car", 0, 0, [10.0, 10.0, 80.0, 90.0], 0.5))
        # Tracker boxes of no partner: heights at 25 and an ulp either side.
        for _ in range(rng.randint(0, 3)):
            top = float(rng.randint(0, 30) * 10)
            height = rng.choice([25.0, 25.0, 26.0, 24.0, "up", "down"])
            bottom = (float(np.nextafter(top + 25.0, np.inf)) if height == "up"
                      else float(np.nextafter(top + 25.0, -np.inf)) if height == "down"
                      else top + height)
            left = float(rng.randint(50, 70) * 10)
            tid = rng.choice(tracker_ids)
            if tid in used_tracker:
                continue
            used_tracker.add(tid)
            tracker.append(_line(frame, tid, _spelt(rng, rng.choice(["Car", "Pedestrian"])), 0, 0,
                                 [left, top, left + 40.0, bottom], 0.3))
            note("short tracker box")
        # DontCare areas, and tracker boxes half inside one of them (or just
        # more, or just less), or inside two that overlap.
        for _ in range(rng.randint(0, 2)):
            left = float(rng.randint(0, 60) * 10)
            top = float(rng.randint(0, 20) * 10)
            area = [left, top, left + 100.0, top + 80.0]
            gt.append(_line(frame, rng.choice([-1, -1, 7]), _spelt(rng, "DontCare"), -1, -1, area))
            note("dontcare")
            if rng.random() < 0.5:
                gt.append(_line(frame, -1, "DontCare", -1, -1,
                                [area[0] + 50.0, area[1], area[2] + 50.0, area[3]]))
            # A box 40 wide and 60 high straddling the area's left side: its
            # part inside is (right - area left) / 40.
            inside = rng.choice([20.0, 20.0, 21.0, 19.0, "up", 40.0, 0.0])
            right = (float(np.nextafter(left + 20.0, np.inf)) if inside == "up"
                     else left + inside)
            tid = rng.choice(tracker_ids)
            if tid in used_tracker:
                continue
            used_tracker.add(tid)
            tracker.append(_line(frame, tid, _spelt(rng, rng.choice(["Car", "Pedestrian"])), 0, 0,
                                 [right - 40.0, top + 5.0, right, top + 65.0], 0.7))
            note("box by a dontcare area")
        # Classes never evaluated on the tracker's side.
        if rng.random() < 0.3:
            tid = rng.choice(tracker_ids)
            if tid not in used_tracker:
                used_tracker.add(tid)
                tracker.append(_line(frame, tid, rng.choice(["Cyclist", "Van", "DontCare"]), 0, 0,
                                     [5.0, 5.0, 60.0, 70.0], 0.9))
    seqmap = rng.random() < 0.5
    if seqmap:
        length += rng.choice([0, 0, 2])
        note("seqmap")
        # What the evaluator drops unread may lie beyond the sequence.
        if rng.random() < 0.5:
            gt.append(_line(length + 3, -1, "DontCare", -1, -1, [0.0, 0.0, 50.0, 50.0]))
            tracker.append(_line(length + 1, -2, "Car", 0, 0, [0.0, 0.0, 50.0, 50.0], 0.1))
            note("unread beyond the sequence")
    else:
        length = 1 + max([int(line.split(" ")[0]) for line in gt + tracker], default=0)
    if rng.random() < 0.2:
        rng.shuffle(gt)
    return {"gt": "".join(l + "\n" for l in gt), "tracker": "".join(l + "\n" for l in tracker),
            "length": length, "seqmap": seqmap, "notes": notes}


# --- against the tool ------------------------------------------------------

def write_case(folder, case):
    """label_02/0000.txt (with the seqmap above it when the case has one)
    and data/0000.txt in folder."""
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(os.path.join(folder, "label_02"))
    os.makedirs(os.path.join(folder, "data"))
    gt_path = os.path.join(folder, "label_02", "0000.txt")
    tracker_path = os.path.join(folder, "data", "0000.txt")
    with open(gt_path, "w") as out:
        out.write(case["gt"])
    with open(tracker_path, "w") as out:
        out.write(case["tracker"])
    if case["seqmap"]:
        with open(os.path.join(folder, "evaluate_tracking.seqmap.training"), "w") as out:
            out.write("0000 empty 000000 %06d\n" % case["length"])
    return gt_path, tracker_path


def run_tool(tool, gt_path, tracker_path):
    import json
    run = run_quietly([tool, "track", gt_path, tracker_path, "--rules", "kitti",
                       "--format", "json"])
    if run.returncode != 0:
        return None, ["talmira track --rules kitti failed (%d): %s" % (
            run.returncode, run.stderr.decode(errors="replace").strip()[:400])]
    doc = json.loads(run.stdout)
    problems = []
    if doc.get("rules") != "kitti":
        problems.append("rules %r, expected 'kitti'" % doc.get("rules"))
    classes = {c.get("class"): c.get("measures", {}) for c in doc.get("classes", [])}
    if sorted(classes) != ["car", "pedestrian"]:
        problems.append("classes %s, expected car and pedestrian" % sorted(classes))
    return classes, problems


def run_kitti_cases(tool, cases, seed, keep_dir=None):
    """Checks `cases` random sequences; returns how many failed."""
    from .tracking_check import Tally, compare_measures, describe
    keep_dir = keep_dir or os.path.join(tempfile.gettempdir(), "crosscheck-kitti-failures-%d" % seed)
    tally = Tally()
    notes = {}
    failed = 0
    with tempfile.TemporaryDirectory(prefix="crosscheck-kitti-") as tmp:
        for idx in range(cases):
            case = make_kitti_case(seed * 1000003 + idx)
            for key, value in case["notes"].items():
                notes[key] = notes.get(key, 0) + value
            try:
                expected = model_measures(case["gt"], case["tracker"], case["length"])
            except tracking.ModelInputError as exc:
                print("generator fault in case %d: %s" % (idx, exc))
                failed += 1
                continue
            gt_path, tracker_path = write_case(os.path.join(tmp, "case"), case)
            actual, problems = run_tool(tool, gt_path, tracker_path)
            wrong = []
            if actual is not None:
                for name in expected:
                    wrong += [(name + " " + w[0],) + w[1:] for w in
                              compare_measures(actual.get(name, {}), expected[name], tally,
                                               fields=tracking.ALL_FIELDS)]
            if not wrong and not problems:
                continue
            failed += 1
            dest = os.path.join(keep_dir, "case-%d" % idx)
            write_case(dest, case)
            print("MISMATCH in KITTI case %d (seed %d); files kept in %s" % (idx, seed, dest))
            for line in problems[:4] + describe(wrong[:8], "tool against the model"):
                print("  " + line)
    print("what the KITTI cases reached: " + ", ".join(
        "%s %d" % (key, notes[key]) for key in sorted(notes)))
    print("tool against the KITTI model: " + tally.line())
    return failed
