#!/usr/bin/env python3
"""Writes the class-set workload: one MOT-layout pair of FRAMES x BOXES boxes
(ground truth and detections near it), and two class maps of its labels
1..1203: onto 1,203 classes (as LVIS has) and onto ten. Scored with either
map the boxes and their matching are the same; only the classes differ.

    bench/generate_class_sets.py --frames 100000 --boxes 20 --out-dir DIR
"""

import argparse
import os
import random

LABELS = 1203


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--frames", type=int, default=100000)
    ap.add_argument("--boxes", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out-dir", required=True)
    opts = ap.parse_args()
    rng = random.Random(opts.seed)
    os.makedirs(opts.out_dir, exist_ok=True)
    # Each object keeps its label from frame to frame, as in a video; a frame
    # holds a few of the classes.
    objects = [(rng.randint(1, LABELS), rng.randint(0, 1800), rng.randint(0, 1000))
               for _ in range(opts.boxes)]
    with open(os.path.join(opts.out_dir, "gt.txt"), "w") as gt, \
            open(os.path.join(opts.out_dir, "det.txt"), "w") as det:
        for frame in range(1, opts.frames + 1):
            truth_lines, detection_lines = [], []
            for k, (label, x, y) in enumerate(objects):
                x = (x + frame % 7) % 1800
                w, h = 40 + k % 30, 60 + k % 40
                truth_lines.append("%d,%d,%d,%d,%d,%d,1,%d,1\n" % (frame, k + 1, x, y, w, h, label))
                if rng.random() < 0.9:
                    dx, dy = rng.randint(-6, 6), rng.randint(-6, 6)
                    detection_lines.append("%d,-1,%d,%d,%d,%d,%.2f,%d,-1,-1\n" % (
                        frame, x + dx, y + dy, w, h, rng.random(), label))
                if rng.random() < 0.05:
                    detection_lines.append("%d,-1,%d,%d,50,50,%.2f,%d,-1,-1\n" % (
                        frame, rng.randint(0, 1800), rng.randint(0, 1000), rng.random(),
                        rng.randint(1, LABELS)))
            gt.writelines(truth_lines)
            det.writelines(detection_lines)
    with open(os.path.join(opts.out_dir, "map1203.csv"), "w") as out:
        out.writelines("%d,class %d\n" % (k, k) for k in range(1, LABELS + 1))
    with open(os.path.join(opts.out_dir, "map10.csv"), "w") as out:
        out.writelines("%d,class %d\n" % (k, k % 10) for k in range(1, LABELS + 1))


if __name__ == "__main__":
    main()
