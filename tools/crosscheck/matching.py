"""Overlap of two boxes, cover of a box by a region, and the largest
assignment of one frame: the per-frame objects, detections, misses and
false alarms.
"""

import math

from . import rules
from .floats import f32


def overlap_ratio(g, s):
    """Intersection over enclosing rectangle, in single precision: 0 for
    rectangles that do not touch, NaN when the enclosing one is empty."""
    if g.min_x > s.max_x or g.max_x < s.min_x or g.min_y > s.max_y or g.max_y < s.min_y:
        return 0.0
    inter = ((min(g.max_x, s.max_x) - max(g.min_x, s.min_x))
             * (min(g.max_y, s.max_y) - max(g.min_y, s.min_y)))
    encl = ((max(g.max_x, s.max_x) - min(g.min_x, s.min_x))
            * (max(g.max_y, s.max_y) - min(g.min_y, s.min_y)))
    if rules.OVERLAP_IOU:
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
    return overlap_ratio(g, s) >= rules.OVERLAP_THRESHOLD


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
    return ratio is not None and ratio >= rules.REGION_COVER_RATIO


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
