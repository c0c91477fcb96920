"""The other common evaluator's CLEAR and Identity figures (py-motmetrics
1.4.0, IoU distance at 0.5 on MOT15 files), as the model reads its rules,
beside the benchmark evaluator's (tracking.py). Where they differ:

* Its distance is 1 - IoU, a pair passing where 1 - IoU <= 0.5 (so an IoU
  one ulp below 0.5 passes: 1 - IoU rounds to 0.5), and IoU has no epsilon
  rules: a box's size is clamped at 0 and no overlap is IoU 0. Its reader
  moves every box by (-1, -1) before that, and drops ground truth whose
  confidence is below 1 and tracker boxes whose confidence is below -1.
* Only frames that occur in one of the files are frames. In each, the pairs
  of the frame before (a ground truth matched in the last frame that was
  updated) are kept first where they still pass; the rest are assigned to
  maximise the number of passing pairs, then the IoU sum (impassable pairs
  cost more than any set of passing ones). A frame with no tracker boxes,
  or no ground truth, is an update too, so it breaks continuity.
* A match is a switch when the ground truth's last tracker was another one.
  num_matches counts the matches that are not switches; motp is the mean of
  1 - IoU over both.
* MT is r >= 0.8, PT 0.2 <= r < 0.8, ML r < 0.2. A fragmentation is a change
  from tracked to missed between the first and the last tracked frame of a
  ground truth, over the frames where it is present.
* Ratios are plain divisions: an empty ground truth gives NaN (0 / 0) or
  infinities rather than 0.
"""

import numpy as np
from scipy.optimize import linear_sum_assignment

DISTANCE_THRESHOLD = 0.5
INTEGER_FIELDS = ("num_matches", "num_switches", "num_false_positives", "num_misses",
                  "num_objects", "num_predictions", "num_fragmentations", "mostly_tracked",
                  "partially_tracked", "mostly_lost")


def quiet_divide(a, b):
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.true_divide(a, b))


def box_iou(a, b):
    """IoU matrix of two (n, 4) arrays of x, y, width, height."""
    a_min, a_max = a[..., :2], a[..., :2] + a[..., 2:]
    b_min, b_max = b[..., :2], b[..., :2] + b[..., 2:]
    i_size = np.maximum(np.minimum(a_max, b_max) - np.maximum(a_min, b_min), 0)
    i_vol = np.prod(i_size, axis=-1)
    a_vol = np.prod(np.maximum(a_max - a_min, 0), axis=-1)
    b_vol = np.prod(np.maximum(b_max - b_min, 0), axis=-1)
    u_vol = a_vol + b_vol - i_vol
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(i_vol == 0, 0.0, np.true_divide(i_vol, u_vol))


def distances(gt_boxes, tracker_boxes):
    """1 - IoU, NaN where that is above the threshold."""
    iou = box_iou(gt_boxes[:, np.newaxis], tracker_boxes[np.newaxis, :])
    dist = 1 - iou
    return np.where(dist > DISTANCE_THRESHOLD, np.nan, dist)


def finite_costs(costs):
    """Impassable pairs as a cost no passing set can reach: choosing one of
    them and the best pair r - 1 times is worse than the worst pair r times."""
    valid = np.isfinite(costs)
    if valid.all():
        return costs.copy()
    if not valid.any():
        return np.zeros_like(costs)
    r = min(costs.shape)
    c = np.abs(costs[valid]).max() + 1
    return np.where(valid, costs, 2 * r * c + 1)


def frames_of(rows, min_confidence):
    """{frame: [(id, box)]} in file order, the boxes moved by (-1, -1)."""
    frames = {}
    for _, values in rows:
        if values[6] < min_confidence:
            continue
        box = [values[2] - 1, values[3] - 1, values[4], values[5]]
        frames.setdefault(values[0], []).append((values[1], box))
    return frames


def evaluate(gt_rows, tracker_rows, gt_min_confidence=1, tracker_min_confidence=-1):
    """The figures of motmetrics.json on rows as tracking.parse_rows gives them."""
    gt = frames_of(gt_rows, gt_min_confidence)
    tr = frames_of(tracker_rows, tracker_min_confidence)
    last_tracker = {}   # ground truth -> its last tracker
    last_match = {}     # ground truth -> the frame of that match
    last_update = None
    events = {}         # ground truth -> its events in frame order
    counts = {"MATCH": 0, "SWITCH": 0, "MISS": 0, "FP": 0}
    d_values = []       # the events' distances, 0 for misses and false positives
    potential = {}      # (ground truth, tracker) -> frames passing
    gt_boxes_total = tracker_boxes_total = 0
    for frame in sorted(set(gt) | set(tr)):
        oids = [o for o, _ in gt.get(frame, [])]
        hids = [h for h, _ in tr.get(frame, [])]
        gt_boxes_total += len(oids)
        tracker_boxes_total += len(hids)
        o_done = [False] * len(oids)
        h_done = [False] * len(hids)
        if oids and hids:
            dists = distances(np.array([b for _, b in gt[frame]], dtype=np.float64),
                              np.array([b for _, b in tr[frame]], dtype=np.float64))
            for i, j in zip(*np.nonzero(np.isfinite(dists))):
                key = (oids[i], hids[j])
                potential[key] = potential.get(key, 0) + 1
            # The pairs of the frame before, where they still pass.
            for i, o in enumerate(oids):
                if not (o in last_tracker and last_match[o] == last_update):
                    continue
                js = [j for j, h in enumerate(hids) if not h_done[j] and h == last_tracker[o]]
                if not js or not np.isfinite(dists[i, js[0]]):
                    continue
                j = js[0]
                o_done[i] = h_done[j] = True
                last_match[o] = frame
                counts["MATCH"] += 1
                d_values.append(dists[i, j])
                events.setdefault(o, []).append("MATCH")
            dists[np.array(o_done), :] = np.nan
            dists[:, np.array(h_done)] = np.nan
            rows, cols = linear_sum_assignment(finite_costs(dists))
            for i, j in zip(rows, cols):
                if not np.isfinite(dists[i, j]):
                    continue
                o, h = oids[i], hids[j]
                kind = "SWITCH" if o in last_tracker and last_tracker[o] != h else "MATCH"
                o_done[i] = h_done[j] = True
                last_tracker[o] = h
                last_match[o] = frame
                counts[kind] += 1
                d_values.append(dists[i, j])
                events.setdefault(o, []).append(kind)
        for i, o in enumerate(oids):
            if not o_done[i]:
                counts["MISS"] += 1
                d_values.append(0.0)
                events.setdefault(o, []).append("MISS")
        for j in range(len(hids)):
            if not h_done[j]:
                counts["FP"] += 1
                d_values.append(0.0)
        last_update = frame

    matches, switches = counts["MATCH"], counts["SWITCH"]
    misses, fps = counts["MISS"], counts["FP"]
    detections = matches + switches
    objects = gt_boxes_total
    ratios = [sum(e != "MISS" for e in kinds) / len(kinds) for kinds in events.values()]
    fragmentations = 0
    for kinds in events.values():
        tracked = [k for k, e in enumerate(kinds) if e != "MISS"]
        if tracked:
            span = kinds[tracked[0]:tracked[-1] + 1]
            fragmentations += sum(a != "MISS" and b == "MISS" for a, b in zip(span, span[1:]))
    gt_ids = sorted(events)
    tracker_ids = sorted({h for rows_t in tr.values() for h, _ in rows_t})
    idtp = 0
    if gt_ids and tracker_ids:
        pot = np.zeros((len(gt_ids), len(tracker_ids)))
        gi = {o: k for k, o in enumerate(gt_ids)}
        ti = {h: k for k, h in enumerate(tracker_ids)}
        for (o, h), n in potential.items():
            pot[gi[o], ti[h]] = n
        r, c = linear_sum_assignment(-pot)
        idtp = int(pot[r, c].sum())
    idfn = objects - idtp
    idfp = tracker_boxes_total - idtp
    return {
        "num_matches": float(matches),
        "num_switches": float(switches),
        "num_false_positives": float(fps),
        "num_misses": float(misses),
        "num_objects": float(objects),
        "num_predictions": float(tracker_boxes_total),
        "num_fragmentations": float(fragmentations),
        "mostly_tracked": float(sum(r >= 0.8 for r in ratios)),
        "partially_tracked": float(sum(0.2 <= r < 0.8 for r in ratios)),
        "mostly_lost": float(sum(r < 0.2 for r in ratios)),
        "mota": 1.0 - quiet_divide(misses + switches + fps, objects),
        "motp": quiet_divide(np.sum(np.array(d_values)), detections),
        "precision": quiet_divide(detections, fps + detections),
        "recall": quiet_divide(detections, objects),
        "idp": quiet_divide(idtp, idtp + idfp),
        "idr": quiet_divide(idtp, idtp + idfn),
        "idf1": quiet_divide(2 * idtp, objects + tracker_boxes_total),
    }
