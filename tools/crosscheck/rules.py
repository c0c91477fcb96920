"""The scoring rules the model applies: the defaults, the named sets, the rules
of the current case (set_rules(), read by the model at each use), and the
random rules a case is scored under.
"""

import random

from .floats import f32


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
