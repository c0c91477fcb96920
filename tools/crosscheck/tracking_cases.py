"""Small hand-made sequences whose figures are worked out by hand (the
arithmetic beside them): where the benchmark's evaluator and py-motmetrics
differ, and the benchmark's own rules (continuation bonus, MT above 0.8, the
thresholds one and two ulps below 0.5, distractors, zero consider, MOT20's
class 6, an empty side, HOTA's shared assignment).

Boxes are 30 wide and 10 high on one row unless said otherwise, so that a
box moved sideways by d overlaps (30 - d) / (30 + d): d = 3 gives 27/33, d =
9 gives 21/39, d = 18 gives 12/48.
"""

import math

# A tracker box at left 10.000000000000004 against (0, 0, 30, 10) has, by
# the IoU formula in doubles, IoU 0.5 - 2^-54 (one ulp below 0.5); at left
# 4.000000000000001 against (0, 0, 12, 10), 0.5 - 2^-53 (two ulps below).
ONE_ULP_BELOW_LEFT = "10.000000000000004"
TWO_ULPS_BELOW_LEFT = "4.000000000000001"


def mot15(*rows):
    """MOT15 lines of (frame, id, left, top, width, height[, conf])."""
    lines = []
    for row in rows:
        frame, ident, left, top, width, height = row[:6]
        conf = row[6] if len(row) > 6 else 1
        lines.append("%s,%s,%s,%s,%s,%s,%s,-1,-1,-1" % (frame, ident, left, top, width, height,
                                                        conf))
    return "".join(line + "\n" for line in lines)


def mot17_gt(*rows):
    """MOT17 ground-truth lines of (frame, id, left, top, width, height,
    consider, class)."""
    return "".join("%s,%s,%s,%s,%s,%s,%s,%s,1\n" % row for row in rows)


def mot17_tracker(*rows):
    return "".join("%s,%s,%s,%s,%s,%s,1,-1,-1,-1\n" % row for row in rows)


def box(frame, ident, left, width=30):
    return (frame, ident, left, 0, width, 10)


CASES = [
    {
        # gt C, A, B at 0, 9, 18; trackers x, y, z at 9, 18, 27. Passing
        # pairs: A-x 1, B-y 1, and at 21/39: C-x, A-y, B-x, B-z.
        # The evaluator maximises the IoU sum: {A-x, B-y} = 2 beats
        # {C-x, A-y, B-z} = 63/39. py-motmetrics takes the most pairs first.
        "name": "count_first_assignment",
        "rules": "mot15",
        "gt": mot15(box(1, 3, 0), box(1, 1, 9), box(1, 2, 18)),
        "tracker": mot15(box(1, 1, 9), box(1, 2, 18), box(1, 3, 27)),
        "trackeval": {"CLR_TP": 2, "CLR_FN": 1, "CLR_FP": 1, "IDSW": 0,
                      "MOTA": 1 / 3,  # (2 - 1 - 0) / 3
                      "MOTP": 1.0,    # (1 + 1) / 2
                      # one frame: every passing pair counts, 3 of them disjoint
                      "IDTP": 3, "IDF1": 1.0},
        "motmetrics": {"num_matches": 3, "num_misses": 0, "num_false_positives": 0,
                       "mota": 1.0,
                       "motp": 18 / 39,  # 1 - 21/39 for each of the three
                       "idf1": 1.0},
    },
    {
        # gt A in frames 1-3; tracker x on A in frame 1, nothing in frame 2,
        # x moved by 3 (27/33) and y on A (IoU 1) in frame 3.
        # The evaluator keeps frame 1's pair across the empty frame: A-x
        # gets the 1000 bonus in frame 3, no switch, one start (Frag 0).
        # py-motmetrics: frame 2 was an update, so frame 3 picks y, a switch,
        # and A's run match, miss, switch is a fragmentation.
        "name": "frame_without_tracker_boxes",
        "rules": "mot15",
        "gt": mot15(box(1, 1, 0), box(2, 1, 0), box(3, 1, 0)),
        "tracker": mot15(box(1, 1, 0), box(3, 1, 3), box(3, 2, 0)),
        "trackeval": {"CLR_TP": 2, "CLR_FN": 1, "CLR_FP": 1, "IDSW": 0, "Frag": 0,
                      "MT": 0, "PT": 1, "ML": 0,  # r = 2/3
                      "MOTA": 1 / 3,              # (2 - 1 - 0) / 3
                      "CLR_Frames": 3,
                      # A-x passes in frames 1 and 3, A-y in 3
                      "IDTP": 2, "IDFN": 1, "IDFP": 1},
        "motmetrics": {"num_matches": 1, "num_switches": 1, "num_misses": 1,
                       "num_false_positives": 1, "num_fragmentations": 1,
                       "mota": 0.0,  # 1 - (1 + 1 + 1) / 3
                       "partially_tracked": 1},
    },
    {
        # gt A in frames 1 and 3 only; x on A in frame 1, x far away in frame
        # 2 (a frame without ground truth), then as above in frame 3.
        # The evaluator: frame 2 changes nothing, A-x continues. py-motmetrics:
        # frame 2 was an update, y is taken, a switch.
        "name": "frame_without_ground_truth",
        "rules": "mot15",
        "gt": mot15(box(1, 1, 0), box(3, 1, 0)),
        "tracker": mot15(box(1, 1, 0), box(2, 1, 200), box(3, 1, 3), box(3, 2, 0)),
        "trackeval": {"CLR_TP": 2, "CLR_FN": 0, "CLR_FP": 2, "IDSW": 0, "Frag": 0,
                      "MT": 1,
                      "MOTA": 0.0,  # (2 - 2 - 0) / 2
                      "FP_per_frame": 2 / 3},
        "motmetrics": {"num_matches": 1, "num_switches": 1, "num_false_positives": 2,
                       "mota": -0.5,  # 1 - (0 + 1 + 2) / 2
                       "mostly_tracked": 1},
    },
    {
        # gt A (at 0) in frames 1 and 3, gt B (at 100) in frames 1-3; x on A
        # in 1 and 3, y on B in 1-3. Frame 2 has both sides, so A's run of
        # the frame before ends there: A starts twice, Frag 1. py-motmetrics
        # sees A only where it is: match, match, no fragmentation.
        "name": "absent_ground_truth_restarts",
        "rules": "mot15",
        "gt": mot15(box(1, 1, 0), box(1, 2, 100), box(2, 2, 100), box(3, 1, 0),
                    box(3, 2, 100)),
        "tracker": mot15(box(1, 1, 0), box(1, 2, 100), box(2, 2, 100), box(3, 1, 0),
                         box(3, 2, 100)),
        "trackeval": {"CLR_TP": 5, "CLR_FN": 0, "CLR_FP": 0, "IDSW": 0, "Frag": 1,
                      "MOTA": 1.0, "IDF1": 1.0, "HOTA": 1.0},
        "motmetrics": {"num_matches": 5, "num_switches": 0, "num_fragmentations": 0,
                       "mota": 1.0},
    },
    {
        # gt A (at 0) and B (at 100) in frames 1-5; x on A in frames 1-4, y
        # on B in frame 1, no tracker boxes in frame 5. r(A) = 4/5, r(B) =
        # 1/5: the evaluator's MT is r > 0.8, so A is PT; py-motmetrics' is
        # r >= 0.8. r = 0.2 is PT in both.
        # HOTA: alignment A-x = 4 / (5 + 4 - 4) = 0.8, B-y = 1 / (5 + 1 - 1)
        # = 0.2; TP 5 (2 in frame 1, 1 in each of 2-4), FN 5, FP 0 at every
        # alpha; AssA = (4 * 4/5 + 1 * 1/5) / 5 = 17/25, DetA = 5/10,
        # HOTA = sqrt(0.5 * 0.68); AssPr = (4 * 4/4 + 1 * 1/1) / 5 = 1.
        "name": "tracked_ratios_on_the_bounds",
        "rules": "mot15",
        "gt": mot15(*[box(t, 1, 0) for t in range(1, 6)], *[box(t, 2, 100) for t in range(1, 6)]),
        "tracker": mot15(*[box(t, 1, 0) for t in range(1, 5)], box(1, 2, 100)),
        "trackeval": {"MT": 0, "PT": 2, "ML": 0, "MTR": 0.0, "PTR": 1.0,
                      "CLR_TP": 5, "CLR_FN": 5, "Frag": 0,
                      "HOTA": math.sqrt(0.5 * 0.68), "DetA": 0.5, "AssA": 17 / 25,
                      "AssRe": 17 / 25, "AssPr": 1.0, "DetRe": 0.5, "DetPr": 1.0,
                      "LocA": 1.0, "HOTA_TP": 5.0, "HOTA_FN": 5.0, "HOTA_FP": 0.0,
                      "IDTP": 5, "IDFN": 5, "IDFP": 0,
                      "IDF1": 2 / 3},  # 5 / (5 + 0 + 2.5)
        "motmetrics": {"mostly_tracked": 1, "partially_tracked": 1, "mostly_lost": 0,
                       "num_fragmentations": 0},
    },
    {
        # IoU 0.5 - 2^-54: the evaluator's CLEAR passes it (>= 0.5 - eps) and
        # so does HOTA at alpha 0.5, its Identity does not (>= 0.5);
        # py-motmetrics' 1 - IoU rounds to 0.5 and passes in both.
        "name": "iou_one_ulp_below_half",
        "rules": "mot15",
        "gt": mot15(box(1, 1, 0)),
        "tracker": mot15(box(1, 1, ONE_ULP_BELOW_LEFT)),
        "trackeval": {"CLR_TP": 1, "MOTP": 0.5 - 2.0 ** -54, "IDTP": 0, "IDFN": 1,
                      "IDFP": 1, "IDF1": 0.0,
                      "HOTA_TP_per_alpha": [1.0] * 10 + [0.0] * 9},
        "motmetrics": {"num_matches": 1, "idf1": 1.0},
    },
    {
        # IoU 0.5 - 2^-53 (12 wide boxes): still a CLEAR match for the
        # evaluator, but 1 - IoU = 0.5 + 2^-53 fails py-motmetrics' test.
        "name": "iou_two_ulps_below_half",
        "rules": "mot15",
        "gt": mot15(box(1, 1, 0, 12)),
        "tracker": mot15(box(1, 1, TWO_ULPS_BELOW_LEFT, 12)),
        "trackeval": {"CLR_TP": 1, "CLR_FN": 0, "CLR_FP": 0, "IDTP": 0},
        "motmetrics": {"num_matches": 0, "num_misses": 1, "num_false_positives": 1,
                       "idf1": 0.0},
    },
    {
        # A matched to x in frame 1; in frame 2 x is moved by 3 (27/33) and
        # y lies on A (IoU 1). The bonus keeps A-x (1000 + 27/33 > 1): no
        # switch. py-motmetrics keeps the pair of the frame before too.
        "name": "continuation_before_overlap",
        "rules": "mot15",
        "gt": mot15(box(1, 1, 0), box(2, 1, 0)),
        "tracker": mot15(box(1, 1, 0), box(2, 2, 0), box(2, 1, 3)),
        "trackeval": {"CLR_TP": 2, "CLR_FP": 1, "IDSW": 0,
                      "MOTP_sum": 1 + 27 / 33},
        "motmetrics": {"num_matches": 2, "num_switches": 0, "num_false_positives": 1},
    },
    {
        # No ground truth to consider (the one line has conf 0), two tracker
        # boxes. The evaluator's shortcut: FP 2, MOTA and the other ratios
        # 0, MLR 1, no frames counted. py-motmetrics divides by zero
        # objects: recall 0/0 is NaN, mota 1 - 2/0 is -inf.
        "name": "empty_ground_truth",
        "rules": "mot15",
        "gt": mot15(box(1, 1, 0) + (0,)),
        "tracker": mot15(box(1, 1, 0), box(1, 2, 100)),
        "trackeval": {"CLR_FP": 2, "CLR_TP": 0, "MOTA": 0.0, "MODA": 0.0, "MLR": 1.0,
                      "CLR_Frames": 0, "FP_per_frame": 0.0, "IDFP": 2, "HOTA_FP": 2.0,
                      "HOTA": 0.0, "LocA": 1.0, "LocA(0)": 1.0},
        "motmetrics": {"num_objects": 0, "num_false_positives": 2, "recall": math.nan,
                       "mota": -math.inf, "precision": 0.0, "idf1": 0.0},
    },
    {
        # HOTA's one assignment for all alphas. gt A (38 wide) in frames 1-5;
        # tracker x on A in frames 1-4, then moved by 9.5 (IoU 28.5/47.5 =
        # 0.6); y moved by 2 (36/40 = 0.9) in frame 5 only. Alignment: A-x =
        # (4 + 0.6/1.5) / (5 + 5 - 4.4) = 4.4/5.6, A-y = (0.9/1.5) / (5 + 1 -
        # 0.6) = 0.6/5.4, so frame 5 pairs A-x (0.6 * 4.4/5.6 > 0.9 * 0.6/5.4)
        # at every alpha: a true positive up to alpha 0.6 (0.6000000000000001
        # in doubles, 0.6 >= it - eps), none above, though A-y passes up to
        # 0.9. AssA: C = 5 gives 5 * 5/5 / 5 = 1, C = 4 gives 4 * 4/6 / 4 = 2/3.
        "name": "hota_one_assignment_for_all_alphas",
        "rules": "mot15",
        "gt": mot15(*[box(t, 1, 0, 38) for t in range(1, 6)]),
        "tracker": mot15(*[box(t, 1, 0, 38) for t in range(1, 5)], box(5, 1, 9.5, 38),
                         box(5, 2, 2, 38)),
        "trackeval": {"HOTA_TP_per_alpha": [5.0] * 12 + [4.0] * 7,
                      "HOTA_FN_per_alpha": [0.0] * 12 + [1.0] * 7,
                      "HOTA_FP_per_alpha": [1.0] * 12 + [2.0] * 7,
                      "AssA_per_alpha": [1.0] * 12 + [2 / 3] * 7,
                      "DetA_per_alpha": [5 / 6] * 12 + [4 / 7] * 7,  # TP / (TP + FN + FP)
                      "AssA": 50 / 57,  # (12 + 7 * 2/3) / 19
                      "CLR_TP": 5, "IDSW": 0},
    },
    {
        # MOT17: gt A (pedestrian) at 0, D a static person (class 7, consider
        # 0) at 100, K a car (class 3, consider 0) at 200, P a pedestrian of
        # consider 0 at 300. Trackers on all four: the one on D is removed,
        # the ones on K and P stay and are false positives.
        "name": "distractors_removed",
        "rules": "mot17",
        "length": 1,
        "gt": mot17_gt((1, 1, 0, 0, 30, 10, 1, 1), (1, 2, 100, 0, 30, 10, 0, 7),
                       (1, 3, 200, 0, 30, 10, 0, 3), (1, 4, 300, 0, 30, 10, 0, 1)),
        "tracker": mot17_tracker((1, 1, 0, 0, 30, 10), (1, 2, 100, 0, 30, 10),
                                 (1, 3, 200, 0, 30, 10), (1, 4, 300, 0, 30, 10)),
        "trackeval": {"CLR_TP": 1, "CLR_FN": 0, "CLR_FP": 2, "IDTP": 1, "IDFP": 2,
                      "HOTA_FP": 2.0},
    },
    {
        # A class 6 box (non-motorised vehicle, consider 0) with a tracker on
        # it: a false positive for MOT17, removed for MOT20.
        "name": "non_motorised_vehicle_mot17",
        "rules": "mot17",
        "length": 2,
        "gt": mot17_gt((1, 1, 0, 0, 30, 10, 1, 1), (2, 1, 0, 0, 30, 10, 1, 1),
                       (2, 5, 100, 0, 30, 10, 0, 6)),
        "tracker": mot17_tracker((1, 1, 0, 0, 30, 10), (2, 1, 0, 0, 30, 10),
                                 (2, 2, 100, 0, 30, 10)),
        "trackeval": {"CLR_TP": 2, "CLR_FP": 1, "CLR_Frames": 2,
                      "FP_per_frame": 0.5, "MOTA": 0.5},  # (2 - 1) / 2
    },
    {
        "name": "non_motorised_vehicle_mot20",
        "rules": "mot20",
        "length": 2,
        "gt": mot17_gt((1, 1, 0, 0, 30, 10, 1, 1), (2, 1, 0, 0, 30, 10, 1, 1),
                       (2, 5, 100, 0, 30, 10, 0, 6)),
        "tracker": mot17_tracker((1, 1, 0, 0, 30, 10), (2, 1, 0, 0, 30, 10),
                                 (2, 2, 100, 0, 30, 10)),
        "trackeval": {"CLR_TP": 2, "CLR_FP": 0, "MOTA": 1.0},
    },
    {
        # The preprocessing's assignment is over all ground truth: tracker t
        # overlaps pedestrian A (IoU 1) and distractor D (class 8, moved by 9:
        # 21/39). Alone, t pairs with A (1 > 21/39) and stays. With a second
        # tracker u on D, the assignment pairs t-A and u-D, and u goes.
        "name": "distractor_assignment_over_all_ground_truth",
        "rules": "mot17",
        "length": 2,
        "gt": mot17_gt((1, 1, 0, 0, 30, 10, 1, 1), (1, 2, 9, 0, 30, 10, 0, 8),
                       (2, 1, 0, 0, 30, 10, 1, 1), (2, 2, 9, 0, 30, 10, 0, 8)),
        "tracker": mot17_tracker((1, 1, 0, 0, 30, 10),
                                 (2, 1, 0, 0, 30, 10), (2, 2, 9, 0, 30, 10)),
        "trackeval": {"CLR_TP": 2, "CLR_FP": 0, "CLR_FN": 0},
    },
    {
        # No tracker boxes at all: FN = the 3 boxes, ML = the 2 ids, MLR 1,
        # no frames counted; HOTA's FN 3 at every alpha, LocA 1.
        "name": "empty_tracker",
        "rules": "mot17",
        "length": 3,
        "gt": mot17_gt((1, 1, 0, 0, 30, 10, 1, 1), (2, 1, 0, 0, 30, 10, 1, 1),
                       (3, 2, 100, 0, 30, 10, 1, 1)),
        "tracker": "",
        "trackeval": {"CLR_FN": 3, "ML": 2, "MLR": 1.0, "CLR_Frames": 0, "IDFN": 3,
                      "HOTA_FN": 3.0, "LocA": 1.0, "HOTA": 0.0, "MOTA": 0.0},
    },
]


def _same(actual, expected, tolerance=1e-12):
    if isinstance(expected, list):
        return (isinstance(actual, list) and len(actual) == len(expected)
                and all(_same(a, e, tolerance) for a, e in zip(actual, expected)))
    if not isinstance(actual, (int, float)):
        return False
    if math.isnan(expected):
        return math.isnan(actual)
    if math.isinf(expected) or float(expected).is_integer() and abs(expected) > 1:
        return actual == expected
    return abs(actual - expected) <= tolerance * max(1.0, abs(expected))


def check_figures(who, name, figures, expected):
    """Lines for the hand-worked figures `figures` gets wrong."""
    problems = []
    for field, value in expected.items():
        got = figures.get(field)
        if not _same(got, value):
            problems.append("%s, %s: %s %r, worked out by hand %r" % (who, name, field, got,
                                                                      value))
    return problems
