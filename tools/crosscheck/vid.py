"""ImageNet VID's average precision and its motion split, modelled from the
rules as the protocol describes them, on random adversarial COCO files of
videos (images with "video_id" and "frame_id", annotations with
"instance_id" as the object's track), against `talmira ap GT RES --protocol
vid --format json`: every category's AP, its AP per motion bin and its
counts, the mean AP and the motion means, within 1e-12.

The rules, as the model reads them:

* A box [x, y, w, h] covers the pixels x .. x + w (inclusive), so it is
  w + 1 wide. A ground-truth box's threshold is min(0.5, W H / ((W + 10)
  (H + 10))) with W = w + 1, H = h + 1. IoU counts pixels the same way.
* On each image, per category, detections in descending score (file order on
  ties) take the not yet taken regular box with the highest IoU that reaches
  that box's threshold; only a strictly higher IoU replaces the best so far.
  A detection that takes no regular box may take a crowd region by the same
  rule, any number of them taking one; it is then ignored. Crowds are not
  ground truth to find.
* Per category, all its detections in descending score (ties: image id, then
  file order), precision tp / (tp + fp), recall tp / npos, AP the VOC
  all-point area under the precision envelope; the mean over the categories
  with ground truth. An AP there is no ground truth for is -1 (and the mean
  of none), the motion figures null without the split.
* Motion IoU of a regular box at frame t: the mean IoU with the regular
  boxes of the same instance_id in the same video at frames t - 10 .. t + 10
  other than t (in frame, category id, image id, file order); 0 when there
  is none or the box has no instance_id (or a negative one).
* Bins: slow [0.9, 1], medium [0.7, 0.9], fast [0, 0.7], ends included. In a
  bin, boxes outside it are not in npos and the detections that took them
  are ignored. An unmatched detection is an FP of weight 1 when its highest
  IoU with its image's regular boxes of its category (taken or not) is with
  an in-bin box, 0 when with an out-of-bin one, the share of out-of-bin
  boxes among them on a tie; when there are none, the share of the whole
  set's regular boxes that is in the bin.
* The split is made when every image has a video and a frame and some
  regular box has an instance_id.
"""

import json
import math
import os
import random
import shutil
import tempfile

from .runner import run_quietly

BINS = [("slow", 0.9, 1.0), ("medium", 0.7, 0.9), ("fast", 0.0, 0.7)]
WINDOW = 10
TOLERANCE = 1e-12


# --- the model -------------------------------------------------------------

def threshold(box):
    w = float(box[2]) + 1.0
    h = float(box[3]) + 1.0
    return min(0.5, (w * h) / ((w + 10.0) * (h + 10.0)))


def iou(a, b):
    ax, ay, aw, ah = (float(v) for v in a)
    bx, by, bw, bh = (float(v) for v in b)
    iw = min(ax + aw, bx + bw) - max(ax, bx) + 1.0
    ih = min(ay + ah, by + bh) - max(ay, by) + 1.0
    if iw <= 0 or ih <= 0:
        return 0.0
    inter = iw * ih
    return inter / ((aw + 1.0) * (ah + 1.0) + (bw + 1.0) * (bh + 1.0) - inter)


def voc_ap(precision, recall):
    mrec = [0.0] + list(recall) + [1.0]
    mpre = [0.0] + list(precision) + [0.0]
    for i in range(len(mpre) - 2, -1, -1):
        mpre[i] = max(mpre[i], mpre[i + 1])
    area = 0.0
    for i in range(len(mrec) - 1):
        if mrec[i + 1] != mrec[i]:
            area += (mrec[i + 1] - mrec[i]) * mpre[i + 1]
    return area


def curve_ap(gains, npos):
    """AP of (tp, fp) increments in score order, -1 without ground truth."""
    if npos == 0:
        return -1.0
    tp = fp = 0.0
    precision, recall = [], []
    for dtp, dfp in gains:
        if dtp is None:  # ignored: no point on the curve
            continue
        tp += dtp
        fp += dfp
        precision.append(tp / (tp + fp) if tp + fp > 0 else 0.0)
        recall.append(tp / npos)
    return voc_ap(precision, recall)


def mean(values):
    kept = [v for v in values if v >= 0]
    if not kept:
        return -1.0
    total = 0.0
    for v in kept:
        total += v
    return total / len(kept)


def in_bin(value, low, high):
    return low <= value <= high


def track_of(annotation):
    for key in ("instance_id", "track_id"):
        if key in annotation:
            return annotation[key] if annotation[key] >= 0 else None
    return None


def evaluate(truth, results):
    """The model's figures for a COCO ground truth and results list."""
    images = {i["id"]: i for i in truth["images"]}
    image_rank = {i: k for k, i in enumerate(sorted(images))}
    categories = sorted(truth["categories"], key=lambda c: c["id"])
    known = {c["id"] for c in categories}
    kept = [(pos, a) for pos, a in enumerate(truth["annotations"])
            if a["image_id"] in images and a["category_id"] in known]
    detections = [(pos, d) for pos, d in enumerate(results) if d["category_id"] in known]

    regular = [(pos, a) for pos, a in kept if not a["iscrowd"]]
    split = (all("video_id" in i and "frame_id" in i for i in images.values())
             and any(track_of(a) is not None for _, a in regular))

    motion = {}
    isolated = 0
    if split:
        objects = {}
        for pos, a in regular:
            track = track_of(a)
            if track is None:
                motion[pos] = 0.0
                isolated += 1
                continue
            image = images[a["image_id"]]
            objects.setdefault((image["video_id"], track), []).append(
                (image["frame_id"], a["category_id"], a["image_id"], pos, a["bbox"]))
        for boxes in objects.values():
            for frame, _, _, pos, box in boxes:
                near = sorted(o for o in boxes
                              if o[0] != frame and abs(o[0] - frame) <= WINDOW)
                if not near:
                    motion[pos] = 0.0
                    isolated += 1
                    continue
                total = 0.0
                for o in near:
                    total += iou(box, o[4])
                motion[pos] = total / len(near)
    set_share = {}
    for name, low, high in BINS:
        inside = sum(1 for pos, _ in regular if split and in_bin(motion[pos], low, high))
        set_share[name] = inside / len(regular) if regular else 0.0

    # Matching, per (category, image).
    cells = {}
    for pos, a in kept:
        cells.setdefault((a["category_id"], a["image_id"]), ([], []))[0].append((pos, a))
    for pos, d in detections:
        cells.setdefault((d["category_id"], d["image_id"]), ([], []))[1].append((pos, d))
    outcome = {}  # detection position -> ("tp", truth position) | ("crowd",) | ("miss", weights)
    stats = {"on bin edge": sum(1 for v in motion.values() if v in (0.7, 0.9)),
             "tie weights": 0, "background weights": 0, "crowd matches": 0, "small matches": 0}
    for (category, image), (truths, dets) in cells.items():
        taken = set()
        order = sorted(dets, key=lambda pd: -pd[1]["score"])
        for pos, d in order:
            found = None
            for crowd_pass in (False, True):
                best = -math.inf
                for tpos, a in truths:
                    if bool(a["iscrowd"]) != crowd_pass or tpos in taken:
                        continue
                    v = iou(d["bbox"], a["bbox"])
                    if v >= threshold(a["bbox"]) and v > best:
                        best, found = v, tpos
                if found is not None:
                    if crowd_pass:
                        outcome[pos] = ("crowd",)
                        stats["crowd matches"] += 1
                    else:
                        taken.add(found)
                        outcome[pos] = ("tp", found)
                        stats["small matches"] += best < 0.5
                    break
            if found is not None:
                continue
            weights = {}
            if split:
                plain = [(tpos, a) for tpos, a in truths if not a["iscrowd"]]
                for name, low, high in BINS:
                    if not plain:
                        weights[name] = set_share[name]
                        stats["background weights"] += 0 < set_share[name] < 1
                        continue
                    inside = [iou(d["bbox"], a["bbox"]) for tpos, a in plain
                              if in_bin(motion[tpos], low, high)]
                    outside = [iou(d["bbox"], a["bbox"]) for tpos, a in plain
                               if not in_bin(motion[tpos], low, high)]
                    if not outside or (inside and max(inside) > max(outside)):
                        weights[name] = 1.0
                    elif not inside or max(outside) > max(inside):
                        weights[name] = 0.0
                    else:
                        weights[name] = len(outside) / len(plain)
                        stats["tie weights"] += 1
            outcome[pos] = ("miss", weights)

    figures = []
    for c in categories:
        cid = c["id"]
        mine = sorted(((pos, d) for pos, d in detections if d["category_id"] == cid),
                      key=lambda pd: (image_rank[pd[1]["image_id"]], pd[0]))
        mine.sort(key=lambda pd: -pd[1]["score"])
        truths = [pos for pos, a in regular if a["category_id"] == cid]
        overall = []
        for pos, _ in mine:
            kind = outcome[pos]
            overall.append((1.0, 0.0) if kind[0] == "tp"
                           else (None, None) if kind[0] == "crowd" else (0.0, 1.0))
        row = {"id": cid, "name": c["name"], "ap": curve_ap(overall, len(truths)),
               "ground_truth": len(truths), "detections": len(mine)}
        for name, low, high in BINS:
            if not split:
                row["ap_" + name] = None
                row["ground_truth_" + name] = None
                continue
            gains = []
            for pos, _ in mine:
                kind = outcome[pos]
                if kind[0] == "tp":
                    gains.append((1.0, 0.0) if in_bin(motion[kind[1]], low, high)
                                 else (None, None))
                elif kind[0] == "crowd":
                    gains.append((None, None))
                else:
                    gains.append((0.0, kind[1][name]))
            npos = sum(1 for pos in truths if in_bin(motion[pos], low, high))
            row["ap_" + name] = curve_ap(gains, npos)
            row["ground_truth_" + name] = npos
        figures.append(row)
    result = {"map": mean([r["ap"] for r in figures]), "categories": figures, "motion": None,
              "stats": stats}
    if split:
        result["motion"] = {name: mean([r["ap_" + name] for r in figures])
                            for name, _, _ in BINS}
        result["motion"]["isolated_ground_truth"] = isolated
    return result


# --- the generator ---------------------------------------------------------

SCORES = [0.1, 0.25, 0.5, 0.5, 0.75, 0.9, 0.95]


def _size(rng):
    pick = rng.random()
    if pick < 0.45:
        return rng.randint(0, 24), rng.randint(0, 24)  # thresholds below 0.5
    if pick < 0.9:
        return rng.randint(25, 120), rng.randint(25, 120)
    return rng.randint(1, 300), rng.randint(1, 30)


def _coordinate(rng, value):
    return value + 0.5 if rng.random() < 0.05 else value


def make_vid_case(seed):
    """(ground truth, results) of a random pair of video (or still) images."""
    rng = random.Random("vid-%d" % seed)
    videos = rng.random() < 0.85
    category_ids = sorted(rng.sample(range(1, 40), rng.randint(1, 4)))
    categories = [{"id": i, "name": "class %d" % i} for i in category_ids]
    rng.shuffle(categories)
    images, truths, results = [], [], []
    image_ids = iter(rng.sample(range(1, 5000), 400))
    frames_of_video = []
    for video in range(rng.randint(1, 3)):
        video_id = rng.choice([video, video + 1, 7 + 3 * video])
        frame = rng.randint(0, 5)
        frames = []
        for _ in range(rng.randint(1, 24)):
            pick = rng.random()
            frame += 0 if pick < 0.03 else rng.randint(5, 14) if pick < 0.12 else 1
            image = {"id": next(image_ids), "file_name": "v%d/%06d.JPEG" % (video_id, frame)}
            if videos:
                image["video_id"] = video_id
                image["frame_id"] = frame
            frames.append(image)
        frames_of_video.append(frames)
        images.extend(frames)
    rng.shuffle(images)  # the list's order is not the images' order

    def add_truth(image, category, box, track, crowd=False):
        x, y, w, h = box
        annotation = {"id": len(truths) + 1, "image_id": image["id"], "category_id": category,
                      "bbox": [x, y, w, h], "area": w * h, "iscrowd": 1 if crowd else 0}
        if track is not None:
            annotation["instance_id"] = track
        truths.append(annotation)

    def add_detection(image, category, box):
        results.append({"image_id": image["id"], "category_id": category,
                        "bbox": [max(0, v) if k >= 2 else v for k, v in enumerate(box)],
                        "score": rng.choice(SCORES) if rng.random() < 0.7
                        else round(rng.random(), 3)})

    for frames in frames_of_video:
        objects = []
        for _ in range(rng.randint(1, 5)):
            w, h = _size(rng)
            objects.append({
                "category": rng.choice(category_ids),
                "track": rng.randint(0, 6) if rng.random() < 0.9 else None,
                "box": [rng.randint(0, 400), rng.randint(0, 300), w, h],
                "motion": rng.choice(["still", "drift", "jump", "ratio", "ratio", "scale"]),
                "seen": rng.choice([1.0, 0.9, 0.6]),
            })
        for step, image in enumerate(frames):
            for o in objects:
                x, y, w, h = o["box"]
                if o["motion"] == "drift":
                    x += rng.randint(-3, 3)
                    y += rng.randint(-3, 3)
                elif o["motion"] == "jump":
                    x += rng.randint(-40, 40)
                    y += rng.randint(-40, 40)
                elif o["motion"] == "scale":
                    w = max(0, w + rng.randint(-4, 4))
                o["box"] = [x, y, w, h]
                if rng.random() > o["seen"]:
                    continue
                box = [_coordinate(rng, x), y, w, h]
                if o["motion"] == "ratio" and step % 2 == 1:
                    # A box of 70 or 90 in 100 columns inside the full one:
                    # IoU exactly 0.7 or 0.9 with its neighbours.
                    box = [x, y, rng.choice([69, 89]), 9]
                elif o["motion"] == "ratio":
                    box = [x, y, 99, 9]
                track = o["track"]
                if track is not None and rng.random() < 0.04:
                    track = None
                add_truth(image, o["category"], box, track)
                if rng.random() < 0.05:  # the same box twice: ties on every IoU
                    add_truth(image, o["category"], box, rng.choice([track, None]))
                for _ in range(rng.choice([0, 1, 1, 1, 2, 3])):
                    category = o["category"] if rng.random() < 0.85 else rng.choice(category_ids)
                    bx, by, bw, bh = box
                    pick = rng.random()
                    if pick < 0.3:
                        found = [bx, by, bw, bh]
                    elif pick < 0.45:
                        found = [bx, by, (bw + 1) // 2 - 1 if bw >= 1 else 0, bh]  # IoU 0.5
                    elif pick < 0.85:
                        found = [bx + rng.randint(-6, 6), by + rng.randint(-6, 6),
                                 bw + rng.randint(-6, 6), bh + rng.randint(-6, 6)]
                    else:
                        found = [bx + bw // 2, by, bw, bh]
                    add_detection(image, category, found)
            if rng.random() < 0.08:
                category = rng.choice(category_ids)
                crowd = [rng.randint(0, 300), rng.randint(0, 200), rng.randint(40, 200),
                         rng.randint(40, 200)]
                add_truth(image, category, crowd, rng.choice([None, 3]), crowd=True)
                if rng.random() < 0.4:
                    # An object the region nearly covers: detections on the
                    # region reach both, and the object comes first.
                    add_truth(image, category, [crowd[0] + 2, crowd[1] + 2, crowd[2] - 6,
                                                crowd[3] - 6], rng.choice([None, 5]))
                # Detections inside the region, or on it, or none.
                for _ in range(rng.choice([0, 1, 2, 3])):
                    cx, cy, cw, ch = crowd
                    add_detection(image, category, rng.choice([
                        crowd, [cx + rng.randint(0, 10), cy + rng.randint(0, 10), cw - 10, ch - 10],
                        [cx, cy, cw // 3, ch // 3]]))
            for _ in range(rng.choice([0, 0, 1, 2])):
                add_detection(image, rng.choice(category_ids),
                              [rng.randint(0, 500), rng.randint(0, 400), rng.randint(0, 60),
                               rng.randint(0, 60)])
    if rng.random() < 0.05:
        # Boxes of a category the ground truth does not list: dropped.
        unknown = max(category_ids) + 1
        add_truth(images[0], unknown, [0, 0, 10, 10], None)
        add_detection(images[0], unknown, [0, 0, 10, 10])
    if rng.random() < 0.03:
        results = []
    rng.shuffle(results)
    truth = {"images": images, "annotations": truths, "categories": categories}
    return truth, results


# --- the check -------------------------------------------------------------

def _close(expected, actual):
    if expected is None or actual is None:
        return expected is None and actual is None
    return abs(expected - actual) <= TOLERANCE


def compare(expected, actual):
    """Lines naming each figure that differs."""
    problems = []
    if not _close(expected["map"], actual.get("map")):
        problems.append("map %r, model %r" % (actual.get("map"), expected["map"]))
    if (expected["motion"] is None) != (actual.get("motion") is None):
        problems.append("motion %r, model %r" % (actual.get("motion"), expected["motion"]))
    elif expected["motion"] is not None:
        for name, _, _ in BINS:
            if not _close(expected["motion"][name], actual["motion"].get(name)):
                problems.append("motion %s %r, model %r"
                                % (name, actual["motion"].get(name), expected["motion"][name]))
        if expected["motion"]["isolated_ground_truth"] != actual["motion"].get(
                "isolated_ground_truth"):
            problems.append("isolated ground truth %r, model %r"
                            % (actual["motion"].get("isolated_ground_truth"),
                               expected["motion"]["isolated_ground_truth"]))
    reported = actual.get("categories", [])
    if [c.get("id") for c in reported] != [c["id"] for c in expected["categories"]]:
        problems.append("categories %r, model %r" % ([c.get("id") for c in reported],
                                                    [c["id"] for c in expected["categories"]]))
        return problems
    for want, got in zip(expected["categories"], reported):
        for key, value in want.items():
            if key.startswith("ap"):
                same = _close(value, got.get(key))
            else:
                same = value == got.get(key)
            if not same:
                problems.append("category %r %s: %r, model %r"
                                % (want["id"], key, got.get(key), value))
    return problems


def check_vid_case(tool, folder, seed):
    """(mismatches, the model's figures, truth path, results path) of one
    random pair."""
    truth, results = make_vid_case(seed)
    gt_path = os.path.join(folder, "gt-%d.json" % seed)
    res_path = os.path.join(folder, "res-%d.json" % seed)
    with open(gt_path, "w", encoding="utf-8") as out:
        json.dump(truth, out)
    with open(res_path, "w", encoding="utf-8") as out:
        json.dump(results, out)
    expected = evaluate(truth, results)
    jobs = random.Random("vid-jobs-%d" % seed).choice(["1", "1", "3"])
    run = run_quietly([tool, "ap", gt_path, res_path, "--protocol", "vid", "--format", "json",
                       "-j", jobs])
    if run.returncode != 0:
        return (["ap failed (%d): %s" % (run.returncode, run.stderr.decode(errors="replace"))],
                expected, gt_path, res_path)
    return compare(expected, json.loads(run.stdout)), expected, gt_path, res_path


def run_vid_cases(tool, cases, seed, keep_dir=None):
    """Checks `cases` random pairs; prints the failing ones (their files kept)
    and returns how many failed. Also prints how many cases reached the
    rules' corners, so that a run shows they were exercised."""
    keep_dir = keep_dir or os.path.join(tempfile.gettempdir(), "crosscheck-vid-failures-%d" % seed)
    failed = 0
    reached = {"split": 0, "AP strictly between 0 and 1": 0, "motion IoU exactly 0.7 or 0.9": 0,
               "FP weighed by a tie": 0, "FP weighed on the background": 0,
               "crowd taking a detection": 0, "small-box threshold": 0}
    with tempfile.TemporaryDirectory(prefix="crosscheck-vid-") as folder:
        for case in range(cases):
            case_seed = seed * 100019 + case
            problems, expected, gt_path, res_path = check_vid_case(tool, folder, case_seed)
            stats = expected["stats"]
            reached["split"] += expected["motion"] is not None
            reached["AP strictly between 0 and 1"] += any(
                0 < c["ap"] < 1 for c in expected["categories"])
            reached["motion IoU exactly 0.7 or 0.9"] += stats["on bin edge"] > 0
            reached["FP weighed by a tie"] += stats["tie weights"] > 0
            reached["FP weighed on the background"] += stats["background weights"] > 0
            reached["crowd taking a detection"] += stats["crowd matches"] > 0
            reached["small-box threshold"] += stats["small matches"] > 0
            if not problems:
                continue
            failed += 1
            dest = os.path.join(keep_dir, "case-%d" % case)
            os.makedirs(dest, exist_ok=True)
            shutil.copy(gt_path, os.path.join(dest, "gt.json"))
            shutil.copy(res_path, os.path.join(dest, "res.json"))
            print("vid case %d (seed %d), files in %s:" % (case, case_seed, dest))
            for line in problems[:8]:
                print("  " + line)
    print("vid cases reaching: " + ", ".join("%s %d" % item for item in reached.items()))
    return failed
