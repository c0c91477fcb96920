"""The MOT family's files (mot, mot15, visdrone, uavdt): a seeded generator
of ground-truth and detection pairs aimed at what those formats say beyond
a box (a detection's score of -1, which gives none; a negative width or
height; MOT15's world coordinates where mot reads a class), the model's
reading of them, and the check of `talmira score`, `sweep`, `events` and
`check` on them against the model.

The model reads a line as the formats' pages describe them: right = left +
width and bottom = top + height from the exact decimals, each rounded to a
whole number with halves away from zero; a negative width or height is a
box of no area at its left or top (as the benchmarks' evaluators give it
zero area), noted on its line; a detection's score of exactly -1 is none,
taken at every threshold (the model's confidence is infinite) and shown as
an empty cell by `events`; the labels go through each dataset's map onto
this format's classes (the model's own table, written as the --classes map
the tool is given); the records are put in frame order (stable), and then
filed as the model files this format's records (the DCF records and the
boxes the size test drops start no frame). A file given as mot whose line of
ten columns holds a column 8 that is no whole number is read as mot15 from
that line on, with a warning, unless a line before gave a class other than
1 (or -1, or none): then the tool must fail naming the line.
"""

import collections
import json
import os
import random
import shutil
import tempfile
from decimal import Decimal
from fractions import Fraction

from . import rules, runner
from .counts import score
from .events import check_events, events_options, print_event_stats
from .floats import f32, f32_of_decimal
from .records import Box, Frame, big_enough
from .rules import random_rules
from .runner import run_quietly


FORMATS = ["mot", "mot15", "visdrone", "uavdt"]

# Each dataset's labels onto this format's types, with the flag they set.
MAPS = {
    "mot": {1: ("Person", ""), 2: ("Person", "A"), 3: ("Car", ""), 4: ("Cyclist", ""),
            5: ("Cyclist", ""), 6: ("DCF", ""), 7: ("Person", "A"), 8: ("Person", "A"),
            9: ("DCF", ""), 10: ("DCF", ""), 11: ("DCF", ""), 12: ("Person", "A")},
    "mot15": {1: ("Person", "")},
    "visdrone": {0: ("DCR", ""), 1: ("Person", ""), 2: ("Person", ""), 3: ("Cyclist", ""),
                 4: ("Car", ""), 5: ("Car", ""), 6: ("Truck", ""), 7: ("Cyclist", ""),
                 8: ("Cyclist", ""), 9: ("Bus", ""), 10: ("Cyclist", ""), 11: ("DCR", "")},
    "uavdt": {1: ("Car", ""), 2: ("Truck", ""), 3: ("Bus", "")},
}

MOT15_LAYOUT = "frame,id,left,top,width,height,conf,x,y,z"


class ModelFailure(Exception):
    """A file the tool must refuse: the message it must print."""


def map_text(fmt):
    """The model's map of `fmt`, as the --classes file the tool reads."""
    lines = ["label,type,flag"]
    for label, (kind, flag) in sorted(MAPS[fmt].items()):
        lines.append("%d,%s,%s" % (label, kind, flag))
    return "\n".join(lines) + "\n"


def round_away(value):
    """A Fraction rounded to a whole number, halves away from zero."""
    whole = (abs(value.numerator) * 2 + value.denominator) // (2 * value.denominator)
    return whole if value >= 0 else -whole


def exact(text):
    return Fraction(Decimal(text.strip()))


def whole_number(text):
    """The whole number a text holds ("3", "3.0", "-1"), or None."""
    try:
        value = exact(text)
    except ArithmeticError:
        return None
    return int(value) if value.denominator == 1 else None


# Where each layout keeps what (columns from 1; 0 for nowhere): the seventh
# column's role, the class's column, whether the class must be given.
def layout(fmt, system):
    if fmt == "visdrone":
        return {"consider": 0 if system else 7, "score": 7 if system else 0, "label": 8,
                "required": True, "min": 8}
    if fmt == "uavdt":
        if system:
            return {"consider": 0, "score": 7, "label": 9, "required": False, "min": 7}
        return {"consider": 0, "score": 0, "label": 9, "required": True, "min": 9}
    label = 0 if fmt == "mot15" else 8
    return {"consider": 0 if system else 7, "score": 7 if system else 0, "label": label,
            "required": False, "min": 7}


def read_mot(data, fmt, system, path):
    """(frames, lines written with a negative width or height, warnings) of
    a file as the tool reads it; ModelFailure with the message it must give
    when it refuses the file."""
    columns_of = layout(fmt, system)
    may_be_mot15 = fmt == "mot"
    class_line = None  # (line, class) of the first class that MOT15 reads otherwise
    records = []
    negative_lines = []
    warnings = []
    for number, line in enumerate(data.decode("latin-1").split("\n"), start=1):
        line = line.rstrip("\r")
        if not line.strip(" \t"):
            continue
        cols = line.split(",")
        frame = whole_number(cols[0])
        left, top, width, height = (exact(c) for c in cols[2:6])
        x1, y1 = round_away(left), round_away(top)
        x2 = x1 if width < 0 else round_away(left + width)
        y2 = y1 if height < 0 else round_away(top + height)
        if width < 0 or height < 0:
            negative_lines.append(number)
        flagged = columns_of["consider"] != 0 and exact(cols[columns_of["consider"] - 1]) == 0
        conf, no_score = 1.0, False
        if columns_of["score"] != 0:
            text = cols[columns_of["score"] - 1].strip(" \t")
            if exact(text) == -1:
                conf, no_score = float("inf"), True
            else:
                conf = f32_of_decimal(text)
        label = 1
        if columns_of["label"] != 0 and columns_of["label"] <= len(cols):
            text = cols[columns_of["label"] - 1]
            given = whole_number(text)
            if given is None:
                if not may_be_mot15:
                    raise AssertionError("the generator wrote no class %r" % text)
                what = 'column 8: "%s" is not a class number' % text.strip(" \t")
                if len(cols) != 10:
                    raise ModelFailure(
                        "%s:%d: %s (nor is this MOT15's layout, %s, whose column 8 is a world "
                        "coordinate: it has %d columns)" % (path, number, what, MOT15_LAYOUT,
                                                            len(cols)))
                if class_line is not None:
                    raise ModelFailure(
                        "%s:%d: %s, yet line %d gave the class %d: if the file is MOT15 (%s), "
                        "read it as mot15" % ((path, number, what) + class_line
                                              + (MOT15_LAYOUT,)))
                warnings.append(
                    "%s:%d: %s: read as a MOT15 file (%s, column 8 a world coordinate), every "
                    "box a pedestrian, as the format mot15 reads it"
                    % (path, number, what, MOT15_LAYOUT))
                columns_of = dict(columns_of, label=0)
                may_be_mot15 = False
            elif columns_of["required"] or given != -1:
                label = given
        if may_be_mot15 and label != 1 and class_line is None:
            class_line = (number, label)
        kind, flag = MAPS["mot" if fmt == "mot" else fmt][label]
        records.append((frame, number, [x1, x2, x2, x1], [y1, y1, y2, y2], kind, flag == "A",
                        flagged, conf, no_score))
    records.sort(key=lambda r: r[0])  # stable: each frame's in file order
    frames = []
    for frame, number, xs, ys, kind, mark_a, mark_b, conf, no_score in records:
        if kind == "DCF" or not big_enough(xs, ys):
            continue
        if not frames or frames[-1].number != frame:
            frames.append(Frame(frame, number))
        box = Box(xs, ys, kind, mark_a, mark_b, conf, number, no_score)
        (frames[-1].regions if kind == "DCR" else frames[-1].targets).append(box)
    return frames, negative_lines, warnings


class MotGen:
    """One case's pair: frames of objects, each written in the layout of its
    file's format, with decimals, halves, negative sizes and -1 scores."""

    def __init__(self, rng, gt_format, sys_format):
        self.rng = rng
        self.gt_format, self.sys_format = gt_format, sys_format
        self.negative_rate = rng.choice([0.0, 0.1, 0.3])
        self.none_rate = rng.choice([0.0, 0.3, 0.8, 1.0])
        self.decimal_rate = rng.choice([0.0, 0.3, 0.7])
        # A MOT15 file given as mot: column 8 a world coordinate from some line on.
        self.world_from = None
        self.class_first = False
        if gt_format == "mot" and rng.random() < 0.3:
            self.world_from = rng.randint(1, 12)
            # now and then a whole x on the first line: a class to mot, so
            # that the file can be neither and must be refused
            self.class_first = rng.random() < 0.25

    def number(self, whole):
        """A coordinate or size near `whole`: as it is, or with decimals
        (halves often), in any of the ways a file writes a number."""
        rng = self.rng
        value = Decimal(whole)
        if rng.random() < self.decimal_rate:
            value += Decimal(rng.choice(["0.5", "-0.5", "0.25", "0.49", "0.51", "0.125",
                                         "-0.05", "0.0001"]))
        text = format(value, "f")
        c = rng.random()
        if c < 0.05 and "." in text:
            text += "00"
        elif c < 0.08:
            text += "e0"
        elif c < 0.1:
            text = " " + text
        return text

    def size(self):
        rng = self.rng
        side = rng.choice([30, 40, 50, 60, 80, 100, 10, 20, 0, 29, 31])
        if rng.random() < self.negative_rate:
            return "-" + self.number(side).lstrip(" ") if side else "-0.5"
        return self.number(side)

    def score_text(self, threshold_text):
        rng = self.rng
        if rng.random() < self.none_rate:
            return rng.choice(["-1", "-1", "-1", "-1.0", "-1.00", "-10e-1", "-1e0", " -1"])
        c = rng.random()
        if threshold_text is not None and c < 0.3:
            return threshold_text
        return rng.choice(["0.9", "0.5", "0.3", "1", "0", "0.2", "-1.0001", "-0.9999", "-2",
                           ".75", "0.1", "1.5"])

    def truth_line(self, frame, ident, box, number):
        rng = self.rng
        lead = "%d,%d,%s,%s,%s,%s" % ((frame, ident) + box)
        fmt = self.gt_format
        consider = "0" if rng.random() < 0.12 else rng.choice(["1", "1", "1.0"])
        if fmt == "mot":
            if self.world_from is not None:
                # MOT15's layout: x, y, z; x -1 until the line that tells.
                x = "-1" if number < self.world_from else rng.choice(
                    ["4.4852", "-3.25", "12.5", "7", "-1", "1"])
                if number == self.world_from:
                    x = rng.choice(["4.4852", "0.5", "-12.125"])
                elif number == 1 and self.class_first:
                    x = rng.choice(["3", "12", "1"])
                return "%s,%s,%s,%s,0" % (lead, consider, x, rng.choice(["-1", "2.5"]))
            label = rng.choice([1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -1])
            return "%s,%s,%d,%s" % (lead, consider, label, rng.choice(["1", "0.5", "0"]))
        if fmt == "mot15":
            return "%s,%s,%s,-1,-1" % (lead, consider, rng.choice(["-1", "4.4852", "3", "-7.5"]))
        if fmt == "visdrone":
            label = rng.choice([1, 1, 2, 3, 4, 4, 5, 6, 7, 8, 9, 10, 11, 0])
            return "%s,%s,%d,0,0" % (lead, consider, label)
        return "%s,0,1,%d" % (lead, rng.choice([1, 1, 2, 3]))  # uavdt

    def system_line(self, frame, box, threshold_text):
        rng = self.rng
        lead = "%d,-1,%s,%s,%s,%s,%s" % ((frame,) + box + (self.score_text(threshold_text),))
        fmt = self.sys_format
        if fmt == "mot":
            return "%s,%s,-1,-1" % (lead, rng.choice(["-1", "-1", "-1", "1", "2", "3"]))
        if fmt == "mot15":
            return "%s,-1,-1,-1" % lead
        if fmt == "visdrone":
            return "%s,%d,-1,-1" % (lead, rng.choice([1, 1, 2, 4, 6, 9]))
        return "%s,-1,%s" % (lead, rng.choice(["-1", "1", "2"]))  # uavdt

    def box_near(self, box):
        """A detection of a ground-truth box: the same, moved or resized."""
        rng = self.rng
        if rng.random() < 0.4:
            return box
        left, top = (int(Decimal(v.strip()).to_integral_value()) for v in box[:2])
        moved = (self.number(left + rng.choice([0, 5, -5, 10, 20, -30])),
                 self.number(top + rng.choice([0, 5, -10])))
        return moved + ((self.size(), self.size()) if rng.random() < 0.3 else box[2:])

    def make(self, threshold_text):
        rng = self.rng
        frames = rng.randint(1, 8)
        truths = {}
        for frame in range(1, frames + 1):
            truths[frame] = [(self.number(rng.randrange(0, 400, 10)),
                              self.number(rng.randrange(0, 400, 10)), self.size(), self.size())
                             for _ in range(rng.choice([0, 1, 2, 3, 5]))]
        # A ground truth listed frame by frame, or track by track (frames come back).
        lines = [(frame, k, box) for frame in truths for k, box in enumerate(truths[frame])]
        if rng.random() < 0.5:
            lines.sort(key=lambda item: (item[1], item[0]))
        gt = []
        for number, (frame, k, box) in enumerate(lines, start=1):
            gt.append(self.truth_line(frame, k + 1, box, number))
        det = []
        for frame in range(1, frames + 2):  # the last frame has no ground truth
            for box in truths.get(frame, []):
                if rng.random() < 0.8:
                    det.append(self.system_line(frame, self.box_near(box), threshold_text))
            for _ in range(rng.choice([0, 0, 1, 2])):
                det.append(self.system_line(
                    frame, (self.number(rng.randrange(0, 400, 10)),
                            self.number(rng.randrange(0, 400, 10)), self.size(), self.size()),
                    threshold_text))
        eol = rng.choice(["\n", "\r\n"])
        return ((eol.join(gt) + eol).encode("latin-1") if gt else b"",
                (eol.join(det) + eol).encode("latin-1") if det else b"")


THRESHOLDS = [None, None, "0", "0.5", "0.3", "1", "0.2", "0.9", "0.0001", "0.9999"]


def make_mot_case(case_seed):
    """(ground truth format, system format, ground truth, detections, threshold text)."""
    rng = random.Random("mot-%d" % case_seed)
    gt_format = rng.choice(FORMATS)
    sys_format = gt_format
    if gt_format in ("mot", "mot15") and rng.random() < 0.3:
        # The two read with one class map: of the others' labels, only
        # MOTChallenge's two layouts agree.
        sys_format = rng.choice(["mot", "mot15"])
    threshold = rng.choice(THRESHOLDS)
    gt, det = MotGen(rng, gt_format, sys_format).make(threshold)
    return gt_format, sys_format, gt, det, threshold


def csv_rows(gt_frames, sys_frames, threshold):
    """The rows of `talmira score --format csv`, from the model's counts."""
    _, result = score(gt_frames, sys_frames, threshold)
    rows = ["class,gt,det,fn,fp,frames,nmodta"]
    for line in result:
        rows.append(",".join(field.strip() for field in line.split(",")))
    return rows


def check_mot_case(tool, folder, case_seed, stats):
    """Problems of the tool on one random MOT-family pair (empty when it
    agrees with the model)."""
    gt_format, sys_format, gt, det, threshold_text = make_mot_case(case_seed)
    chosen = random_rules(case_seed, 0.6)
    model_rules, rule_options = chosen if chosen is not None else (None, [])
    if rule_options[:2] == ["--rules", "mot"] and gt_format in ("mot", "mot15"):
        # On MOT files the set counts as the benchmark does (the tracking
        # model checks that); this format's matching under its values is
        # asked for with the values themselves.
        values = ["--overlap", "iou", "--min-overlap", "0.5", "--region-cover", "0.33"]
        if "--min-side" not in rule_options:
            values += ["--min-side", "0"]
        rule_options = values + rule_options[2:]
    gt_path = os.path.join(folder, "gt.txt")
    sys_path = os.path.join(folder, "det.txt")
    map_path = os.path.join(folder, "map.csv")
    with open(gt_path, "wb") as fh:
        fh.write(gt)
    with open(sys_path, "wb") as fh:
        fh.write(det)
    # One map for both files, each label onto this format's types (mot15's
    # one label is mot's first).
    with open(map_path, "w") as fh:
        fh.write(map_text("mot" if gt_format == "mot15" else gt_format))
    reading = ["--gt-format", gt_format, "--sys-format", sys_format, "--classes", map_path]
    threshold = 0.0 if threshold_text is None else f32(float(threshold_text))
    conf_args = [] if threshold_text is None else ["-c", threshold_text]
    rules.set_rules(model_rules)
    problems = []
    try:
        try:
            gt_frames, gt_negative, gt_warnings = read_mot(gt, gt_format, False, gt_path)
            sys_frames, sys_negative, sys_warnings = read_mot(det, sys_format, True, sys_path)
            failure = None
        except ModelFailure as refused:
            failure = str(refused)
        scored = run_quietly([tool, "score", gt_path, sys_path] + reading + rule_options
                             + conf_args + ["--format", "csv"])
        errors = scored.stderr.decode("latin-1")
        if failure is not None:
            stats["refused"] += 1
            if scored.returncode != 1 or errors != failure + "\n":
                problems.append("score: expected status 1 and %r, got %d and %r"
                                % (failure, scored.returncode, errors))
            return problems
        if scored.returncode != 0:
            return ["score: status %d: %s" % (scored.returncode, errors.strip())]
        expected_errors = "".join("warning: %s\n" % w for w in gt_warnings + sys_warnings)
        if errors != expected_errors:
            problems.append("score: standard error %r, expected %r" % (errors, expected_errors))
        stats["read as mot15"] += len(gt_warnings)
        want = csv_rows(gt_frames, sys_frames, threshold)
        got = scored.stdout.decode("latin-1").splitlines()
        if got != want:
            problems.append("score at %s:\n  expected %s\n  actual   %s"
                            % (threshold, "\n           ".join(want), "\n           ".join(got)))
        for frames in (gt_frames, sys_frames):
            for f in frames:
                stats["boxes without a score"] += sum(1 for t in f.targets if t.no_score)
        stats["lines of negative size"] += len(gt_negative) + len(sys_negative)

        # Every row of the exact sweep is the score at its threshold.
        swept = run_quietly([tool, "sweep", gt_path, sys_path, "--exact", "--format", "csv"]
                            + reading + rule_options)
        if swept.returncode != 0:
            problems.append("sweep: status %d" % swept.returncode)
        else:
            at = {}
            for row in swept.stdout.decode("latin-1").splitlines()[1:]:
                cls, t, g, d, fn, fp = row.split(",")[:6]
                t = f32(float(t))
                if t not in at:
                    at[t] = {r.split(",")[0]: r.split(",")[1:5]
                             for r in csv_rows(gt_frames, sys_frames, t)[1:]}
                if at[t][cls] != [g, d, fn, fp]:
                    problems.append("sweep row %s: model %s" % (row, at[t][cls]))
                    break
                stats["sweep rows"] += 1

        # check: the lines of negative size, the boxes without a score.
        checked = run_quietly([tool, "check", gt_path, sys_path, "--format", "json"] + reading
                              + rule_options)
        if checked.returncode != 0:
            problems.append("check: status %d" % checked.returncode)
        else:
            report = json.loads(checked.stdout)
            no_score = sum(1 for f in sys_frames for t in f.targets if t.no_score)
            for side, lines in (("groundtruth", gt_negative), ("system", sys_negative)):
                if report[side]["negative_extent_lines"] != lines:
                    problems.append("check: %s negative_extent_lines %s, model %s"
                                    % (side, report[side]["negative_extent_lines"], lines))
            if report["system"].get("boxes_without_score") != no_score:
                problems.append("check: boxes_without_score %s, model %d"
                                % (report["system"].get("boxes_without_score"), no_score))

        # events: the model's rows, the empty confidence of a box without a score.
        options = events_options(case_seed, 1.0)
        files = {gt_path: gt, sys_path: det}
        args = [gt_path, sys_path, "result.csv"] + ([] if threshold_text is None
                                                    else [threshold_text])
        runner.RULE_ARGS = list(rule_options)
        try:
            events = check_events(tool, args, files, options, stats,
                                  frames=(gt_frames, sys_frames), reading=reading)
        finally:
            runner.RULE_ARGS = []
        if events:
            problems.append(events)
    finally:
        rules.set_rules(None)
    return problems


def run_mot_cases(tool, cases, seed, first, folder, show=3, keep_dir=None):
    """Checks `cases` random MOT-family pairs from case `first`; prints the
    first failing ones, keeps their files (in `keep_dir`, by default a
    crosscheck-mot-failures-SEED folder in the temp dir) and returns how
    many failed."""
    failed = 0
    stats = collections.Counter()
    keep_dir = keep_dir or os.path.join(tempfile.gettempdir(),
                                        "crosscheck-mot-failures-%d" % seed)
    for case in range(first, first + cases):
        case_seed = seed * 1000003 + case
        problems = check_mot_case(tool, folder, case_seed, stats)
        if problems:
            failed += 1
            dest = os.path.join(keep_dir, "case-%d" % case)
            os.makedirs(dest, exist_ok=True)
            for name in ("gt.txt", "det.txt", "map.csv"):
                shutil.copy(os.path.join(folder, name), dest)
            if failed <= show:
                gt_format, sys_format, _, _, threshold = make_mot_case(case_seed)
                print("=" * 72)
                print("MOT-family case %d (seed %d): --gt-format %s --sys-format %s%s; files "
                      "kept in %s" % (case, seed, gt_format, sys_format,
                                      "" if threshold is None else " -c " + threshold, dest))
                for text in problems[:6]:
                    print(text)
    print("mot family: %d boxes without a score, %d lines of negative size, %d files read as "
          "mot15 by mot, %d refused, %d sweep rows"
          % (stats.pop("boxes without a score", 0), stats.pop("lines of negative size", 0),
             stats.pop("read as mot15", 0), stats.pop("refused", 0), stats.pop("sweep rows", 0)))
    print_event_stats(stats)
    return failed
