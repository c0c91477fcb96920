"""COCO's box average precision: an independent model of `talmira ap`, a
seeded generator of adversarial COCO pairs, and the runner that holds the
tool's JSON and text to the model.

The model (evaluate()) does what COCO's reference evaluator does for boxes,
step by step, written from the description of its rules:

* Reading.  Images and categories are taken in ascending id; ground truth on
  an image or of a category not listed is dropped (and counted); results of
  an unlisted category are dropped; a result on an unlisted image is an
  input error.  Within an (image, category) both sides keep file order.  A
  result's area is w * h; a ground truth's is its `area` field, read only
  when it is not a crowd (`iscrowd`; an `ignore` field has no effect).
* Per (image, category): the detections stably sorted by descending score
  and cut to the largest maxDets (100; maxDets count per image and per
  category), the IoU in doubles without +1 (over the detection's own area
  for a crowd).  Per area range (all, small, medium, large: both bounds
  inclusive, so an area of exactly 1024 or 9216 is in two ranges), the
  ground truth stably sorted with the non-ignored first, and per IoU
  threshold (linspace(.5, .95, 10), to the bit) each detection in score
  order takes the LAST ground truth of the highest IoU >= the threshold,
  skipping used non-crowd ones and falling back to ignored ground truth only
  when no regular one qualifies.  A detection matched to an ignored ground
  truth is ignored, an unmatched one outside the range (by w * h) too.  A
  ground truth whose id is 0 is matched like any other (the reference counts
  its partner as a false positive: this is the mended behaviour).
* Accumulation per (category, area, maxDets): the images' records in
  ascending image id, each cut to maxDets, stably sorted by score;
  precision tp / (tp + fp + 2.220446049250313e-16), recall tp / npig, the
  envelope from the right, and for each of the 101 recall thresholds the
  first index whose recall is >= it (0 past the end, and the scores array
  likewise).  Without non-ignored ground truth the cells stay -1; the final
  recall is the last one, or 0 without detections.  An empty results list
  gives zeros.
* The twelve summaries are numpy's mean (pairwise sums) of the cells > -1
  in C order of the sliced arrays, -1 when there are none; per category the
  same over the category's cells.

The generator (make_ap_case()) aims at the places where a careful
implementation can still go wrong: IoU exactly on each threshold and one ulp
either side (boxes searched in doubles, or whole-number ratios), detections
tied on score within an image and across images (listed out of id order),
crowds holding several detections beside regular ground truth, twin ground
truths of equal IoU, areas of exactly 1024 and 9216 (the `area` field on the
bound, one ulp beside it, or unlike w * h, and detections whose w * h is on
the bound), more than 100 detections of one category on one image, ground
truth of id 0, categories with detections and no ground truth, empty images,
unlisted images and categories, zero-size boxes, an `ignore` field, crowds
without `area`, whole-number and many-decimal coordinates, boxes scaled by
powers of two (areas past 1e10 too), negative, -0.0 and subnormal scores,
empty results.  json_text() writes a case's files in a style of its own:
on a share of the numbers another text of the same double (17 digits, an
exponent, the exact binary value, a whole number) or a decimal on or next to
the midpoint of two doubles, keys in any order (images after annotations),
segmentation beside the boxes, indented or not.

The runner (run_ap_cases()) writes each case to gt.json and results.json,
the model reads those files back (so it meets the doubles the tool meets),
runs `talmira ap GT RES --format json --arrays` and the default text, and
compares: the parameters, the precision, recall and scores arrays exactly,
the twelve stats and per category figures within 1e-12 (counting those that
are bit-equal), the summary entries, the category counts, the paths named,
and the first 12 lines of the text.  A failing pair is kept (--keep-dir)
and the first is shrunk to a small reproducer.  check_coco_ap_conformance() holds the model,
and the tool when given, to the reference evaluator's figures on the
corpus' real COCO pair.

    python3 tools/crosscheck.py --tool build/dev/talmira/talmira --ap 1000 --seed 1
    python3 tools/crosscheck.py [--tool T] --coco-ap GT.json RES.json expected/coco.json
"""

import collections
import decimal
import json
import math
import os
import random
import re
import shutil
import struct
import tempfile

import numpy as np

from .runner import run_quietly


# ---------------------------------------------------------------------------
# Parameters


def linspace(start, stop, num):
    """numpy's linspace with the end point: start + i * step, the last
    exactly `stop` (so 0.5 + 8 * step is 0.8999999999999999)."""
    step = (stop - start) / (num - 1)
    values = [i * step + start for i in range(num)]
    values[-1] = stop
    return tuple(values)


IOU_THRESHOLDS = linspace(0.5, 0.95, 10)
RECALL_THRESHOLDS = linspace(0.0, 1.0, 101)
MAX_DETECTIONS = (1, 10, 100)
# (label, low, high), both bounds inclusive.
AREA_RANGES = (("all", 0, 1e10), ("small", 0, 1024), ("medium", 1024, 9216),
               ("large", 9216, 1e10))
EPSILON = 2.220446049250313e-16  # one ulp of 1.0
# The best IoU a match starts from is min(threshold, this).
IOU_CEILING = 1 - 1e-10


class Params:
    """The evaluation's parameters (COCO's defaults unless given)."""

    def __init__(self, iou_thresholds=IOU_THRESHOLDS, recall_thresholds=RECALL_THRESHOLDS,
                 max_detections=MAX_DETECTIONS, area_ranges=AREA_RANGES):
        self.iou_thresholds = tuple(iou_thresholds)
        self.recall_thresholds = tuple(recall_thresholds)
        self.max_detections = tuple(max_detections)
        self.area_ranges = tuple(area_ranges)

    def as_json(self):
        """The `parameters` object of the tool's JSON."""
        return {"iou_thresholds": list(self.iou_thresholds),
                "recall_thresholds": list(self.recall_thresholds),
                "max_detections": list(self.max_detections),
                "area_ranges": [{"label": label, "low": low, "high": high}
                                for label, low, high in self.area_ranges]}


# (is AP, IoU threshold or None for all, area label, maxDets) of the twelve
# summaries, in their order.
SUMMARIES = ((True, None, "all", 100), (True, 0.5, "all", 100), (True, 0.75, "all", 100),
             (True, None, "small", 100), (True, None, "medium", 100),
             (True, None, "large", 100),
             (False, None, "all", 1), (False, None, "all", 10), (False, None, "all", 100),
             (False, None, "small", 100), (False, None, "medium", 100),
             (False, None, "large", 100))

# What evaluate() counts of the edges a case reaches (area all, for the matches).
COUNTED = ("IoUs on a threshold", "IoUs one ulp beside one", "matches of crowds",
           "matches of id 0", "areas on a range's bound", "pairs cut at maxDets",
           "tied scores", "tied scores across images", "dropped annotations",
           "dropped results")

LINE_FORMAT = " {:<18} {} @[ IoU={:<9} | area={:>6s} | maxDets={:>3d} ] = {:0.3f}"


class ModelInputError(Exception):
    """An input the reference evaluator refuses (the generator never writes one)."""


# ---------------------------------------------------------------------------
# The model


def box_iou(det, truth, crowd):
    """IoU of two [x, y, w, h] boxes of doubles, over the detection's own
    area when the ground truth is a crowd."""
    dx, dy, dw, dh = det
    gx, gy, gw, gh = truth
    w = min(dx + dw, gx + gw) - max(dx, gx)
    if w <= 0:
        return 0.0
    h = min(dy + dh, gy + gh) - max(dy, gy)
    if h <= 0:
        return 0.0
    inter = w * h
    union = dw * dh if crowd else dw * dh + gw * gh - inter
    if union == 0:
        raise ModelInputError("a box pair whose union is 0: %r %r" % (det, truth))
    return inter / union


class _Truth:
    __slots__ = ("id", "box", "crowd", "area")

    def __init__(self, ann):
        self.id = ann["id"]
        self.box = tuple(float(v) for v in ann["bbox"])
        self.crowd = bool(ann["iscrowd"])
        # The area field counts only for regular ground truth.
        self.area = None if self.crowd else float(ann["area"])


class _Detection:
    __slots__ = ("position", "box", "score", "area")

    def __init__(self, position, res):
        self.position = position
        self.box = tuple(float(v) for v in res["bbox"])
        self.score = float(res["score"])
        self.area = self.box[2] * self.box[3]


def _stable_by_score(items, score):
    """Stably sorted by descending score (ties keep their order)."""
    return sorted(items, key=lambda item: -score(item))


class _Record:
    """One (image, category, area range): the detections' scores in score
    order and, per threshold, whether each is matched and ignored."""
    __slots__ = ("scores", "matched", "ignored", "regular_truths", "partners")

    def __init__(self, scores, matched, ignored, regular_truths, partners):
        self.scores = scores
        self.matched = matched
        self.ignored = ignored
        self.regular_truths = regular_truths
        # The (threshold, detection, truth) of every match, for the counts.
        self.partners = partners


def _match(truths, dets, ious, low, high, thresholds):
    """The record of one (image, category) in one area range.  ious[d][g]
    is over the detections in score order and the truths in file order."""
    ignore = [t.crowd or t.area < low or t.area > high for t in truths]
    # Regular ground truth first, otherwise file order.
    order = sorted(range(len(truths)), key=lambda g: ignore[g])
    sorted_ignore = [ignore[g] for g in order]
    sorted_crowd = [truths[g].crowd for g in order]
    matched, ignored, partners = [], [], []
    for t, threshold in enumerate(thresholds):
        used = [False] * len(order)
        row_matched, row_ignored = [], []
        for d, det in enumerate(dets):
            best = min(threshold, IOU_CEILING)
            partner = -1
            for s, g in enumerate(order):
                if used[s] and not sorted_crowd[s]:
                    continue
                if partner > -1 and not sorted_ignore[partner] and sorted_ignore[s]:
                    break
                if ious[d][g] < best:
                    continue
                best = ious[d][g]
                partner = s
            if partner == -1:
                row_matched.append(False)
                row_ignored.append(det.area < low or det.area > high)
                continue
            used[partner] = True
            partners.append((t, d, truths[order[partner]]))
            row_matched.append(True)
            row_ignored.append(sorted_ignore[partner])
        matched.append(row_matched)
        ignored.append(row_ignored)
    return _Record([d.score for d in dets], matched, ignored,
                   sum(1 for flag in ignore if not flag), partners)


def _mean_above(cells):
    """numpy's mean of the cells > -1 (in the array's C order), -1 if none."""
    kept = cells[cells > -1]
    if kept.size == 0:
        return -1.0
    return float(np.mean(kept))


class Evaluation:
    """What evaluate() gives: arrays precision [T][R][K][A][M], recall
    [T][K][A][M] and scores [T][R][K][A][M] (numpy), stats (12), lines (the
    12 printed summaries), categories (dicts in the tool's layout, ascending
    id), warnings (what the model noticed, in words of its own) and a few
    counts of what the case exercised."""

    def __init__(self):
        self.params = None
        self.precision = self.recall = self.scores = None
        self.stats = []
        self.lines = []
        self.categories = []
        self.warnings = []
        self.counts = {}


def evaluate(truth, results, params=None):
    """The model's evaluation of a ground-truth document (a dict) and a
    results list."""
    params = params or Params()
    thresholds = params.iou_thresholds
    max_dets = params.max_detections
    images = sorted({image["id"] for image in truth.get("images", [])})
    image_set = set(images)
    names = {}
    for category in truth.get("categories", []):
        names[category["id"]] = category["name"]
    categories = sorted(names)
    cat_set = set(categories)

    ev = Evaluation()
    ev.params = params
    truths = {}
    dropped = 0
    regular = dict.fromkeys(categories, 0)
    zero_ids = 0
    for ann in truth.get("annotations", []):
        if ann["image_id"] not in image_set or ann["category_id"] not in cat_set:
            dropped += 1
            continue
        record = _Truth(ann)
        truths.setdefault((ann["image_id"], ann["category_id"]), []).append(record)
        if not record.crowd:
            regular[ann["category_id"]] += 1
        if record.id == 0:
            zero_ids += 1
    dets = {}
    detections = dict.fromkeys(categories, 0)
    dropped_results = 0
    for position, res in enumerate(results, 1):
        if res["category_id"] not in cat_set:
            dropped_results += 1
            continue
        if res["image_id"] not in image_set:
            raise ModelInputError("a result on image %r, which the ground truth does not list"
                                  % (res["image_id"],))
        dets.setdefault((res["image_id"], res["category_id"]), []).append(
            _Detection(position, res))
        detections[res["category_id"]] += 1
    if dropped:
        ev.warnings.append("%d ground truth annotations on unlisted images or categories"
                           % dropped)
    if dropped_results:
        ev.warnings.append("%d results of unlisted categories" % dropped_results)
    if zero_ids:
        ev.warnings.append("ground truth of id 0 matched like any other")
    if not results:
        ev.warnings.append("no results")

    # Per (image, category, area range): None when the pair has neither side.
    records = {}
    counts = dict.fromkeys(COUNTED, 0)
    beside = {math.nextafter(t, -1.0) for t in thresholds} | {math.nextafter(t, 2.0)
                                                                for t in thresholds}
    on_bound = {params.area_ranges[a][b] for a in range(1, len(params.area_ranges))
                for b in (1, 2)} - {0, 1e10}
    for image in images:
        for category in categories:
            key = (image, category)
            g = truths.get(key, [])
            d = dets.get(key, [])
            if not g and not d:
                continue
            if len(d) > max_dets[-1]:
                counts["pairs cut at maxDets"] += 1
            d = _stable_by_score(d, lambda det: det.score)[:max_dets[-1]]
            ious = [[box_iou(det.box, t.box, t.crowd) for t in g] for det in d]
            for a, (_, low, high) in enumerate(params.area_ranges):
                records[image, category, a] = _match(g, d, ious, low, high, thresholds)
            for t_index, _, partner in records[image, category, 0].partners:
                if partner.id == 0:
                    counts["matches of id 0"] += 1
                if partner.crowd:
                    counts["matches of crowds"] += 1
            for row in ious:
                for value in row:
                    if value in thresholds:
                        counts["IoUs on a threshold"] += 1
                    elif value in beside:
                        counts["IoUs one ulp beside one"] += 1
            counts["areas on a range's bound"] += (
                sum(1 for t in g if t.area in on_bound) + sum(1 for det in d
                                                               if det.area in on_bound))

    T, R, K = len(thresholds), len(params.recall_thresholds), len(categories)
    A, M = len(params.area_ranges), len(max_dets)
    precision = -np.ones((T, R, K, A, M))
    recall = -np.ones((T, K, A, M))
    scores = -np.ones((T, R, K, A, M))
    rec_thresholds = np.array(params.recall_thresholds)
    for k, category in enumerate(categories):
        for a in range(A):
            chosen = [records[image, category, a] for image in images
                      if (image, category, a) in records]
            if not chosen:
                continue
            npig = sum(r.regular_truths for r in chosen)
            for m, max_det in enumerate(max_dets):
                # Image order, then score order within each image; the stable
                # sort keeps both among equal scores.
                flat = []
                for r in chosen:
                    for i, score in enumerate(r.scores[:max_det]):
                        flat.append((score, r, i))
                flat = _stable_by_score(flat, lambda item: item[0])
                if npig == 0:
                    continue
                if a == 0 and m == len(max_dets) - 1:
                    counts["tied scores"] += sum(
                        1 for i in range(1, len(flat)) if flat[i][0] == flat[i - 1][0])
                    counts["tied scores across images"] += sum(
                        1 for i in range(1, len(flat))
                        if flat[i][0] == flat[i - 1][0] and flat[i][1] is not flat[i - 1][1])
                sorted_scores = [item[0] for item in flat]
                for t in range(T):
                    tp = fp = 0
                    rc, pr = [], []
                    for _, r, i in flat:
                        if r.ignored[t][i]:
                            pass
                        elif r.matched[t][i]:
                            tp += 1
                        else:
                            fp += 1
                        rc.append(float(tp) / npig)
                        pr.append(float(tp) / (float(tp) + float(fp) + EPSILON))
                    recall[t, k, a, m] = rc[-1] if rc else 0.0
                    for i in range(len(pr) - 1, 0, -1):
                        if pr[i] > pr[i - 1]:
                            pr[i - 1] = pr[i]
                    where = np.searchsorted(np.array(rc, dtype=float), rec_thresholds,
                                            side="left")
                    row_p = np.zeros(R)
                    row_s = np.zeros(R)
                    for ri, pi in enumerate(where):
                        if pi >= len(pr):
                            break
                        row_p[ri] = pr[pi]
                        row_s[ri] = sorted_scores[pi]
                    precision[t, :, k, a, m] = row_p
                    scores[t, :, k, a, m] = row_s
    ev.precision, ev.recall, ev.scores = precision, recall, scores

    area_index = {label: a for a, (label, _, _) in enumerate(params.area_ranges)}

    def threshold_index(value):
        where = [t for t, thr in enumerate(thresholds) if thr == value]
        if len(where) != 1:
            raise ModelInputError("IoU threshold %r not among the thresholds" % value)
        return where[0]

    def summary(is_ap, iou, area, max_det, k=None):
        """The mean of the cells > -1 of the thresholds (one or all), the
        categories (one or all), one area range and one maxDets."""
        if iou is None:
            ts = slice(None)
        else:
            ts = slice(threshold_index(iou), threshold_index(iou) + 1)
        ks = slice(None) if k is None else k
        a = area_index[area]
        m = list(max_dets).index(max_det)
        if is_ap:
            return _mean_above(precision[ts, :, ks, a, m])
        return _mean_above(recall[ts, ks, a, m])

    for is_ap, iou, area, max_det in SUMMARIES:
        value = summary(is_ap, iou, area, max_det)
        ev.stats.append(value)
        iou_text = ("%0.2f:%0.2f" % (thresholds[0], thresholds[-1]) if iou is None
                    else "%0.2f" % iou)
        ev.lines.append(LINE_FORMAT.format(
            "Average Precision" if is_ap else "Average Recall", "(AP)" if is_ap else "(AR)",
            iou_text, area, max_det, value))
    for k, category in enumerate(categories):
        ev.categories.append({
            "id": category, "name": names[category],
            "ap": summary(True, None, "all", 100, k),
            "ap50": summary(True, 0.5, "all", 100, k),
            "ap75": summary(True, 0.75, "all", 100, k),
            "ap_small": summary(True, None, "small", 100, k),
            "ap_medium": summary(True, None, "medium", 100, k),
            "ap_large": summary(True, None, "large", 100, k),
            "ar100": summary(False, None, "all", 100, k),
            "ground_truth": regular[category],
            "detections": detections[category]})
    counts["dropped annotations"] = dropped
    counts["dropped results"] = dropped_results
    ev.counts = counts
    return ev


def tool_document(ev, gt_path, res_path):
    """What `talmira ap --format json --arrays` writes for the evaluation, as
    the model has it (the warnings in the model's words)."""
    summary = []
    for (is_ap, iou, area, max_det), value in zip(SUMMARIES, ev.stats):
        summary.append({"measure": "AP" if is_ap else "AR",
                        "iou": "0.50:0.95" if iou is None else "%0.2f" % iou,
                        "area": area, "max_detections": max_det, "value": value})
    return {"protocol": "coco", "ground_truth": gt_path, "system": res_path,
            "parameters": ev.params.as_json(), "stats": list(ev.stats), "summary": summary,
            "categories": ev.categories, "warnings": list(ev.warnings),
            "arrays": {"precision": ev.precision.tolist(), "recall": ev.recall.tolist(),
                       "scores": ev.scores.tolist()}}


# ---------------------------------------------------------------------------
# The generator


CATEGORY_NAMES = ["person", "bicycle", "car", "traffic light", "stop sign", "dog", "hair drier",
                  "wine glass", "teddy bear", "toothbrush", "Straßenbahn", 'say "hi"', "猫"]

# Sides that put w * h on the area ranges' bounds (1024 = 32 * 32, 9216 = 96 * 96).
BOUND_SIDES = [(32, 32), (16, 64), (64, 16), (12.8, 80), (25.6, 40), (96, 96), (48, 192),
               (128, 72), (1, 1024), (9216, 1)]


def _after(value, steps):
    """The double `steps` ulps above (below, when negative) `value`."""
    for _ in range(abs(steps)):
        value = math.nextafter(value, math.inf if steps > 0 else -math.inf)
    return value


def _search(make, crowd, truth, target, low, high):
    """A parameter p in [low, high] for which box_iou(make(p), truth) is
    `target`, one ulp below or one ulp above it: {-1|0|1: box}.  The IoU
    is taken to grow with p."""
    def iou(p):
        return box_iou(make(p), truth, crowd)

    lo, hi = low, high
    if not iou(lo) <= target <= iou(hi):
        return {}
    for _ in range(200):
        mid = (lo + hi) / 2
        if mid in (lo, hi):
            break
        if iou(mid) < target:
            lo = mid
        else:
            hi = mid
    goals = {target: 0, math.nextafter(target, -1.0): -1, math.nextafter(target, 2.0): 1}
    found = {}
    for start, direction in ((hi, 1), (hi, -1)):
        p = start
        for _ in range(300):
            value = iou(p)
            if value in goals and goals[value] not in found:
                found[goals[value]] = make(p)
            p = _after(p, direction)
    return found


class _CaseGen:
    """One case's state: the ground truth and results being written."""

    def __init__(self, rng):
        self.rng = rng
        self.ints = rng.random() < 0.35
        self.decimals = None if self.ints else rng.choice([None, None, None, 1, 2, 3, 6])
        self.score_pool = rng.sample([1, 0, 0.9, 0.5, 0.75, 0.3333333333333333, 0.05, 1e-9,
                                      -0.0, -0.25, 2.5, 5e-324, round(rng.random(), 3),
                                      rng.random()], rng.randint(1, 5))
        self.tie_rate = rng.choice([0.0, 0.4, 0.8, 1.0])
        self.truths = []
        self.results = []

    # Numbers

    def number(self, value):
        """A coordinate as the case writes them: whole, few or many decimals."""
        if self.ints:
            return int(round(value))
        if self.decimals is not None:
            return round(value, self.decimals)
        return value

    def side(self):
        rng = self.rng
        pick = rng.random()
        if pick < 0.04:
            return 0
        if pick < 0.2:
            return self.number(rng.choice([32, 96, 16, 64, 48, 192, 31, 33, 95, 97]))
        return self.number(math.exp(rng.uniform(0.0, math.log(320.0))))

    def score(self):
        rng = self.rng
        if rng.random() < self.tie_rate:
            return rng.choice(self.score_pool)
        if rng.random() < 0.03:
            return rng.uniform(-1.0, 0.0)  # nothing asks a score to be positive
        return rng.choice([rng.random(), round(rng.random(), 2), round(rng.random(), 1)])

    # Boxes

    def box(self):
        rng = self.rng
        return [self.number(rng.uniform(-5, 600)), self.number(rng.uniform(-5, 400)),
                self.side(), self.side()]

    def jittered(self, box, spread):
        rng = self.rng
        x, y, w, h = (float(v) for v in box)
        scale = max(w, h, 1.0) * spread
        nx, ny = x + rng.uniform(-scale, scale), y + rng.uniform(-scale, scale)
        nw = max(0.0, w + rng.uniform(-scale, scale))
        nh = max(0.0, h + rng.uniform(-scale, scale))
        return [self.number(nx), self.number(ny), self.number(nw), self.number(nh)]

    def bound_box(self):
        """A box whose w * h lies on an area range's bound, or one ulp beside it."""
        rng = self.rng
        w, h = rng.choice(BOUND_SIDES)
        if not self.ints and rng.random() < 0.4:
            w = _after(float(w), rng.choice([-1, 1]))
        return [self.number(rng.uniform(0, 500)), self.number(rng.uniform(0, 300)), w, h]

    def tuned(self, truth_box, crowd):
        """A detection whose IoU with the box is on an IoU threshold or one ulp
        beside it (whole numbers: on k / 20, or 1 / 20 beside), or None."""
        rng = self.rng
        t_index = rng.randrange(len(IOU_THRESHOLDS))
        target = IOU_THRESHOLDS[t_index]
        x, y, w, h = truth_box
        if self.ints:
            if w <= 0 or h <= 0:
                return None
            share = 10 + t_index + rng.choice([0, 0, 0, -1, 1])
            if crowd:
                # A 20-wide detection with `share` columns inside the crowd's right edge.
                dh = min(h, rng.randint(1, 40))
                return [x + w - share, y, 20, dh]
            scale = rng.randint(1, 6)
            big_h = 20 * scale
            return [x, y, w, share * scale] if big_h == h else None
        truth = tuple(float(v) for v in truth_box)
        x, y, w, h = truth
        if w <= 0 or h <= 0:
            return None
        goal = rng.choice([0, 0, -1, 1])
        if crowd:
            dw = rng.uniform(5, 60)
            dh = min(h, rng.uniform(5, 60))
            shapes = [(lambda p: [x + w - p, y, dw, dh], 0.0, dw)]
        else:
            shapes = [(lambda p: [x, y, w, p], 0.0, h),                   # shorter
                      (lambda p: [x, y, w, 2 * h - p], 0.0, h),           # taller
                      (lambda p: [x + w - p, y, w, h], 0.0, w),           # beside
                      (lambda p: [x + (w - p) / 2, y + (h - p * h / w) / 2, p, p * h / w],
                       0.0, w)]                                           # inside
        rng.shuffle(shapes)
        for make, low, high in shapes:
            found = _search(make, crowd, truth, target, low, high)
            if goal in found:
                return found[goal]
            if found:
                return found[rng.choice(sorted(found))]
        return None

    # The two sides

    def add_truth(self, image, category, box, crowd=False):
        rng = self.rng
        x, y, w, h = box
        area = float(w) * float(h) if not self.ints else w * h
        pick = rng.random()
        if pick < 0.08:
            area = rng.choice([1024, 9216, 1024.0, 9216.0])
        elif pick < 0.14 and not self.ints:
            area = _after(float(rng.choice([1024, 9216])), rng.choice([-1, 1]))
        elif pick < 0.24:
            area = area * rng.uniform(0.3, 1.0)  # a polygon's area under its box
        ann = {"id": None, "image_id": image, "category_id": category, "bbox": list(box),
               "area": area, "iscrowd": 1 if crowd else 0}
        if crowd and rng.random() < 0.15:
            del ann["area"]
        if not crowd and rng.random() < 0.04:
            ann["ignore"] = 1
        self.truths.append(ann)
        return ann

    def add_detection(self, image, category, box, score=None):
        self.results.append({"image_id": image, "category_id": category, "bbox": list(box),
                             "score": self.score() if score is None else score})

    def detections_of(self, image, category, box, crowd=False):
        rng = self.rng
        for _ in range(rng.choice([0, 1, 1, 1, 2, 3])):
            pick = rng.random()
            if pick < 0.2:
                det = list(box)
            elif pick < 0.55:
                det = self.jittered(box, rng.choice([0.02, 0.1, 0.3]))
            elif pick < 0.9:
                det = self.tuned(box, crowd) or self.jittered(box, 0.1)
            elif pick < 0.95:
                det = [box[0], box[1], 0, box[3]] if rng.random() < 0.5 else \
                    [box[0], box[1], box[2], 0]
            else:
                det = self.bound_box()
            self.add_detection(image, category, det)

    # Scenes of one (image, category)

    def scene(self, image, category):
        rng = self.rng
        kind = rng.choices(["empty", "plain", "crowd", "twins", "tuned", "many"],
                           [15, 40, 12, 8, 12, 3])[0]
        if kind == "empty":
            return
        if kind == "plain":
            for _ in range(rng.randint(1, 4)):
                box = self.box()
                self.add_truth(image, category, box)
                self.detections_of(image, category, box)
        elif kind == "crowd":
            big = [self.number(rng.uniform(0, 300)), self.number(rng.uniform(0, 200)),
                   self.number(rng.uniform(80, 400)), self.number(rng.uniform(80, 300))]
            self.add_truth(image, category, big, crowd=True)
            bx, by, bw, bh = (float(v) for v in big)
            for _ in range(rng.randint(0, 2)):
                # Regular ground truth inside the crowd, often with its detection.
                w, h = rng.uniform(5, bw / 2), rng.uniform(5, bh / 2)
                box = [self.number(bx + rng.uniform(0, bw - w)),
                       self.number(by + rng.uniform(0, bh - h)), self.number(w),
                       self.number(h)]
                self.add_truth(image, category, box)
                self.detections_of(image, category, box)
            for _ in range(rng.randint(2, 7)):
                if rng.random() < 0.3:
                    det = self.tuned(big, True)
                    if det is None:
                        continue
                else:
                    w, h = rng.uniform(2, bw / 2), rng.uniform(2, bh / 2)
                    det = [self.number(bx + rng.uniform(-w / 2, bw - w / 2)),
                           self.number(by + rng.uniform(-h / 2, bh - h / 2)),
                           self.number(w), self.number(h)]
                self.add_detection(image, category, det)
        elif kind == "twins":
            # Equal IoUs: one box twice, or two boxes either side of a detection.
            step = rng.choice([1, 2, 4, 8]) if self.ints else rng.choice([0.25, 0.5, 1.5])
            x, y = rng.randint(0, 400) * step, rng.randint(0, 300) * step
            w, h = rng.randint(4, 40) * step, rng.randint(4, 40) * step
            if rng.random() < 0.5:
                self.add_truth(image, category, [x, y, w, h])
                self.add_truth(image, category, [x, y, w, h])
                for _ in range(rng.randint(1, 3)):
                    self.add_detection(image, category, [x, y, w, h])
            else:
                s = rng.randint(1, 3) * step
                self.add_truth(image, category, [x, y, w, h])
                self.add_truth(image, category, [x + 2 * s, y, w, h])
                self.add_detection(image, category, [x + s, y, w, h])
                if rng.random() < 0.5:
                    self.add_detection(image, category, [x + s, y, w, h])
        elif kind == "tuned":
            box = self.box()
            if box[2] == 0 or box[3] == 0 or self.ints:
                scale = rng.randint(1, 6)
                box = [box[0], box[1], self.number(rng.uniform(5, 200)), 20 * scale]
            self.add_truth(image, category, box)
            for _ in range(rng.randint(1, 3)):
                det = self.tuned(box, False)
                if det is not None:
                    self.add_detection(image, category, det)
        elif kind == "many":
            boxes = [self.box() for _ in range(rng.randint(0, 5))]
            for box in boxes:
                self.add_truth(image, category, box)
            pool = [rng.random() for _ in range(rng.randint(1, 4))]
            for _ in range(rng.randint(101, 140)):
                if boxes and rng.random() < 0.3:
                    det = self.jittered(rng.choice(boxes), 0.02)
                else:
                    det = self.box()
                self.add_detection(image, category, det,
                                   rng.choice(pool) if rng.random() < 0.7 else None)
        # Now and then a false alarm or two.
        for _ in range(rng.choice([0, 0, 0, 1, 2])):
            self.add_detection(image, category, self.box())


def text_style(rng, seed):
    """How a case writes its numbers and objects (see json_text())."""
    return {"seed": "text-%d" % seed,
            "numbers": rng.choice([0.0, 0.0, 0.2, 0.6, 1.0]),
            "keys": rng.choice([0.0, 0.0, 0.3, 1.0]),
            "indent": rng.choice([None, None, None, 0, 1, "\t"]),
            "ascii": rng.random() < 0.5}


def _decimal_text(exact):
    """A Decimal's digits, plain or in exponent form."""
    return format(exact, "f") if -30 < exact.adjusted() < 30 else format(exact, "E")


def number_text(value, style):
    """A float's JSON text: its shortest form, or on a share of the values
    (fixed per value, so that a shrunk case keeps its texts) another text of
    the same double: 17 digits, an exponent, the exact binary value in
    decimal, a whole number, or a decimal on or next to the midpoint between
    the double and a neighbour, which a reader must round to even or to the
    nearer one."""
    text = repr(value)
    if not math.isfinite(value) or style["numbers"] == 0.0:
        return text
    rng = random.Random("%s/%s" % (style["seed"], text))
    if rng.random() >= style["numbers"]:
        return text
    form = rng.choice(["17", "e", "E", "exact", "whole", "half", "half", "near half"])
    if form == "17":
        return "%.17g" % value
    if form == "e":
        return "%.16e" % value
    if form == "E":
        return "%.20E" % value
    if form == "whole":
        return "%d" % value if value.is_integer() and abs(value) < 1e15 else text
    exact = decimal.Decimal(value)
    if form == "exact":
        return _decimal_text(exact)
    if value == 0.0:
        return text
    neighbour = decimal.Decimal(math.nextafter(value, rng.choice([-math.inf, math.inf])))
    with decimal.localcontext() as context:
        context.prec = 1200
        middle = (exact + neighbour) / 2
        if form == "near half":
            middle += (exact - neighbour) * decimal.Decimal("1e-25")
    return _decimal_text(middle)


def json_text(document, style):
    """JSON of the document, numbers written by number_text() and, on a
    share of the objects, keys in a shuffled order."""
    ascii_only = style["ascii"]
    indent = style["indent"]
    pad = "" if indent is None else (" " * indent if isinstance(indent, int) else indent)

    def write(item, depth):
        newline = "" if indent is None else "\n" + pad * (depth + 1)
        close_line = "" if indent is None else "\n" + pad * depth
        if isinstance(item, dict):
            pairs = list(item.items())
            if style["keys"] and pairs:
                rng = random.Random("%s/keys/%s" % (style["seed"],
                                                    json.dumps(item, sort_keys=True)))
                if rng.random() < style["keys"]:
                    rng.shuffle(pairs)
            if not pairs:
                return "{}"
            return "{" + ",".join(newline + json.dumps(k, ensure_ascii=ascii_only) + ": "
                                  + write(v, depth + 1) for k, v in pairs) + close_line + "}"
        if isinstance(item, list):
            if not item:
                return "[]"
            return "[" + ", ".join(newline + write(v, depth + 1) for v in item) + close_line + "]"
        if isinstance(item, float):
            return number_text(item, style)
        return json.dumps(item, ensure_ascii=ascii_only)

    return write(document, 0) + "\n"


def _dress(rng, gen):
    """What a case's boxes look like beyond their shapes: scaled by a power of
    two (IoUs stay as they were, areas move by its square), with segmentation
    beside the boxes (polygons, or run lengths for crowds)."""
    # Now and then so far that areas pass 1e10, beyond even the range "all".
    power = rng.choices([0, 3, 6, 20], [80, 8, 8, 2])[0] if gen.ints else \
        rng.choices([0, -12, -3, 3, 6, 20], [70, 8, 8, 6, 6, 2])[0]
    if power:
        factor = 2.0 ** power
        for item in gen.truths + gen.results:
            item["bbox"] = [int(v * factor) if gen.ints else v * factor
                            for v in item["bbox"]]
            if "area" in item:
                item["area"] = item["area"] * factor * factor
    if rng.random() < 0.5:
        for ann in gen.truths:
            x, y, w, h = ann["bbox"]
            if ann["iscrowd"]:
                ann["segmentation"] = {"counts": [rng.randint(0, 999) for _ in range(6)],
                                       "size": [480, 640]}
            else:
                ann["segmentation"] = [[x, y, x + w, y, x + w, y + h, x, y + h]]


def make_ap_case(seed):
    """(ground truth document, results list, text style) of one random COCO
    pair; json_text() writes the two in the style."""
    rng = random.Random("ap-%d" % seed)
    gen = _CaseGen(rng)
    n_categories = rng.choice([1, 1, 2, 3, 4, 6])
    first = 0 if rng.random() < 0.1 else 1
    category_ids = rng.sample(range(first, 90), n_categories)
    names = rng.sample(CATEGORY_NAMES, n_categories)
    categories = [{"id": i, "name": n, "supercategory": "thing"}
                  for i, n in zip(category_ids, names)]
    rng.shuffle(categories)  # the list's order is not the evaluation's
    n_images = rng.choices([0, 1, 2, 3, 4, 6, 9, 25], [2, 20, 20, 20, 15, 15, 8, 3])[0]
    image_ids = rng.sample(range(0, rng.choice([30, 1000, 10 ** 6])), n_images)
    images = [{"id": i, "file_name": "%012d.jpg" % i, "width": 640, "height": 480}
              for i in image_ids]
    # Some categories have detections and no ground truth, some neither.
    roles = {c: rng.choices(["both", "results only", "none"], [75, 18, 7])[0]
             for c in category_ids}
    for image in image_ids:
        if rng.random() < 0.12:
            continue  # an image without anything
        for category in category_ids:
            if roles[category] == "both":
                gen.scene(image, category)
            elif roles[category] == "results only":
                for _ in range(rng.randint(0, 4)):
                    gen.add_detection(image, category, gen.box())
    if image_ids and rng.random() < 0.1:
        # Ground truth the evaluation drops: an unlisted image or category.
        unlisted_image = max(image_ids) + 1 + rng.randint(0, 5)
        unlisted_category = max(category_ids) + 1 + rng.randint(0, 5)
        for _ in range(rng.randint(1, 3)):
            if rng.random() < 0.5:
                gen.add_truth(unlisted_image, rng.choice(category_ids), gen.box())
            else:
                gen.add_truth(rng.choice(image_ids), unlisted_category, gen.box())
        if rng.random() < 0.5:
            gen.add_detection(rng.choice(image_ids), unlisted_category, gen.box())
    _dress(rng, gen)
    # Unique annotation ids, one of them 0 now and then.
    start = rng.choices([0, 1, rng.randint(2, 10 ** 6)], [35, 45, 20])[0]
    ids = list(range(start, start + len(gen.truths)))
    rng.shuffle(ids)
    for ann, ann_id in zip(gen.truths, ids):
        ann["id"] = ann_id
    order = rng.random()
    if order < 0.6:
        rng.shuffle(gen.results)
    elif order < 0.7:
        gen.results.reverse()
    if rng.random() < 0.3:
        rng.shuffle(gen.truths)  # not grouped by image
    results = [] if rng.random() < 0.03 else gen.results
    truth = {"info": {"description": "case %d" % seed, "year": 2014}, "images": images,
             "annotations": gen.truths, "categories": categories}
    if rng.random() < 0.3:
        truth["licenses"] = [{"id": 1, "name": "x", "url": ""}]
    if rng.random() < 0.2:
        truth = dict(rng.sample(list(truth.items()), len(truth)))  # images last, say
    return truth, results, text_style(rng, seed)


# ---------------------------------------------------------------------------
# The runner

STAT_TOLERANCE = 1e-12
CATEGORY_FIGURES = ("ap", "ap50", "ap75", "ap_small", "ap_medium", "ap_large", "ar100")
CATEGORY_COUNTS = ("ground_truth", "detections")


def close(actual, expected):
    """Within 1e-12, absolute or relative."""
    if not isinstance(actual, (int, float)) or isinstance(actual, bool):
        return False
    difference = abs(actual - expected)
    return difference <= STAT_TOLERANCE or difference <= STAT_TOLERANCE * abs(expected)


def bits(value):
    return struct.pack("<d", float(value))


class Tally:
    """Figures compared across cases: how many were bit-equal."""

    def __init__(self):
        self.stats = self.stats_equal = 0
        self.figures = self.figures_equal = 0
        self.cells = 0
        self.largest = 0.0

    def add(self, actual, expected, figure):
        if isinstance(actual, (int, float)) and not isinstance(actual, bool):
            equal = bits(actual) == bits(expected)
            if math.isfinite(actual):
                self.largest = max(self.largest, abs(actual - expected))
        else:
            equal = False
        if figure:
            self.figures += 1
            self.figures_equal += equal
        else:
            self.stats += 1
            self.stats_equal += equal

    def line(self):
        return ("stats bit-equal %d of %d, per category figures bit-equal %d of %d, largest "
                "difference %r; %d array cells equal" % (
                    self.stats_equal, self.stats, self.figures_equal, self.figures,
                    self.largest, self.cells))


def _index_text(ev, name, index):
    """An array index with the category id, area label and maxDets named."""
    labels = {"precision": "tiou,rec,cat,area,maxdets", "scores": "tiou,rec,cat,area,maxdets",
              "recall": "tiou,cat,area,maxdets"}[name].split(",")
    parts = []
    for label, value in zip(labels, index):
        value = int(value)
        if label == "tiou":
            parts.append("IoU %r" % ev.params.iou_thresholds[value])
        elif label == "rec":
            parts.append("recall %r" % ev.params.recall_thresholds[value])
        elif label == "cat":
            parts.append("category id %r" % ev.categories[value]["id"])
        elif label == "area":
            parts.append("area %s" % ev.params.area_ranges[value][0])
        else:
            parts.append("maxDets %d" % ev.params.max_detections[value])
    return "[%s] (%s)" % (", ".join(str(int(v)) for v in index), ", ".join(parts))


def compare(ev, doc, text_lines, tally=None):
    """The differences (a list of lines) between the tool's JSON document
    and text lines and the model's evaluation."""
    problems = []
    tally = tally or Tally()
    if doc.get("protocol") != "coco":
        problems.append("protocol %r, expected 'coco'" % doc.get("protocol"))
    expected_params = ev.params.as_json()
    params = doc.get("parameters", {})
    for key, value in expected_params.items():
        if params.get(key) != value:
            problems.append("parameters.%s: %r, model %r" % (key, params.get(key), value))
    arrays = doc.get("arrays", {})
    for name, model in (("precision", ev.precision), ("recall", ev.recall),
                        ("scores", ev.scores)):
        if model.size == 0:
            # Nested lists without a number in them keep only the outer sizes.
            if arrays.get(name) != model.tolist():
                problems.append("arrays.%s: %.200r, model %r" % (name, arrays.get(name),
                                                                 model.tolist()))
            continue
        try:
            actual = np.array(arrays[name], dtype=float)
        except (KeyError, ValueError, TypeError) as exc:
            problems.append("arrays.%s unreadable (%s)" % (name, exc))
            continue
        if actual.shape != model.shape:
            problems.append("arrays.%s of shape %r, model %r" % (name, actual.shape,
                                                                  model.shape))
            continue
        differ = np.argwhere(~(actual == model))
        tally.cells += actual.size - len(differ)
        if len(differ):
            index = tuple(differ[0])
            problems.append("arrays.%s: %d cells differ, the first %s: tool %r, model %r" % (
                name, len(differ), _index_text(ev, name, index), float(actual[index]),
                float(model[index])))
    stats = doc.get("stats")
    if not isinstance(stats, list) or len(stats) != len(ev.stats):
        problems.append("stats: %r, model %r" % (stats, ev.stats))
    else:
        for i, (a, e) in enumerate(zip(stats, ev.stats)):
            tally.add(a, e, False)
            if not close(a, e):
                problems.append("stats[%d]: tool %r, model %r" % (i, a, e))
    summary = doc.get("summary")
    expected_summary = tool_document(ev, "", "")["summary"]
    if not isinstance(summary, list) or len(summary) != len(expected_summary):
        problems.append("summary: %d entries, model %d" % (
            len(summary) if isinstance(summary, list) else -1, len(expected_summary)))
    else:
        for i, (a, e) in enumerate(zip(summary, expected_summary)):
            for key in ("measure", "iou", "area", "max_detections"):
                if a.get(key) != e[key]:
                    problems.append("summary[%d].%s: %r, model %r" % (i, key, a.get(key),
                                                                      e[key]))
            if isinstance(stats, list) and i < len(stats) and a.get("value") != stats[i]:
                problems.append("summary[%d].value %r is not stats[%d] %r" % (
                    i, a.get("value"), i, stats[i]))
    categories = doc.get("categories")
    if not isinstance(categories, list):
        problems.append("categories: %r" % (categories,))
        categories = []
    ids = [c.get("id") for c in categories]
    if ids != [c["id"] for c in ev.categories]:
        problems.append("category ids %r, model %r" % (ids, [c["id"] for c in ev.categories]))
    for a, e in zip(categories, ev.categories):
        if a.get("id") != e["id"]:
            continue
        if a.get("name") != e["name"]:
            problems.append("category %r name %r, model %r" % (e["id"], a.get("name"),
                                                               e["name"]))
        for key in CATEGORY_FIGURES:
            tally.add(a.get(key), e[key], True)
            if not close(a.get(key), e[key]):
                problems.append("category %r %s: tool %r, model %r" % (e["id"], key, a.get(key),
                                                                      e[key]))
        for key in CATEGORY_COUNTS:
            if a.get(key) != e[key]:
                problems.append("category %r %s: tool %r, model %r" % (e["id"], key, a.get(key),
                                                                      e[key]))
    if text_lines is not None:
        for i, e in enumerate(ev.lines):
            a = text_lines[i] if i < len(text_lines) else None
            if a != e:
                problems.append("text line %d: tool %r, model %r" % (i + 1, a, e))
                break
    return problems


def _write_case(folder, truth, results, style):
    gt_path = os.path.join(folder, "gt.json")
    res_path = os.path.join(folder, "results.json")
    for path, document in ((gt_path, truth), (res_path, results)):
        with open(path, "w", encoding="utf-8") as out:
            out.write(json_text(document, style))
    return gt_path, res_path


def _read_case(gt_path, res_path):
    """The pair as the model reads it: the texts written, read back."""
    with open(gt_path, encoding="utf-8") as source:
        truth = json.load(source)
    with open(res_path, encoding="utf-8") as source:
        results = json.load(source)
    return truth, results


def run_tool_ap(tool, gt_path, res_path, text=True):
    """(JSON document or None, text lines or None, problems) of the tool's two runs."""
    problems = []
    run = run_quietly([tool, "ap", gt_path, res_path, "--format", "json", "--arrays"])
    doc = None
    if run.returncode != 0:
        problems.append("talmira ap --format json --arrays failed (%d): %s" % (
            run.returncode, run.stderr.decode(errors="replace").strip()[:500]))
    else:
        try:
            doc = json.loads(run.stdout)
        except ValueError as exc:
            problems.append("talmira ap --format json: not JSON (%s)" % exc)
    lines = None
    if text:
        run = run_quietly([tool, "ap", gt_path, res_path])
        if run.returncode != 0:
            problems.append("talmira ap failed (%d): %s" % (
                run.returncode, run.stderr.decode(errors="replace").strip()[:500]))
        else:
            lines = run.stdout.decode("utf-8", errors="replace").splitlines()
    return doc, lines, problems


def check_ap_case(tool, folder, truth, results, style, tally=None, notes=None):
    """Mismatches (a list of lines) of `talmira ap` on one pair against the
    model, which reads the files written as the tool does."""
    gt_path, res_path = _write_case(folder, truth, results, style)
    ev = evaluate(*_read_case(gt_path, res_path))
    doc, lines, problems = run_tool_ap(tool, gt_path, res_path)
    if doc is not None:
        for key, path in (("ground_truth", gt_path), ("system", res_path)):
            if doc.get(key) != path:
                problems.append("%s: %r, expected the path given, %r" % (key, doc.get(key), path))
        problems += compare(ev, doc, lines, tally)
        if notes is not None:
            notes["cases"] += 1
            # What the warnings say is the tool's own; that there are some is counted.
            if any(w.startswith("ground truth of id 0") for w in ev.warnings):
                notes["cases with ground truth of id 0"] += 1
                notes["those with a warning"] += bool(doc.get("warnings"))
            if not results:
                notes["cases without results"] += 1
                notes["without results, with a warning"] += bool(doc.get("warnings"))
            for key, value in ev.counts.items():
                notes[key] += value
    return problems


def _kind(problem):
    """What a difference is about, without its numbers: 'arrays.precision',
    'stats[#]', 'category # ap50', ..."""
    return re.sub(r"\d+", "#", problem.split(":")[0])


def shrink_ap_case(tool, folder, truth, results, style, problems):
    """A smaller pair that still fails as `problems` begin: results,
    annotations, images and categories taken away in halves, quarters, ...
    while it does."""
    kind = _kind(problems[0])

    def fails(t, r):
        try:
            return kind in {_kind(p) for p in check_ap_case(tool, folder, t, r, style)}
        except ModelInputError:
            return False

    def without(items, start, stop):
        return items[:start] + items[stop:]

    truth = json.loads(json.dumps(truth))
    results = list(results)
    changed = True
    while changed:
        changed = False
        for part in ("results", "annotations", "images", "categories"):
            items = results if part == "results" else truth[part]
            size = max(1, len(items) // 2)
            while size >= 1:
                start = 0
                while start < len(items):
                    kept = without(items, start, start + size)
                    t, r = dict(truth), list(results)
                    if part == "results":
                        r = kept
                    else:
                        t[part] = kept
                        if part == "images":
                            listed = {i["id"] for i in kept}
                            r = [d for d in r if d["image_id"] in listed]
                    if fails(t, r):
                        truth, results, items, changed = t, r, kept, True
                    else:
                        start += size
                size //= 2
    return truth, results


def run_ap_cases(tool, cases, seed, first=0, keep_dir=None, show=3, no_shrink=False):
    """Checks `cases` random pairs; prints every failing case and the
    figures; returns the number that failed."""
    keep_dir = keep_dir or os.path.join(tempfile.gettempdir(),
                                        "crosscheck-ap-failures-%d" % seed)
    tally = Tally()
    notes = collections.Counter()
    failed = 0
    shrunk_one = no_shrink
    with tempfile.TemporaryDirectory(prefix="crosscheck-ap-") as tmp:
        for idx in range(first, first + cases):
            case_seed = seed * 1000003 + idx
            truth, results, style = make_ap_case(case_seed)
            try:
                problems = check_ap_case(tool, tmp, truth, results, style, tally, notes)
            except ModelInputError as exc:
                print("generator fault in case %d (seed %d): %s" % (idx, case_seed, exc))
                failed += 1
                continue
            if not problems:
                continue
            failed += 1
            dest = os.path.join(keep_dir, "case-%d" % idx)
            os.makedirs(dest, exist_ok=True)
            for name in ("gt.json", "results.json"):
                shutil.copy(os.path.join(tmp, name), os.path.join(dest, name))
            with open(os.path.join(dest, "args.txt"), "w") as out:
                out.write("ap gt.json results.json --format json --arrays\n"
                          "case %d of seed %d (generator seed %d)\n" % (idx, seed, case_seed))
            if failed > show:
                print("case %d (seed %d) differs; files kept in %s" % (idx, case_seed, dest))
                continue
            print("=" * 72)
            print("MISMATCH in case %d (seed %d, generator seed %d); files kept in %s"
                  % (idx, seed, case_seed, dest))
            for line in problems[:12]:
                print("  " + line)
            if not shrunk_one:
                shrunk_one = True
                small_truth, small_results = shrink_ap_case(tool, tmp, truth, results, style,
                                                             problems)
                sdest = dest + "-shrunk"
                os.makedirs(sdest, exist_ok=True)
                _write_case(sdest, small_truth, small_results, style)
                print("-" * 72)
                print("shrunk reproducer in %s:" % sdest)
                print("--- gt.json ---\n%s" % json_text(small_truth, style))
                print("--- results.json ---\n%s" % json_text(small_results, style))
                for line in check_ap_case(tool, tmp, small_truth, small_results, style)[:12]:
                    print("  " + line)
    print("what the cases reached: " + ", ".join("%s %d" % (k, v) for k, v in notes.items()))
    print(tally.line())
    return failed


# ---------------------------------------------------------------------------
# The corpus


def check_coco_ap_conformance(tool, gt_path, res_path, expected_path):
    """Mismatches (a list of lines) of the model, and of the tool when given,
    against the reference evaluator's figures for a real COCO pair; the
    tool's arrays are held to the model's too."""
    with open(gt_path, encoding="utf-8") as source:
        truth = json.load(source)
    with open(res_path, encoding="utf-8") as source:
        results = json.load(source)
    with open(expected_path, encoding="utf-8") as source:
        cases = json.load(source)["cases"]
    key = "%s %s" % (os.path.basename(gt_path), os.path.basename(res_path))
    if key not in cases:
        return ["%s has no figures for %r" % (expected_path, key)]
    expected = cases[key]
    ev = evaluate(truth, results)
    problems = []

    def held(who, stats, categories):
        tally = Tally()
        found = []
        for i, (a, e) in enumerate(zip(stats, expected["stats"])):
            tally.add(a, e, False)
            if not close(a, e):
                found.append("%s: stats[%d] %r, expected %r" % (who, i, a, e))
        if len(stats) != len(expected["stats"]):
            found.append("%s: %d stats, expected %d" % (who, len(stats),
                                                        len(expected["stats"])))
        by_name = {c.get("name"): c for c in categories}
        for name, figures in sorted(expected["per_category"].items()):
            if name not in by_name:
                found.append("%s: no category %r" % (who, name))
                continue
            for field in ("ap", "ap50"):
                a = by_name[name].get(field)
                tally.add(a, figures[field], True)
                if not close(a, figures[field]):
                    found.append("%s: %r %s %r, expected %r" % (who, name, field, a,
                                                                figures[field]))
        print("%s against the reference figures: %s" % (who, tally.line().split(";")[0]))
        return found

    problems += held("model", ev.stats, ev.categories)
    if tool is not None:
        doc, lines, run_problems = run_tool_ap(tool, gt_path, res_path)
        problems += run_problems
        if doc is not None:
            problems += held("tool", doc.get("stats", []), doc.get("categories", []))
            tally = Tally()
            problems += ["tool against the model: " + p for p in compare(ev, doc, lines, tally)]
            print("tool against the model: " + tally.line())
    return problems
