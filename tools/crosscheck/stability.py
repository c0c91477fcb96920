"""`talmira stability` against a model of the stability of detections over
each ground-truth track, written from the measure's definition:

For each ground-truth track with at least one matched frame, per matched
frame e_x = (xc_d - xc_g) / w_g, e_y = (yc_d - yc_g) / h_g,
e_r = (w_d / h_d) / (w_g / h_g) - 1, e_s = sqrt(w_d h_d) / sqrt(w_g h_g) - 1;
E_C = sd(e_x) + sd(e_y), E_R = sd(e_r) + sd(e_s) (population sds, numpy's
two-pass std); E_F = changes between matched and unmatched over the track's
annotated frames / (frames - 1), 0 for one frame. Each averaged over the
tracks used.

Two roads, as the tool has them:

* CLEAR (--rules mot): random MOT17 and MOT15 sequences of the tracking
  cross-check's generator (ties, distractors, boxes at IoU 0.5 exactly,
  tracks never matched, one-frame tracks); the pairs are the tracking
  model's own CLEAR matching (tracking.py), so they are the model's alone.
* Detection (default rules): random files of this format with identities
  in column 14 (boxes that jitter, rescale, vanish, duplicate; flagged
  boxes; boxes the size test drops; frames on one side only; identities
  that change class; don't-care regions). Many largest assignments may
  exist, so the pairs are the tool's (`talmira events`), after the model
  has made sure they are one (each pair passes the overlap test with
  neither box flagged nor in a region, as many pairs as the model's largest
  matching); which boxes count, the identities, the frames and every error
  are the model's.

Every track of every class: frames, matched and changes equal, the errors
within 1e-12, the worst frames' magnitudes those of the model's three
largest.
"""

import json
import math
import os
import random
import shutil
import tempfile

import numpy as np

from . import tracking
from .matching import max_matching, overlap_passes, region_covers
from .records import EVAL_CLASSES, parse_annotation
from .runner import run_quietly
from .tracking_check import write_case
from .tracking_generate import make_tracking_case

TOLERANCE = 1e-12
HEADER = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n"


# --- the measure ---------------------------------------------------------

def offsets(g, d):
    """(e_x, e_y, e_r, e_s) of detection d against truth g, each
    (left, top, width, height)."""
    gx, gy = g[0] + g[2] / 2.0, g[1] + g[3] / 2.0
    dx, dy = d[0] + d[2] / 2.0, d[1] + d[3] / 2.0
    return ((dx - gx) / g[2], (dy - gy) / g[3],
            (d[2] / d[3]) / (g[2] / g[3]) - 1.0,
            math.sqrt(d[2] * d[3]) / math.sqrt(g[2] * g[3]) - 1.0)


def track_errors(frames):
    """A track's figures from its annotated frames in order: [(frame,
    offsets or None)]."""
    flags = [o is not None for _, o in frames]
    changes = sum(1 for a, b in zip(flags, flags[1:]) if a != b)
    matched = [(f, o) for f, o in frames if o is not None]
    out = {"frames": len(frames), "matched": len(matched), "changes": changes}
    if not matched:
        return out
    values = np.array([o for _, o in matched], dtype=np.float64)
    sds = np.std(values, axis=0)
    out["fragment_error"] = changes / (len(frames) - 1) if len(frames) > 1 else 0.0
    out["sd_x"], out["sd_y"], out["sd_ratio"], out["sd_scale"] = (float(v) for v in sds)
    out["centre_error"] = out["sd_x"] + out["sd_y"]
    out["scale_ratio_error"] = out["sd_ratio"] + out["sd_scale"]
    out["sum"] = out["fragment_error"] + out["centre_error"] + out["scale_ratio_error"]
    out["magnitudes"] = {f: math.sqrt(sum(v * v for v in o)) for f, o in matched}
    return out


def summary(tracks):
    used = [t for t in tracks.values() if t["matched"] > 0]
    out = {"tracks": len(used), "left_out": len(tracks) - len(used)}
    for key in ("fragment_error", "centre_error", "scale_ratio_error", "sum"):
        out[key] = sum(t[key] for t in used) / len(used) if used else None
    return out


# --- comparing -------------------------------------------------------------

def close(a, b):
    return abs(a - b) <= TOLERANCE * max(1.0, abs(b))


def compare_class(name, tool_row, model_tracks, problems, counts):
    tool_tracks = {t["identity"]: t for t in tool_row["per_track"]}
    if sorted(tool_tracks) != sorted(model_tracks):
        problems.append("%s: tracks %s, model %s" % (name, sorted(tool_tracks),
                                                     sorted(model_tracks)))
        return
    for ident, want in model_tracks.items():
        got = tool_tracks[ident]
        counts["tracks"] += 1
        for key in ("frames", "matched", "changes"):
            if got[key] != want[key]:
                problems.append("%s track %s: %s %r, model %r" % (name, ident, key, got[key],
                                                                  want[key]))
        if want["matched"] == 0:
            counts["left out"] += 1
            if got["fragment_error"] is not None:
                problems.append("%s track %s: never matched, yet has errors" % (name, ident))
            continue
        for key in ("fragment_error", "centre_error", "sd_x", "sd_y", "scale_ratio_error",
                    "sd_ratio", "sd_scale", "sum"):
            if got[key] is None or not close(got[key], want[key]):
                problems.append("%s track %s: %s %r, model %r" % (name, ident, key, got[key],
                                                                  want[key]))
        mags = want["magnitudes"]
        best = sorted(mags.values(), reverse=True)[:3]
        worst = got["worst_frames"]
        if len(worst) != len(best) or any(w["frame"] not in mags for w in worst) or not all(
                close(mags[w["frame"]], b) for w, b in zip(worst, best)):
            problems.append("%s track %s: worst frames %s, model's largest magnitudes %s"
                            % (name, ident, [w["frame"] for w in worst], best))
        if want["frames"] == 1:
            counts["one-frame tracks"] += 1
        if want["changes"]:
            counts["fragmented tracks"] += 1
    want = summary(model_tracks)
    for key, value in want.items():
        got = tool_row[key]
        if value is None or isinstance(value, int):
            if got != value:
                problems.append("%s: %s %r, model %r" % (name, key, got, value))
        elif got is None or not close(got, value):
            problems.append("%s: %s %r, model %r" % (name, key, got, value))


def run_tool_json(command):
    proc = run_quietly(command)
    if proc.returncode != 0:
        return None, "status %d: %s" % (proc.returncode, proc.stderr.decode(errors="replace"))
    return json.loads(proc.stdout), None


# --- CLEAR's road -----------------------------------------------------------

def clear_model(gt_text, tracker_text, rules, length):
    gt_rows = tracking.parse_rows(gt_text, "gt.txt")
    tracker_rows = tracking.parse_rows(tracker_text, "tracker.txt")
    seq = tracking.preprocess(gt_rows, tracker_rows, length, rules)
    matches = {}

    def observe(t, rows, cols):
        matches[t] = dict(zip((int(r) for r in rows), (int(c) for c in cols)))

    tracking.clear(seq, observe=observe)
    frames = {}
    for t, f in enumerate(seq.frames):
        pairs = matches.get(t, {})
        for i, g in enumerate(f.gt_ids):
            j = pairs.get(i)
            o = None if j is None else offsets(f.gt_boxes[i], f.tracker_boxes[j])
            frames.setdefault(int(seq.gt_values[g]), []).append((t + 1, o))
    return {str(ident): track_errors(fr) for ident, fr in frames.items()}


def check_clear_case(tool, folder, case, counts):
    gt, tracker = write_case(folder, case["gt"], case["tracker"], case["seqinfo"])
    layout = "mot15" if case["layout"] == "mot15" else "mot16"
    length = case["length"]
    try:
        if length is None:
            length = tracking.last_frame(tracking.parse_rows(case["gt"]),
                                         tracking.parse_rows(case["tracker"]))
        model = clear_model(case["gt"], case["tracker"], case["rules"], length)
    except tracking.ModelInputError:
        counts["refused cases"] += 1
        return []  # the tracking cross-check holds the tool to the refusals
    data, failure = run_tool_json([tool, "stability", gt, tracker, "--gt-format", layout,
                                   "--sys-format", layout, "--rules", "mot", "--format", "json"])
    if failure:
        return ["tool: " + failure]
    problems = []
    rows = {row["class"]: row for row in data["classes"]}
    for name in ("All", "pedestrian"):
        if name not in rows:
            problems.append("no %s row" % name)
            continue
        compare_class(name, rows[name], model, problems, counts)
    return problems


# --- the detection road ----------------------------------------------------

CLASSES = ("Car", "Person", "Bus")


def make_detection_case(seed):
    """(ground truth, detections) texts of this format, identities in the
    truth's column 14."""
    rng = random.Random(seed)
    length = rng.randint(1, 30)
    gt_lines, sys_lines = [], []
    objects = []
    for k in range(rng.choice([0, 1, 2, 3, 4, 6, 8])):
        start = rng.randint(1, length)
        objects.append({
            "id": rng.choice(["p", "car-", "t"]) + str(rng.randint(0, 40)) + "_" + str(k),
            "cls": rng.choice(CLASSES), "start": start,
            "end": rng.randint(start, length) if rng.random() < 0.85 else start,
            "x": rng.randint(0, 600), "y": rng.randint(0, 400),
            "w": rng.randint(31, 140) if rng.random() < 0.9 else rng.randint(5, 29),
            "h": rng.randint(31, 140), "found": rng.choice([0.0, 0.5, 0.8, 0.95, 1.0]),
            "jitter": rng.choice([0, 0, 2, 6, 15]), "grow": rng.choice([0, 0, 3, 10]),
            "vx": rng.randint(-8, 8), "vy": rng.randint(-4, 4)})

    def record(frame, x, y, w, h, cls, conf, ident="", flag="FALSE"):
        return "%d,%d,%d,%d,%d,%d,%d,%d,%d,%s,%s,FALSE,%s,%s,0\n" % (
            frame, x, y, x + w, y, x + w, y + h, x, y + h, cls, flag, conf, ident)

    sys_missing = set(f for f in range(1, length + 1) if rng.random() < 0.1)
    for frame in range(1, length + 1):
        if rng.random() < 0.1 and objects:
            gt_lines.append(record(frame, rng.randint(0, 500), rng.randint(0, 300), 200, 200,
                                   "DCR", "1.0", "region"))
        for o in objects:
            if not o["start"] <= frame <= o["end"]:
                continue
            if rng.random() < 0.08:
                continue  # not annotated in this frame
            step = frame - o["start"]
            x, y = o["x"] + o["vx"] * step, o["y"] + o["vy"] * step
            cls = o["cls"] if rng.random() < 0.93 else rng.choice(CLASSES)
            flag = "TRUE" if rng.random() < 0.06 else "FALSE"
            gt_lines.append(record(frame, x, y, o["w"], o["h"], cls, "1.0", o["id"], flag))
            if frame in sys_missing or rng.random() >= o["found"]:
                continue
            for _ in range(2 if rng.random() < 0.1 else 1):
                j, g = o["jitter"], o["grow"]
                dw, dh = rng.randint(-g, g), rng.randint(-g, g)
                sys_lines.append(record(frame, x + rng.randint(-j, j), y + rng.randint(-j, j),
                                        max(1, o["w"] + dw), max(1, o["h"] + dh),
                                        cls if rng.random() < 0.95 else rng.choice(CLASSES),
                                        "%.2f" % rng.random()))
        if frame not in sys_missing and rng.random() < 0.3:
            sys_lines.append(record(frame, rng.randint(0, 700), rng.randint(0, 500),
                                    rng.randint(31, 90), rng.randint(31, 90),
                                    rng.choice(CLASSES), "%.2f" % rng.random()))
    return HEADER + "".join(gt_lines), HEADER + "".join(sys_lines)


def identities(text):
    """Line -> column 14's text, for the records of a truth."""
    out = {}
    for number, line in enumerate(text.split("\n")[1:], start=2):
        fields = line.split(",")
        if len(fields) == 15:
            out[number] = fields[13].strip()
    return out


def rectangle(box):
    return (box.min_x, box.min_y, box.max_x - box.min_x, box.max_y - box.min_y)


def event_pairs(rows):
    """{(gt_frame_line, gt line): sys line} of the match rows of the truth."""
    pairs = {}
    for row in rows[1:]:
        fields = row.split(",")
        if len(fields) >= 8 and fields[2] == "gt" and fields[6] == "match":
            pairs[(int(fields[0]), int(fields[3]))] = int(fields[7])
    return pairs


def detection_model(gt_text, sys_text, cls, confidence, pairs, problems):
    """The tracks of class `cls` (All: every class) on the tool's pairs,
    once the model has checked them."""
    gt_frames = parse_annotation(gt_text.encode())
    sys_frames = parse_annotation(sys_text.encode())
    names = identities(gt_text)
    tracks = {}

    def pick(frame):
        return [t for t in frame.targets if t.conf >= confidence and (cls == "All"
                                                                      or t.cls == cls)]

    for gf in gt_frames:
        gts = pick(gf)
        partner = next((sf for sf in sys_frames if sf.number == gf.number), None)
        dets = pick(partner) if partner is not None else []
        by_line = {d.line: d for d in dets}
        kept = [d for d in dets if not any(region_covers(d, r) for r in gf.regions)]
        set_aside = set()
        adjacency = []
        for g in gts:
            for d in kept:
                if overlap_passes(g, d) and (g.flagged or d.flagged):
                    set_aside.add(d.line)
        for g in gts:
            if not g.flagged:
                adjacency.append([j for j, d in enumerate(kept)
                                  if d.line not in set_aside and not d.flagged
                                  and overlap_passes(g, d)])
        largest = max_matching(len(adjacency), adjacency)
        paired = 0
        for g in gts:
            if g.flagged:
                continue
            line = pairs.get((gf.line, g.line))
            o = None
            if line is not None:
                d = by_line.get(line)
                if (d is None or d.flagged or d.line in set_aside or d not in kept
                        or not overlap_passes(g, d)):
                    problems.append("%s: events pairs truth line %d with %r, which cannot match"
                                    % (cls, g.line, line))
                    continue
                paired += 1
                o = offsets(rectangle(g), rectangle(d))
            tracks.setdefault(names[g.line], []).append((gf.number, o))
        if paired != largest:
            problems.append("%s: frame of line %d: %d pairs, the largest matching has %d"
                            % (cls, gf.line, paired, largest))
    return {ident: track_errors(fr) for ident, fr in tracks.items()}


def check_detection_case(tool, folder, seed, counts):
    gt_text, sys_text = make_detection_case(seed)
    gt = os.path.join(folder, "gt.csv")
    det = os.path.join(folder, "det.csv")
    for path, text in ((gt, gt_text), (det, sys_text)):
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)
    rng = random.Random(seed + 17)
    confidence = rng.choice([0.0, 0.0, 0.0, 0.5])
    extra = ["-c", str(confidence)] if confidence else []
    data, failure = run_tool_json([tool, "stability", gt, det, "--ids", "text", "--format",
                                   "json"] + extra)
    if failure:
        return ["tool: " + failure]
    rows = {row["class"]: row for row in data["classes"]}
    problems = []
    for cls in EVAL_CLASSES:
        if cls not in rows:
            problems.append("no %s row" % cls)
            continue
        proc = run_quietly([tool, "events", gt, det, "--class", cls] + extra)
        if proc.returncode != 0:
            return ["events: status %d" % proc.returncode]
        pairs = event_pairs(proc.stdout.decode().splitlines())
        model = detection_model(gt_text, sys_text, cls, np.float32(confidence), pairs, problems)
        compare_class(cls, rows[cls], model, problems, counts)
    return problems


# --- the run ---------------------------------------------------------------

def run_stability_cases(tool, cases, seed, first=0, keep_dir=None, show=3):
    """Both roads on `cases` random cases each; the number that failed."""
    import collections
    counts = collections.Counter()
    failed = 0
    keep_dir = keep_dir or os.path.join(tempfile.gettempdir(), "crosscheck-stability-%d" % seed)
    with tempfile.TemporaryDirectory(prefix="crosscheck-stability-") as tmp:
        for index in range(first, first + cases):
            case_seed = seed * 1000003 + index
            for road in ("clear", "detection"):
                folder = os.path.join(tmp, road)
                os.makedirs(folder, exist_ok=True)
                if road == "clear":
                    problems = check_clear_case(tool, folder, make_tracking_case(case_seed),
                                                counts)
                else:
                    problems = check_detection_case(tool, folder, case_seed, counts)
                counts[road + " cases"] += 1
                if not problems:
                    continue
                failed += 1
                kept = os.path.join(keep_dir, "%s-%d" % (road, index))
                shutil.rmtree(kept, ignore_errors=True)
                shutil.copytree(folder, kept)
                if failed <= show:
                    print("case %d (%s road) differs, kept in %s:" % (index, road, kept))
                    for line in problems[:12]:
                        print("  " + line)
    print("stability: " + ", ".join("%s %d" % kv for kv in sorted(counts.items())))
    return failed


# --- a dataset: pooled over sequences, and two detectors compared -----------
#
# A dataset's error is the mean over every track used of every sequence
# (not the mean of the sequences' means). The paired bootstrap resamples the
# sequences: resample r draws n sequences with SplitMix64 (state seed + k *
# gamma, the draw among n the high 64 bits of the 128-bit product), sequence
# k drawn w_k times adds w_k * (its sum of each error) and w_k * (its tracks
# used) to each detector's, whose errors are the sums over the tracks (0
# without a track); the interval's ends are the (k+1)-th smallest and largest
# of the R differences B - A, k = floor(R (1 - L) / 2).

MASK = (1 << 64) - 1


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def below(self, n):
        return (self.next() * n) >> 64


ERRORS = (("E_F", "fragment_error"), ("E_C", "centre_error"), ("E_R", "scale_ratio_error"))


def sums_of(tracks):
    """(tracks used, left out, sum of each error) over a sequence's tracks,
    in identity order."""
    used = [tracks[i] for i in sorted(tracks, key=int) if tracks[i]["matched"] > 0]
    out = [len(used), len(tracks) - len(used)]
    for _, key in ERRORS:
        total = 0.0
        for t in used:
            total += t[key]
        out.append(total)
    return out


def means_of(sums):
    """The pooled errors and their sum (0 without a track used)."""
    if sums[0] == 0:
        return [0.0, 0.0, 0.0, 0.0]
    means = [s / sums[0] for s in sums[2:]]
    return means + [means[0] + means[1] + means[2]]


def pooled(per_sequence, weights=None):
    total = [0, 0, 0.0, 0.0, 0.0]
    for k, sums in enumerate(per_sequence):
        w = 1 if weights is None else weights[k]
        if w == 0:
            continue
        total[0] += w * sums[0]
        total[1] += w * sums[1]
        for v in range(2, 5):
            total[v] += float(w) * sums[v]
    return total


def model_bootstrap(a, b, resamples, seed):
    """The R differences B - A of the pooled E_F, E_C, E_R and sum."""
    generator = SplitMix64(seed)
    n = len(a)
    differences = [[] for _ in range(4)]
    for _ in range(resamples):
        weights = [0] * n
        for _ in range(n):
            weights[generator.below(n)] += 1
        ma, mb = means_of(pooled(a, weights)), means_of(pooled(b, weights))
        for e in range(4):
            differences[e].append(mb[e] - ma[e])
    return differences


def perturbed(tracker_text, rng):
    """Another tracker on the same sequence: some boxes dropped, others
    moved and resized by a few pixels."""
    out = []
    for line in tracker_text.splitlines():
        fields = line.split(",")
        if len(fields) < 6 or rng.random() < 0.1:
            continue
        if rng.random() < 0.6:
            left, top, width, height = (float(v) for v in fields[2:6])
            width = max(1.0, width + rng.uniform(-4, 4))
            height = max(1.0, height + rng.uniform(-4, 4))
            fields[2:6] = ["%.2f" % (left + rng.uniform(-3, 3)), "%.2f" % (top + rng.uniform(-3, 3)),
                           "%.2f" % width, "%.2f" % height]
        out.append(",".join(fields))
    return "\n".join(out) + ("\n" if out else "")


def check_dataset_case(tool, folder, seed, counts, resamples=200):
    """A dataset of MOT sequences (CLEAR's road): batch --stability per
    sequence and pooled, its shards merged, and compare --stability's
    pooled errors and intervals, all against the model."""
    rng = random.Random(seed)
    batch_lines = ["sequence,groundtruth,system,gt_format,sys_format"]
    compare_lines = ["sequence,groundtruth,system_a,system_b,gt_format,sys_format"]
    model_a, model_b = [], []
    for k in range(rng.randint(2, 5)):
        case = make_tracking_case(seed * 31 + k)
        layout = "mot15" if case["layout"] == "mot15" else "mot16"
        length = case["length"]
        tracker_b = perturbed(case["tracker"], rng)
        try:
            if length is None:
                # Without seqinfo.ini, each pair's length is its own last frame.
                length_a = tracking.last_frame(tracking.parse_rows(case["gt"]),
                                               tracking.parse_rows(case["tracker"]))
                length_b = tracking.last_frame(tracking.parse_rows(case["gt"]),
                                               tracking.parse_rows(tracker_b))
            else:
                length_a = length_b = length
            a = clear_model(case["gt"], case["tracker"], case["rules"], length_a)
            b = clear_model(case["gt"], tracker_b, case["rules"], length_b)
        except tracking.ModelInputError:
            counts["refused sequences"] += 1
            continue
        name = "S%d" % k
        gt, tracker = write_case(os.path.join(folder, name), case["gt"], case["tracker"],
                                 case["seqinfo"])
        other = os.path.join(folder, name, "tracker_b.txt")
        with open(other, "w", encoding="utf-8") as out:
            out.write(tracker_b)
        batch_lines.append("%s,%s,%s,%s,%s" % (name, gt, tracker, layout, layout))
        compare_lines.append("%s,%s,%s,%s,%s,%s" % (name, gt, tracker, other, layout, layout))
        model_a.append(a)
        model_b.append(b)
    if len(model_a) < 2:
        counts["datasets too small"] += 1
        return []
    batch_list = os.path.join(folder, "batch.csv")
    compare_list = os.path.join(folder, "compare.csv")
    for path, lines in ((batch_list, batch_lines), (compare_list, compare_lines)):
        with open(path, "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")
    common = ["--stability", "--gt-format", "mot", "--sys-format", "mot", "--rules", "mot"]
    problems = []

    # batch: each sequence and the pool.
    data, failure = run_tool_json([tool, "batch", batch_list, "-q", "--format", "json"] + common)
    if failure:
        return ["batch: " + failure]
    sums_a = [sums_of(a) for a in model_a]
    for k, (entry, a) in enumerate(zip(data["sequences"], model_a)):
        rows = {row["class"]: row for row in entry["classes"]}
        for cls in ("All", "pedestrian"):
            if cls not in rows:
                if a:
                    problems.append("sequence %d: no %s row" % (k, cls))
                continue
            want = summary(a)
            for key, value in want.items():
                got = rows[cls][key]
                if (got != value) if (value is None or isinstance(value, int)) else (
                        got is None or not close(got, value)):
                    problems.append("sequence %d %s: %s %r, model %r" % (k, cls, key, got, value))
    total = pooled(sums_a)
    means = means_of(total)
    rows = {row["class"]: row for row in data["total"]["classes"]}
    got = rows.get("All")
    if got is None or got["tracks"] != total[0] or got["left_out"] != total[1]:
        problems.append("pooled All: %r, model tracks %d left out %d" % (got, total[0], total[1]))
    elif total[0] > 0:
        for (_, key), want in zip(ERRORS + (("Sum", "sum"),), means):
            if not close(got[key], want):
                problems.append("pooled All %s: %r, model %r" % (key, got[key], want))
        # The pool is no mean of the sequences' means (unless they weigh alike).
        counts["pooled tracks"] += total[0]
    counts["datasets"] += 1

    # shards merged: the very bytes of one run, in each format.
    for fmt in ("json", "csv", "text"):
        whole = run_quietly([tool, "batch", batch_list, "-q", "--format", fmt] + common)
        parts = []
        for shard in ("1/2", "2/2"):
            part = os.path.join(folder, "part%s.json" % shard[0])
            proc = run_quietly([tool, "batch", batch_list, "-q", "--shard", shard, "-o", part]
                               + common)
            if proc.returncode != 0:
                problems.append("shard %s: status %d" % (shard, proc.returncode))
            parts.append(part)
        merged = run_quietly([tool, "merge", "--format", fmt] + parts[::-1])
        if merged.returncode != 0 or merged.stdout != whole.stdout:
            problems.append("merge --format %s differs from one run (status %d)"
                            % (fmt, merged.returncode))

    # compare: the pooled errors of both and the intervals of B - A.
    seed_b = rng.randint(0, 2 ** 64 - 1)
    data, failure = run_tool_json([tool, "compare", "--dataset", compare_list, "-q",
                                   "--resamples", str(resamples), "--seed", str(seed_b),
                                   "--format", "json"] + common)
    if failure:
        return problems + ["compare: " + failure]
    sums_b = [sums_of(b) for b in model_b]
    rows = {row["class"]: row for row in data["classes"]}
    if data["units"] != len(model_a) or "All" not in rows:
        return problems + ["compare: units %r, classes %s" % (data["units"], sorted(rows))]
    row = rows["All"]
    want_a, want_b = means_of(pooled(sums_a)), means_of(pooled(sums_b))
    differences = model_bootstrap(sums_a, sums_b, resamples, seed_b)
    kth = resamples * 5 // 200  # floor(R (1 - 0.95) / 2)
    for e, got in enumerate(row["errors"]):
        name = got["error"]
        for key, want in (("a", want_a[e]), ("b", want_b[e])):
            if not close(got[key], want):
                problems.append("compare %s %s: %r, model %r" % (name, key, got[key], want))
        ordered = sorted(differences[e])
        for key, want in (("low", ordered[kth]), ("high", ordered[-1 - kth])):
            if not close(got[key], want):
                problems.append("compare %s %s: %r, model %r" % (name, key, got[key], want))
        # B is better when its error is lower; a difference within rounding
        # of 0 may fall on either side.
        eps = 1e-9
        lower = sum(1 for d in differences[e] if d < -eps)
        lower_or_zero = sum(1 for d in differences[e] if d < eps)
        if not lower <= round(got["b_better"] * resamples) <= lower_or_zero:
            problems.append("compare %s b_better %r, model %d to %d of %d"
                            % (name, got["b_better"], lower, lower_or_zero, resamples))
        higher = sum(1 for d in differences[e] if d > eps)
        higher_or_zero = sum(1 for d in differences[e] if d > -eps)
        if not higher <= round(got["a_better"] * resamples) <= higher_or_zero:
            problems.append("compare %s a_better %r, model %d to %d of %d"
                            % (name, got["a_better"], higher, higher_or_zero, resamples))
    counts["compared datasets"] += 1
    return problems


def run_stability_dataset_cases(tool, cases, seed, first=0, keep_dir=None, show=3):
    """`cases` random datasets; the number that failed."""
    import collections
    counts = collections.Counter()
    failed = 0
    keep_dir = keep_dir or os.path.join(tempfile.gettempdir(),
                                        "crosscheck-stability-dataset-%d" % seed)
    with tempfile.TemporaryDirectory(prefix="crosscheck-stability-dataset-") as tmp:
        for index in range(first, first + cases):
            folder = os.path.join(tmp, "case")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            problems = check_dataset_case(tool, folder, seed * 1000003 + index, counts)
            if not problems:
                continue
            failed += 1
            kept = os.path.join(keep_dir, "dataset-%d" % index)
            shutil.rmtree(kept, ignore_errors=True)
            shutil.copytree(folder, kept)
            if failed <= show:
                print("dataset case %d differs, kept in %s:" % (index, kept))
                for line in problems[:12]:
                    print("  " + line)
    print("stability datasets: " + ", ".join("%s %d" % kv for kv in sorted(counts.items())))
    return failed
