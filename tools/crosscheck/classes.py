"""Datasets with classes of their own: random class sets (one to two thousand
classes, names with commas, quotes, spaces and letters of any script) written
as COCO files, the model's reading of them, and its counts for every class,
against talmira score and sweep.
"""

import csv
import io
from decimal import ROUND_HALF_UP, Decimal
import json
import os
import random

from . import rules
from .counts import nmodta
from .floats import f32
from .matching import frame_counts
from .records import KNOWN_CLASSES, Box, Frame, big_enough
from .runner import run_quietly


# Pieces of class names: what a CSV or HTML writer must quote or escape,
# letters outside ASCII, and plain words.
NAME_PIECES = ["car", "Straßenbahn", "a, b", 'say "hi"', "two words", "ñandú", "猫", "x",
               "Ünïcödé", "comma,", "it's", "<b>", "a&b", "tab\there", "person", "van", "bus"]
# Names a class cannot have: rows and types of their own.
RESERVED = {"All", "DCR", "DCF"}


def random_class_names(rng):
    """A class set's names, distinct, in the order of their category ids."""
    pick = rng.random()
    if pick < 0.1:
        # Only this format's class names: scored as its ten, in its order.
        return rng.sample(KNOWN_CLASSES, rng.randint(1, len(KNOWN_CLASSES)))
    count = (rng.randint(1, 5) if pick < 0.5
             else rng.randint(6, 120) if pick < 0.85 else rng.randint(121, 2000))
    names, seen = [], set()
    while len(names) < count:
        name = rng.choice(NAME_PIECES)
        if rng.random() < 0.7:
            name += " %d" % rng.randint(0, 5000)
        if rng.random() < 0.1:
            name = rng.choice(NAME_PIECES) + "/" + name
        if name in seen or name in RESERVED or name in KNOWN_CLASSES:
            continue
        seen.add(name)
        names.append(name)
    return names


def make_class_case(seed):
    """(ground truth, results, the categories' names in id order) of a
    random COCO pair: a few frames of boxes of a few of the set's classes,
    detections near them or anywhere, of their class or another."""
    rng = random.Random("classes-%d" % seed)
    names = random_class_names(rng)
    ids = rng.sample(range(1, 10 * len(names) + 10), len(names))
    ids.sort()
    categories = [{"id": i, "name": n} for i, n in zip(ids, names)]
    rng.shuffle(categories)  # the list's order is not the classes' order
    frames = rng.randint(1, 12)
    images = [{"id": 100 + k, "frame_id": k + 1, "file_name": "f%d.jpg" % (k + 1)}
              for k in range(frames)]
    # Most frames hold boxes of a few classes only.
    in_use = rng.sample(ids, min(len(ids), rng.randint(1, 6)))
    truths, detections = [], []
    for image in images:
        for _ in range(rng.randint(0, 8)):
            x, y = rng.randint(0, 600), rng.randint(0, 400)
            w, h = rng.randint(5, 120), rng.randint(5, 120)
            category = rng.choice(in_use)
            truths.append({"id": len(truths) + 1, "image_id": image["id"],
                           "category_id": category, "bbox": [x, y, w, h], "area": w * h,
                           "iscrowd": 0})
            for _ in range(rng.choice([0, 1, 1, 1, 2])):
                dx, dy = rng.randint(-15, 15), rng.randint(-15, 15)
                other = category if rng.random() < 0.8 else rng.choice(ids)
                detections.append({"image_id": image["id"], "category_id": other,
                                   "bbox": [x + dx, y + dy, max(1, w + rng.randint(-10, 10)),
                                            max(1, h + rng.randint(-10, 10))],
                                   "score": round(rng.random(), rng.choice([1, 2, 3]))})
        for _ in range(rng.randint(0, 3)):
            detections.append({"image_id": image["id"], "category_id": rng.choice(ids),
                               "bbox": [rng.randint(0, 600), rng.randint(0, 400),
                                        rng.randint(5, 120), rng.randint(5, 120)],
                               "score": round(rng.random(), 2)})
    truth = {"images": images, "annotations": truths, "categories": categories}
    return truth, detections, names


def model_rows(names):
    """The rows talmira reports: All, then the categories in id order; a set
    whose every name is one of this format's classes is scored as its ten."""
    if all(n in KNOWN_CLASSES for n in names):
        return ["All"] + KNOWN_CLASSES
    return ["All"] + names


def read_coco(document, categories, detections=False):
    """The model's frames of a COCO ground truth (an object) or results list:
    upright boxes from the bbox's edges (whole numbers here), a frame per
    frame number that holds a box big enough to keep."""
    name_of = {c["id"]: c["name"] for c in categories["categories"]}
    frame_of = {i["id"]: i["frame_id"] for i in categories["images"]}
    elements = document if detections else document["annotations"]
    by_frame = {}
    for element in elements:
        x, y, w, h = element["bbox"]
        left, top, right, bottom = x, y, x + w, y + h
        xs, ys = [left, right, right, left], [top, top, bottom, bottom]
        if not big_enough(xs, ys):
            continue
        conf = f32(element["score"]) if "score" in element else 1.0
        frame = frame_of[element["image_id"]]
        by_frame.setdefault(frame, Frame(frame)).targets.append(
            Box(xs, ys, name_of[element["category_id"]], False, False, conf))
    return [by_frame[k] for k in sorted(by_frame)]


def model_counts(truth_frames, system_frames, row, threshold):
    """(gt, det, fn, fp, frames) of one row at a threshold."""
    def pick(frame):
        return [t for t in frame.targets
                if t.conf >= threshold and (row == "All" or t.cls == row)]

    partners = {f.number: f for f in system_frames}
    n_gt = n_det = n_fn = n_fp = 0
    for frame in truth_frames:
        truths = pick(frame)
        partner = partners.get(frame.number)
        if partner is None:
            n_gt += len(truths)
            n_fn += len(truths)
            continue
        o, d, fn, fp = frame_counts(truths, frame.regions, pick(partner))
        n_gt += o
        n_det += d
        n_fn += fn
        n_fp += fp
    return n_gt, n_det, n_fn, n_fp, len(truth_frames)


# Rules a case is scored under: this format's defaults, or COCO's usual
# overlap with every box kept.
CASE_RULES = [(None, []),
              (("iou", f32(0.5), f32(0.33), 0.0),
               ["--overlap", "iou", "--min-overlap", "0.5", "--min-side", "0"])]


def check_class_case(tool, folder, seed):
    """Mismatches (a list of lines) of talmira score and sweep on one random
    pair against the model."""
    truth, detections, names = make_class_case(seed)
    gt_path = os.path.join(folder, "gt-%d.json" % seed)
    sys_path = os.path.join(folder, "res-%d.json" % seed)
    with open(gt_path, "w", encoding="utf-8") as out:
        json.dump(truth, out, ensure_ascii=seed % 2 == 0)
    with open(sys_path, "w", encoding="utf-8") as out:
        json.dump(detections, out)
    rng = random.Random("classes-options-%d" % seed)
    model_rules, options = rng.choice(CASE_RULES)
    rules.set_rules(model_rules)
    try:
        truth_frames = read_coco(truth, truth)
        system_frames = read_coco(detections, truth, detections=True)
        rows = model_rows(names)
        reading = [gt_path, sys_path, "--gt-format", "coco", "--sys-format", "coco",
                   "--images-from", gt_path] + options
        problems = []
        threshold_text = rng.choice(["0", "0.5", "0.25", "0.9"])
        threshold = f32(float(threshold_text))
        run = run_quietly([tool, "score"] + reading + ["-c", threshold_text, "--format", "json"])
        if run.returncode != 0:
            return ["score failed (%d): %s" % (run.returncode, run.stderr.decode(errors="replace"))]
        reported = json.loads(run.stdout)["classes"]
        if [c["class"] for c in reported] != rows:
            problems.append("score rows %r, model %r" % ([c["class"] for c in reported][:8],
                                                          rows[:8]))
        for c in reported:
            if c["class"] not in rows:
                continue
            expected = model_counts(truth_frames, system_frames, c["class"], threshold)
            got = (c["gt"], c["det"], c["fn"], c["fp"], c["frames"])
            if got != expected:
                problems.append("score -c %s %r: %r, model %r"
                                % (threshold_text, c["class"], got, expected))
            elif f32(c["nmodta"]) != nmodta(expected[0], expected[2], expected[3]):
                problems.append("score %r: NMODTA %r, model %r"
                                % (c["class"], c["nmodta"], nmodta(expected[0], expected[2],
                                                                   expected[3])))
        # The sweep's exact rows, read as CSV, are the score at their thresholds.
        run = run_quietly([tool, "sweep"] + reading + ["--exact", "--format", "csv"])
        if run.returncode != 0:
            return problems + ["sweep failed (%d): %s"
                               % (run.returncode, run.stderr.decode(errors="replace"))]
        table = list(csv.reader(io.StringIO(run.stdout.decode("utf-8"), newline="")))
        swept = table[1:]
        order = []
        for line in swept:
            if not order or order[-1] != line[0]:
                order.append(line[0])
        if order != rows:
            problems.append("sweep rows %r, model %r" % (order[:8], rows[:8]))
        for line in rng.sample(swept, min(len(swept), 25)):
            at = f32(float(line[1]))
            expected = model_counts(truth_frames, system_frames, line[0], at)
            got = tuple(int(v) for v in line[2:6])
            if got != expected[:4]:
                problems.append("sweep %r at %s: %r, model %r" % (line[0], line[1], got,
                                                                  expected[:4]))
        return problems
    finally:
        rules.set_rules(None)


def run_class_cases(tool, cases, seed, folder):
    """Checks `cases` random class-set pairs; prints each failing case and
    returns the number that failed."""
    failed = 0
    for case in range(cases):
        case_seed = seed * 100003 + case
        problems = check_class_case(tool, folder, case_seed)
        if problems:
            failed += 1
            print("class-set case %d (seed %d):" % (case, case_seed))
            for line in problems[:6]:
                print("  " + line)
    return failed


def check_coco_conformance(tool, truth_path, results_path):
    """Mismatches of talmira score's per category counts on a real COCO pair
    (IoU at 0.5, every box kept) against the model."""
    with open(truth_path, encoding="utf-8") as source:
        truth = json.load(source)
    with open(results_path, encoding="utf-8") as source:
        detections = json.load(source)
    rules.set_rules(("iou", f32(0.5), f32(0.33), 0.0))
    try:
        truth_frames = read_coco_any(truth, truth)
        system_frames = read_coco_any(detections, truth, detections=True)
        names = [c["name"] for c in sorted(truth["categories"], key=lambda c: c["id"])]
        rows = model_rows(names)
        run = run_quietly([tool, "score", truth_path, results_path, "--gt-format", "coco",
                           "--sys-format", "coco", "--images-from", truth_path,
                           "--overlap", "iou", "--min-overlap", "0.5", "--min-side", "0",
                           "--format", "json"])
        if run.returncode != 0:
            return ["score failed (%d): %s" % (run.returncode, run.stderr.decode(errors="replace"))]
        reported = json.loads(run.stdout)["classes"]
        problems = []
        if [c["class"] for c in reported] != rows:
            problems.append("rows differ from the categories in id order")
        for c in reported:
            expected = model_counts(truth_frames, system_frames, c["class"], 0.0)
            got = (c["gt"], c["det"], c["fn"], c["fp"], c["frames"])
            if got != expected:
                problems.append("%r: %r, model %r" % (c["class"], got, expected))
        return problems
    finally:
        rules.set_rules(None)


def _round_away(value):
    """A Decimal rounded to a whole number, halves away from zero, as the
    readers round edges."""
    return int(value.to_integral_value(rounding=ROUND_HALF_UP))


def read_coco_any(document, categories, detections=False):
    """read_coco() for real files: fractional edges rounded, halves away
    from zero, from the exact decimals the JSON numbers were written as;
    crowd regions are left out of the counts (as don't-care regions they
    drop what they cover, which the model does not ask of real files)."""
    name_of = {c["id"]: c["name"] for c in categories["categories"]}
    images = categories["images"]
    frame_of = {}
    for image in images:
        if "frame_id" in image:
            frame_of[image["id"]] = image["frame_id"]
        else:
            digits = "".join(ch if ch.isdigit() else " " for ch in
                             image["file_name"].rsplit("/", 1)[-1]).split()
            frame_of[image["id"]] = int(digits[-1])
    elements = document if detections else document["annotations"]
    by_frame = {}
    for element in elements:
        x, y, w, h = (Decimal(repr(v)) for v in element["bbox"])
        left, top = _round_away(x), _round_away(y)
        right, bottom = _round_away(x + w), _round_away(y + h)
        xs, ys = [left, right, right, left], [top, top, bottom, bottom]
        if not big_enough(xs, ys):
            continue
        conf = f32(element["score"]) if "score" in element else 1.0
        frame = frame_of[element["image_id"]]
        target = Box(xs, ys, name_of[element["category_id"]], False, False, conf)
        kept = by_frame.setdefault(frame, Frame(frame))
        if element.get("iscrowd", 0):
            kept.regions.append(target)
        else:
            kept.targets.append(target)
    return [by_frame[k] for k in sorted(by_frame)]
