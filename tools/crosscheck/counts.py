"""The counts of each class over a pair of files, and its NMODTA."""

from .floats import f32
from .matching import frame_counts
from .records import EVAL_CLASSES


NMODTA_FLOOR = -100000.0


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
