"""The MOTChallenge tracking measures, modelled from the rules as the
benchmark's evaluator applies them: HOTA (with its 19 thresholds), CLEAR
(MOTA, MOTP, MT/PT/ML, fragmentations) and Identity (IDF1), per sequence
with the raw sums kept, and sequences combined.

The rules, as the model reads them (eps is the double's machine epsilon):

* Files are comma-separated, one box a line, every column read as a Python
  float (the nearest double of its decimal): frame, id, left, top, width,
  height, then (MOT15) conf, x, y, z or (MOT16/17/20 ground truth)
  consider, class, visibility. Ids may be written "3.0"; they are the
  integers the floats truncate to. Boxes become corners l, t, r = l + w,
  b = t + h; areas are taken from the corners.
* IoU: inter = max(min(r) - max(l), 0) * max(min(b) - max(t), 0), union =
  a1 + a2 - inter; inter is 0 where a1 <= eps, a2 <= eps or union <= eps,
  and such a union is 1.
* Frames run 1..length (seqinfo.ini's seqLength; for MOT15 the last frame
  of either file). Within a frame, rows and columns of every matrix are in
  the order of the frame's lines in the files.
* MOT16/17/20 preprocessing, in frames with both sides: IoUs below 0.5 - eps
  set to 0, one optimal assignment over all the frame's ground truth, pairs
  above eps kept, and tracker boxes paired with a distractor (class 2, 7, 8,
  12; MOT20 also 6) removed. Then ground truth is kept where consider is not
  0 and the class is 1 (MOT15: where conf is not 0). Ids are relabelled to
  0..G-1 and 0..H-1 in sorted order of their values.
* CLEAR, Identity and HOTA as the module's functions below say, each with
  the evaluator's own shortcut for a sequence without tracker boxes or
  without ground truth.

Every per-frame assignment is scipy's linear_sum_assignment on the negated
score matrix, the solver the evaluator uses, so that ties fall as they do
there. The arithmetic is numpy's, in the evaluator's order of operations:
pairwise sums where it sums arrays (np.sum, np.mean), sequential ones where
it adds up a frame's matched IoUs one by one (MOTP_sum, LocA).
"""

import configparser
import os

import numpy as np
from scipy.optimize import linear_sum_assignment

EPS = float(np.finfo(np.float64).eps)
# 0.05, 0.1, 0.15000000000000002, ...: 0.05 + k * 0.05 in doubles, as
# np.arange(0.05, 0.99, 0.05) gives them.
ALPHAS = np.array([0.05 + k * 0.05 for k in range(19)])
THRESHOLD = 0.5
# A ground truth's tracker of the frame before gets this much on top of
# its IoU, so that continuing a match outweighs any sum of IoUs.
CONTINUATION_BONUS = 1000
# The ground-truth classes whose tracker partners are taken out.
DISTRACTOR_CLASSES = {
    "mot16": (2, 7, 8, 12),
    "mot17": (2, 7, 8, 12),
    "mot20": (2, 6, 7, 8, 12),
}
RULES = ("mot15", "mot16", "mot17", "mot20")
PEDESTRIAN = 1
VALID_CLASSES = range(1, 14)

INTEGER_FIELDS = ("CLR_TP", "CLR_FN", "CLR_FP", "IDSW", "MT", "PT", "ML", "Frag", "CLR_Frames",
                  "IDTP", "IDFN", "IDFP")
HOTA_ARRAYS = ("HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr", "LocA", "OWTA",
               "HOTA_TP", "HOTA_FN", "HOTA_FP")
INTEGER_ARRAYS = ("HOTA_TP", "HOTA_FN", "HOTA_FP")


class ModelInputError(Exception):
    """Files the evaluator refuses (a frame out of range, an id twice in a
    frame, a class it does not know...)."""


# --- reading ---------------------------------------------------------------

def parse_rows(text, name="<text>"):
    """[(line number, [floats])] of a MOT text file's non-empty lines."""
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line:
            continue
        try:
            rows.append((number, [float(field) for field in line.split(",")]))
        except ValueError:
            raise ModelInputError("%s:%d: not a number in %r" % (name, number, line))
    return rows


def read_rows(path):
    with open(path, encoding="utf-8") as source:
        return parse_rows(source.read(), path)


def read_seq_length(path):
    """seqinfo.ini's seqLength."""
    parser = configparser.ConfigParser()
    parser.read(path, encoding="utf-8")
    return int(parser["Sequence"]["seqLength"])


def last_frame(*row_lists):
    return max([int(values[0]) for rows in row_lists for _, values in rows], default=0)


def box_ious(gt_boxes, tracker_boxes):
    """IoU matrix of (n, 4) and (m, 4) arrays of left, top, width, height."""
    a = np.array(gt_boxes, dtype=np.float64).reshape(-1, 4)
    b = np.array(tracker_boxes, dtype=np.float64).reshape(-1, 4)
    a[:, 2] = a[:, 0] + a[:, 2]
    a[:, 3] = a[:, 1] + a[:, 3]
    b[:, 2] = b[:, 0] + b[:, 2]
    b[:, 3] = b[:, 1] + b[:, 3]
    low = np.minimum(a[:, np.newaxis, :], b[np.newaxis, :, :])
    high = np.maximum(a[:, np.newaxis, :], b[np.newaxis, :, :])
    inter = (np.maximum(low[..., 2] - high[..., 0], 0)
             * np.maximum(low[..., 3] - high[..., 1], 0))
    area_a = (a[:, 2] - a[:, 0]) * (a[:, 3] - a[:, 1])
    area_b = (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1])
    union = area_a[:, np.newaxis] + area_b[np.newaxis, :] - inter
    inter[area_a <= 0 + EPS, :] = 0
    inter[:, area_b <= 0 + EPS] = 0
    inter[union <= 0 + EPS] = 0
    union[union <= 0 + EPS] = 1
    return inter / union


class Frame:
    """One frame after preprocessing: relabelled ids and the IoU matrix."""

    def __init__(self, gt_ids, tracker_ids, similarity, gt_boxes=None, tracker_boxes=None):
        self.gt_ids = gt_ids
        self.tracker_ids = tracker_ids
        self.similarity = similarity
        # The boxes kept, [left, top, width, height] each, for the stability model.
        self.gt_boxes = gt_boxes
        self.tracker_boxes = tracker_boxes


class Sequence:
    def __init__(self, frames, num_gt_ids, num_tracker_ids):
        self.frames = frames
        self.num_gt_ids = num_gt_ids
        self.num_tracker_ids = num_tracker_ids
        self.num_gt_dets = sum(len(f.gt_ids) for f in frames)
        self.num_tracker_dets = sum(len(f.tracker_ids) for f in frames)
        self.num_timesteps = len(frames)


def _by_frame(rows, length, name, columns):
    frames = [[] for _ in range(length)]
    for number, values in rows:
        if len(values) < columns:
            raise ModelInputError("%s:%d: %d columns, at least %d needed"
                                  % (name, number, len(values), columns))
        frame = int(values[0])
        if frame != values[0] or not 1 <= frame <= length:
            raise ModelInputError("%s:%d: frame %r outside 1..%d" % (name, number, values[0],
                                                                     length))
        frames[frame - 1].append(values)
    for rows_t in frames:
        ids = [int(v[1]) for v in rows_t]
        if len(set(ids)) != len(ids):
            raise ModelInputError("%s: an id twice in frame %d" % (name, int(rows_t[0][0])))
        if any(i < 0 for i in ids):
            raise ModelInputError("%s: a negative id in frame %d" % (name, int(rows_t[0][0])))
    return frames


def preprocess(gt_rows, tracker_rows, length, rules="mot17"):
    """The sequence the measures read: (rows as parse_rows gives them)
    distractors' partners removed (not for mot15), ground truth to consider
    kept, ids relabelled."""
    if rules not in RULES:
        raise ValueError("rules: one of %s" % ", ".join(RULES))
    mot15 = rules == "mot15"
    gt_frames = _by_frame(gt_rows, length, "gt", 6 if mot15 else 8)
    tracker_frames = _by_frame(tracker_rows, length, "tracker", 6)
    kept = []
    for gt_t, tracker_t in zip(gt_frames, tracker_frames):
        gt_ids = np.array([int(v[1]) for v in gt_t], dtype=int)
        tracker_ids = np.array([int(v[1]) for v in tracker_t], dtype=int)
        similarity = box_ious([v[2:6] for v in gt_t], [v[2:6] for v in tracker_t])
        gt_boxes = [list(v[2:6]) for v in gt_t]
        tracker_boxes = [list(v[2:6]) for v in tracker_t]
        consider = np.array([int(v[6]) if len(v) > 6 else 1 for v in gt_t], dtype=int)
        if mot15:
            keep_gt = consider != 0
        else:
            classes = np.array([int(v[7]) for v in gt_t], dtype=int)
            if any(c not in VALID_CLASSES for c in classes):
                raise ModelInputError("gt: a class outside 1..13 in frame %d"
                                      % int(gt_t[0][0]))
            for v in tracker_t:
                if len(v) > 7 and int(v[7]) not in (-1, PEDESTRIAN):
                    raise ModelInputError("tracker: class %r in frame %d" % (v[7], int(v[0])))
            if len(gt_t) and len(tracker_t):
                scores = similarity.copy()
                scores[scores < THRESHOLD - EPS] = 0
                rows, cols = linear_sum_assignment(-scores)
                paired = scores[rows, cols] > 0 + EPS
                rows, cols = rows[paired], cols[paired]
                remove = cols[np.isin(classes[rows], DISTRACTOR_CLASSES[rules])]
                tracker_ids = np.delete(tracker_ids, remove)
                removed = set(int(c) for c in remove)
                tracker_boxes = [b for j, b in enumerate(tracker_boxes) if j not in removed]
                similarity = np.delete(similarity, remove, axis=1)
            keep_gt = (consider != 0) & (classes == PEDESTRIAN)
        kept.append((gt_ids[keep_gt], tracker_ids, similarity[keep_gt],
                     [b for b, k in zip(gt_boxes, keep_gt) if k], tracker_boxes))
    gt_values = np.unique(np.concatenate([k[0] for k in kept] + [np.zeros(0, int)]))
    tracker_values = np.unique(np.concatenate([k[1] for k in kept] + [np.zeros(0, int)]))
    frames = [Frame(np.searchsorted(gt_values, g), np.searchsorted(tracker_values, h), s, gb, hb)
              for g, h, s, gb, hb in kept]
    seq = Sequence(frames, len(gt_values), len(tracker_values))
    seq.gt_values = gt_values  # the identities as written, by relabelled id
    return seq


def load_sequence(gt_path, tracker_path, rules="mot17", seqinfo=None):
    """A sequence from its files; the length from seqinfo.ini (given, or
    beside gt_path), for mot15 without one the last frame of either file."""
    gt_rows, tracker_rows = read_rows(gt_path), read_rows(tracker_path)
    if seqinfo is None:
        beside = os.path.join(os.path.dirname(gt_path), "seqinfo.ini")
        seqinfo = beside if os.path.isfile(beside) and rules != "mot15" else None
    if seqinfo is not None:
        length = read_seq_length(seqinfo)
    elif rules == "mot15":
        length = last_frame(gt_rows, tracker_rows)
    else:
        raise ModelInputError("%s: no seqinfo.ini beside it" % gt_path)
    return preprocess(gt_rows, tracker_rows, length, rules)


# --- CLEAR -----------------------------------------------------------------

class ClearSums:
    """CLEAR's counts of a sequence or of several; `shortcut` marks a
    sequence without tracker boxes or without ground truth, whose ratios the
    evaluator leaves at 0 (and MLR at 1) instead of computing them."""

    FIELDS = ("CLR_TP", "CLR_FN", "CLR_FP", "IDSW", "MT", "PT", "ML", "Frag", "CLR_Frames",
              "MOTP_sum")

    def __init__(self):
        for field in self.FIELDS:
            setattr(self, field, 0)
        self.shortcut = False


def clear(seq, bonus=CONTINUATION_BONUS, mostly_tracked=0.8, observe=None):
    """CLEAR's sums; observe(t, rows, cols), when given, is told each frame's
    matches (frames with both sides only) as positions in the frame."""
    res = ClearSums()
    if seq.num_tracker_dets == 0:
        res.CLR_FN = seq.num_gt_dets
        res.ML = seq.num_gt_ids
        res.shortcut = True
        return res
    if seq.num_gt_dets == 0:
        res.CLR_FP = seq.num_tracker_dets
        res.shortcut = True
        return res
    num_gt_ids = seq.num_gt_ids
    present = np.zeros(num_gt_ids)
    matched = np.zeros(num_gt_ids)
    starts = np.zeros(num_gt_ids)
    # The last tracker ever matched (for switches) and the one of the last
    # frame with both sides (for continuing).
    prev_id = np.nan * np.zeros(num_gt_ids)
    prev_ts = np.nan * np.zeros(num_gt_ids)
    for t, f in enumerate(seq.frames):
        gt_ids, tracker_ids = f.gt_ids, f.tracker_ids
        if len(gt_ids) == 0:
            res.CLR_FP += len(tracker_ids)
            continue
        if len(tracker_ids) == 0:
            res.CLR_FN += len(gt_ids)
            present[gt_ids] += 1
            continue
        similarity = f.similarity
        score = tracker_ids[np.newaxis, :] == prev_ts[gt_ids[:, np.newaxis]]
        score = bonus * score + similarity
        score[similarity < THRESHOLD - EPS] = 0
        rows, cols = linear_sum_assignment(-score)
        keep = score[rows, cols] > 0 + EPS
        rows, cols = rows[keep], cols[keep]
        if observe is not None:
            observe(t, rows, cols)
        matched_gt = gt_ids[rows]
        matched_tracker = tracker_ids[cols]
        before = prev_id[matched_gt]
        res.IDSW += int(np.sum(np.logical_not(np.isnan(before))
                               & np.not_equal(matched_tracker, before)))
        present[gt_ids] += 1
        matched[matched_gt] += 1
        not_tracked_before = np.isnan(prev_ts)
        prev_id[matched_gt] = matched_tracker
        prev_ts[:] = np.nan
        prev_ts[matched_gt] = matched_tracker
        starts += np.logical_and(not_tracked_before, np.logical_not(np.isnan(prev_ts)))
        res.CLR_TP += len(matched_gt)
        res.CLR_FN += len(gt_ids) - len(matched_gt)
        res.CLR_FP += len(tracker_ids) - len(matched_gt)
        if len(matched_gt):
            res.MOTP_sum += sum(similarity[rows, cols])
    ratio = matched[present > 0] / present[present > 0]
    res.MT = int(np.sum(np.greater(ratio, mostly_tracked)))
    res.PT = int(np.sum(np.greater_equal(ratio, 0.2))) - res.MT
    res.ML = num_gt_ids - res.MT - res.PT
    res.Frag = int(np.sum(np.subtract(starts[starts > 0], 1)))
    res.CLR_Frames = seq.num_timesteps
    return res


def clear_measures(res):
    out = {field: (float(getattr(res, field))) for field in ClearSums.FIELDS}
    names = ("MOTA", "MOTP", "MODA", "CLR_Re", "CLR_Pr", "MTR", "PTR", "MLR", "sMOTA",
             "CLR_F1", "FP_per_frame", "MOTAL")
    if res.shortcut:
        out.update({name: 0.0 for name in names})
        out["MLR"] = 1.0
        return out
    tp, fn, fp, idsw = res.CLR_TP, res.CLR_FN, res.CLR_FP, res.IDSW
    ids = res.MT + res.ML + res.PT
    detected = np.maximum(1.0, tp + fn)
    out["MTR"] = float(res.MT / np.maximum(1.0, ids))
    out["MLR"] = float(res.ML / np.maximum(1.0, ids))
    out["PTR"] = float(res.PT / np.maximum(1.0, ids))
    out["CLR_Re"] = float(tp / detected)
    out["CLR_Pr"] = float(tp / np.maximum(1.0, tp + fp))
    out["MODA"] = float((tp - fp) / detected)
    out["MOTA"] = float((tp - fp - idsw) / detected)
    out["MOTP"] = float(res.MOTP_sum / np.maximum(1.0, tp))
    out["sMOTA"] = float((res.MOTP_sum - fp - idsw) / detected)
    out["CLR_F1"] = float(tp / np.maximum(1.0, tp + 0.5 * fn + 0.5 * fp))
    out["FP_per_frame"] = float(fp / np.maximum(1.0, res.CLR_Frames))
    log_idsw = np.log10(idsw) if idsw > 0 else idsw
    out["MOTAL"] = float((tp - fp - log_idsw) / detected)
    return out


# --- Identity --------------------------------------------------------------

class IdentitySums:
    FIELDS = ("IDTP", "IDFN", "IDFP")

    def __init__(self):
        self.IDTP = self.IDFN = self.IDFP = 0


def identity(seq, passes=lambda iou: np.greater_equal(iou, THRESHOLD)):
    res = IdentitySums()
    if seq.num_tracker_dets == 0:
        res.IDFN = seq.num_gt_dets
        return res
    if seq.num_gt_dets == 0:
        res.IDFP = seq.num_tracker_dets
        return res
    potential = np.zeros((seq.num_gt_ids, seq.num_tracker_ids))
    gt_count = np.zeros(seq.num_gt_ids)
    tracker_count = np.zeros(seq.num_tracker_ids)
    for f in seq.frames:
        gi, ti = np.nonzero(passes(f.similarity))
        potential[f.gt_ids[gi], f.tracker_ids[ti]] += 1
        gt_count[f.gt_ids] += 1
        tracker_count[f.tracker_ids] += 1
    # Any maximum-weight pairing of the ids gives the same total.
    rows, cols = linear_sum_assignment(-potential)
    res.IDTP = int(potential[rows, cols].sum())
    res.IDFN = int(gt_count.sum()) - res.IDTP
    res.IDFP = int(tracker_count.sum()) - res.IDTP
    return res


def identity_measures(res):
    out = {field: float(getattr(res, field)) for field in IdentitySums.FIELDS}
    tp, fn, fp = res.IDTP, res.IDFN, res.IDFP
    out["IDR"] = float(tp / np.maximum(1.0, tp + fn))
    out["IDP"] = float(tp / np.maximum(1.0, tp + fp))
    out["IDF1"] = float(tp / np.maximum(1.0, tp + 0.5 * fp + 0.5 * fn))
    return out


# --- HOTA ------------------------------------------------------------------

class HotaSums:
    """Per alpha: the counts, and AssA, AssRe, AssPr and LocA (which
    sequences combine weighted by their true positives)."""

    def __init__(self):
        n = len(ALPHAS)
        self.TP = np.zeros(n)
        self.FN = np.zeros(n)
        self.FP = np.zeros(n)
        self.AssA = np.zeros(n)
        self.AssRe = np.zeros(n)
        self.AssPr = np.zeros(n)
        self.LocA = np.zeros(n)


def hota(seq, per_alpha_assignment=False):
    res = HotaSums()
    if seq.num_tracker_dets == 0:
        res.FN = seq.num_gt_dets * np.ones(len(ALPHAS))
        res.LocA = np.ones(len(ALPHAS))
        return res
    if seq.num_gt_dets == 0:
        res.FP = seq.num_tracker_dets * np.ones(len(ALPHAS))
        res.LocA = np.ones(len(ALPHAS))
        return res
    # Global alignment of every id pair, from each frame's IoUs shared out
    # between the pairs of a row and a column.
    potential = np.zeros((seq.num_gt_ids, seq.num_tracker_ids))
    gt_count = np.zeros((seq.num_gt_ids, 1))
    tracker_count = np.zeros((1, seq.num_tracker_ids))
    for f in seq.frames:
        s = f.similarity
        denominator = s.sum(0)[np.newaxis, :] + s.sum(1)[:, np.newaxis] - s
        share = np.zeros_like(s)
        mask = denominator > 0 + EPS
        share[mask] = s[mask] / denominator[mask]
        potential[f.gt_ids[:, np.newaxis], f.tracker_ids[np.newaxis, :]] += share
        gt_count[f.gt_ids] += 1
        tracker_count[0, f.tracker_ids] += 1
    alignment = potential / (gt_count + tracker_count - potential)
    matches = [np.zeros_like(potential) for _ in ALPHAS]
    for f in seq.frames:
        gt_ids, tracker_ids = f.gt_ids, f.tracker_ids
        if len(gt_ids) == 0:
            res.FP += len(tracker_ids)
            continue
        if len(tracker_ids) == 0:
            res.FN += len(gt_ids)
            continue
        s = f.similarity
        score = alignment[gt_ids[:, np.newaxis], tracker_ids[np.newaxis, :]] * s
        if not per_alpha_assignment:
            rows, cols = linear_sum_assignment(-score)
        for a, alpha in enumerate(ALPHAS):
            if per_alpha_assignment:
                # What the paper describes: one assignment per threshold.
                masked = np.where(s >= alpha - EPS, score, 0)
                rows, cols = linear_sum_assignment(-masked)
            ok = s[rows, cols] >= alpha - EPS
            r, c = rows[ok], cols[ok]
            res.TP[a] += len(r)
            res.FN[a] += len(gt_ids) - len(r)
            res.FP[a] += len(tracker_ids) - len(r)
            if len(r):
                res.LocA[a] += sum(s[r, c])
                matches[a][gt_ids[r], tracker_ids[c]] += 1
    for a in range(len(ALPHAS)):
        c = matches[a]
        ass_a = c / np.maximum(1, gt_count + tracker_count - c)
        res.AssA[a] = np.sum(c * ass_a) / np.maximum(1, res.TP[a])
        ass_re = c / np.maximum(1, gt_count)
        res.AssRe[a] = np.sum(c * ass_re) / np.maximum(1, res.TP[a])
        ass_pr = c / np.maximum(1, tracker_count)
        res.AssPr[a] = np.sum(c * ass_pr) / np.maximum(1, res.TP[a])
    res.LocA = np.maximum(1e-10, res.LocA) / np.maximum(1e-10, res.TP)
    return res


def hota_measures(res):
    det_re = res.TP / np.maximum(1, res.TP + res.FN)
    det_pr = res.TP / np.maximum(1, res.TP + res.FP)
    det_a = res.TP / np.maximum(1, res.TP + res.FN + res.FP)
    arrays = {
        "HOTA": np.sqrt(det_a * res.AssA), "DetA": det_a, "AssA": res.AssA,
        "DetRe": det_re, "DetPr": det_pr, "AssRe": res.AssRe, "AssPr": res.AssPr,
        "LocA": res.LocA, "OWTA": np.sqrt(det_re * res.AssA),
        "HOTA_TP": res.TP, "HOTA_FN": res.FN, "HOTA_FP": res.FP,
    }
    out = {}
    for name, values in arrays.items():
        out[name] = float(np.mean(values))
        out[name + "_per_alpha"] = [float(v) for v in values]
    out["HOTA(0)"] = float(arrays["HOTA"][0])
    out["LocA(0)"] = float(arrays["LocA"][0])
    out["HOTALocA(0)"] = float(arrays["HOTA"][0] * arrays["LocA"][0])
    return out


# --- sequences, combined ---------------------------------------------------

class Result:
    """A sequence's (or several sequences') sums of the three families."""

    def __init__(self, clear_sums, identity_sums, hota_sums):
        self.clear = clear_sums
        self.identity = identity_sums
        self.hota = hota_sums

    def measures(self):
        """Every field, named as the evaluator names them."""
        out = clear_measures(self.clear)
        out.update(identity_measures(self.identity))
        out.update(hota_measures(self.hota))
        return out


def evaluate(seq, **variants):
    """The three families on one sequence. `variants` are deliberate
    departures used to show what the checks catch: bonus=,
    mostly_tracked=, per_alpha_assignment=."""
    clear_options = {k: variants[k] for k in ("bonus", "mostly_tracked") if k in variants}
    hota_options = {k: variants[k] for k in ("per_alpha_assignment",) if k in variants}
    return Result(clear(seq, **clear_options), identity(seq), hota(seq, **hota_options))


def combine(results):
    """Sequences together (in the order given): counts summed, AssA, AssRe,
    AssPr and LocA weighted by the true positives of each alpha, every ratio
    recomputed from the sums."""
    c = ClearSums()
    for field in ClearSums.FIELDS:
        setattr(c, field, sum(getattr(r.clear, field) for r in results))
    i = IdentitySums()
    for field in IdentitySums.FIELDS:
        setattr(i, field, sum(getattr(r.identity, field) for r in results))
    h = HotaSums()
    h.TP = sum(r.hota.TP for r in results)
    h.FN = sum(r.hota.FN for r in results)
    h.FP = sum(r.hota.FP for r in results)
    for field in ("AssRe", "AssPr", "AssA"):
        setattr(h, field, sum(getattr(r.hota, field) * r.hota.TP for r in results)
                / np.maximum(1.0, h.TP))
    weighted = sum(r.hota.LocA * r.hota.TP for r in results)
    h.LocA = np.maximum(1e-10, weighted) / np.maximum(1e-10, h.TP)
    return Result(c, i, h)


def is_integer_field(name):
    return name in INTEGER_FIELDS or name in ("HOTA_TP_per_alpha", "HOTA_FN_per_alpha",
                                              "HOTA_FP_per_alpha")


ALL_FIELDS = tuple(sorted(
    list(ClearSums.FIELDS)
    + ["MOTA", "MOTP", "MODA", "CLR_Re", "CLR_Pr", "MTR", "PTR", "MLR", "sMOTA", "CLR_F1",
       "FP_per_frame", "MOTAL"]
    + list(IdentitySums.FIELDS) + ["IDR", "IDP", "IDF1"]
    + [name for base in HOTA_ARRAYS for name in (base, base + "_per_alpha")]
    + ["HOTA(0)", "LocA(0)", "HOTALocA(0)"]))
