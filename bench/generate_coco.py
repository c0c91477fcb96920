#!/usr/bin/env python3
"""Writes a COCO-sized detection set: a ground truth and a results list.

    bench/generate_coco.py OUT_DIR [--images 5000] [--truths 36000]
                           [--detections 500000] [--categories 80] [--seed 1]

OUT_DIR/instances.json holds the images, categories and annotations (about
one in a hundred a crowd, areas spread over COCO's small, medium and large);
OUT_DIR/results.json the detections: for each ground-truth box a few
jittered copies with high scores, the rest scattered boxes with low ones,
so that matching and the score sort both have real work.
"""
import argparse
import json
import os
import random


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--images", type=int, default=5000)
    parser.add_argument("--truths", type=int, default=36000)
    parser.add_argument("--detections", type=int, default=500000)
    parser.add_argument("--categories", type=int, default=80)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.out, exist_ok=True)
    images = [{"id": 100000 + k, "file_name": "%012d.jpg" % k, "width": 640, "height": 480}
              for k in range(args.images)]
    categories = [{"id": k + 1, "name": "class %d" % (k + 1), "supercategory": "thing"}
                  for k in range(args.categories)]
    annotations = []
    for k in range(args.truths):
        side = rng.choice([rng.uniform(4, 32), rng.uniform(32, 96), rng.uniform(96, 400)])
        w = round(side * rng.uniform(0.6, 1.4), 2)
        h = round(side * rng.uniform(0.6, 1.4), 2)
        x = round(rng.uniform(0, 640 - min(w, 600)), 2)
        y = round(rng.uniform(0, 480 - min(h, 440)), 2)
        annotations.append({"id": k + 1, "image_id": 100000 + rng.randrange(args.images),
                            "category_id": rng.randrange(args.categories) + 1,
                            "bbox": [x, y, w, h], "area": round(w * h * 0.8, 3),
                            "iscrowd": 1 if rng.random() < 0.01 else 0,
                            "segmentation": [[x, y, x + w, y, x + w, y + h, x, y + h]]})
    with open(os.path.join(args.out, "instances.json"), "w") as out:
        json.dump({"info": {}, "images": images, "categories": categories,
                   "annotations": annotations}, out)
    results = []
    near = min(args.detections // 2, 3 * len(annotations))
    for k in range(near):
        a = annotations[k % len(annotations)]
        x, y, w, h = a["bbox"]
        j = lambda v, s: round(v + rng.gauss(0, s), 2)
        results.append({"image_id": a["image_id"], "category_id": a["category_id"],
                        "bbox": [j(x, w * 0.08), j(y, h * 0.08), abs(j(w, w * 0.1)),
                                 abs(j(h, h * 0.1))],
                        "score": round(rng.uniform(0.3, 1.0), 3)})
    for k in range(args.detections - near):
        w, h = round(rng.uniform(5, 200), 2), round(rng.uniform(5, 200), 2)
        results.append({"image_id": 100000 + rng.randrange(args.images),
                        "category_id": rng.randrange(args.categories) + 1,
                        "bbox": [round(rng.uniform(0, 500), 2), round(rng.uniform(0, 400), 2),
                                 w, h],
                        "score": round(rng.uniform(0.0, 0.5), 3)})
    rng.shuffle(results)
    with open(os.path.join(args.out, "results.json"), "w") as out:
        json.dump(results, out)


if __name__ == "__main__":
    main()
