"""The model of `talmira events` (what became of every box) and the check of
the tool's rows against it.
"""

import difflib
import random

from . import runner
from .expected import tool_threshold
from .floats import f32, f32_shortest, f32_text_value, shortest_text_ok
from .matching import cover_ratio, frame_counts, max_matching, overlap_passes, overlap_ratio
from .matching import region_covers
from .records import KNOWN_CLASSES, parse_annotation
from .runner import run_quietly


EVENTS_HEADER = "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap"
EVENTS_FIELDS = EVENTS_HEADER.split(",")
DEFAULT_NEAR = "0.1"
NEAR_CHOICES = ["0", "0.05", "0.1", "0.15", "0.2", "0.5", "1"]
MISS_CAUSES = ["no_system_frame", "class_confusion", "dropped_in_region", "below_threshold",
               "localization", "missed"]
FALSE_ALARM_CAUSES = ["class_confusion", "duplicate", "localization", "background"]


def events_arguments(args, files):
    """(threshold text or None, threshold) when `talmira events` takes the
    case's confidence and both files exist, else None."""
    threshold, status = tool_threshold(args, files)
    if status != 0:
        return None
    return (args[3] if len(args) > 3 else None), threshold


def run_events(tool, gt_path, sys_path, conf, cls, near, reading=()):
    """`reading`: the options that say how the files are read (their formats)."""
    command = [tool, "events", gt_path, sys_path, "--class", cls] + list(reading) + \
        runner.RULE_ARGS
    if conf is not None:
        command += ["-c", conf]
    if near is not None:
        command += ["--near", near]
    proc = run_quietly(command)
    return proc.stdout.decode("latin-1"), proc.returncode % 256, proc.stderr.decode("latin-1")


def parse_events(text):
    """(rows as field lists, problems) of the tool's events CSV."""
    problems = []
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    else:
        problems.append("output does not end with a line feed")
    if not lines or lines[0] != EVENTS_HEADER:
        problems.append("header %r, expected %r" % (lines[0] if lines else "", EVENTS_HEADER))
        return [], problems
    rows = []
    for line in lines[1:]:
        fields = line.split(",")
        if len(fields) != len(EVENTS_FIELDS):
            problems.append("row without %d fields: %r" % (len(EVENTS_FIELDS), line))
            continue
        rows.append(fields)
    return rows, problems


class JudgedFrame:
    """One ground-truth frame of one class at one threshold, with what the
    model decides on its own: flagged truths, boxes in regions, boxes set
    aside, and the largest number of pairs among the rest."""

    def __init__(self, gf, sf, cls, threshold):
        def pick(frame):
            return [t for t in frame.targets
                    if t.conf >= threshold and (cls == "All" or t.cls == cls)]

        self.gf, self.sf = gf, sf
        self.gts = pick(gf)
        self.open_gts = [g for g in self.gts if not g.flagged]
        self.syss = pick(sf) if sf is not None else []
        self.sys_event = {}  # line -> (event, partner line, overlap) for the fixed ones
        self.open_syss = []
        for s in self.syss:
            region = next((r for r in gf.regions if region_covers(s, r)), None)
            if region is not None:
                self.sys_event[s.line] = ("in_region", region.line, cover_ratio(s, region))
                continue
            flagged = next((g for g in self.gts
                            if (g.flagged or s.flagged) and overlap_passes(g, s)), None)
            if flagged is not None:
                self.sys_event[s.line] = ("set_aside", flagged.line, overlap_ratio(flagged, s))
                continue
            self.open_syss.append(s)
        adj = [[j for j, s in enumerate(self.open_syss) if overlap_passes(g, s)]
               for g in self.open_gts]
        self.most_pairs = max_matching(len(self.open_gts), adj)
        # below-threshold boxes that may explain a miss
        self.below = [] if sf is None else [
            t for t in sf.targets if t.conf < threshold and (cls == "All" or t.cls == cls)]


def row_text(fields):
    return ",".join(fields)


class EventsCheck:
    """Checks the events of every class of one case against the model."""

    def __init__(self, gt_frames, sys_frames, threshold, near_text):
        self.gt_frames, self.sys_frames = gt_frames, sys_frames
        self.threshold = threshold
        self.near = f32(float(near_text if near_text is not None else DEFAULT_NEAR))
        self.judged = []
        paired = set()
        for gf in gt_frames:
            sf = next((s for s in sys_frames if s.number == gf.number), None)
            if sf is not None:
                paired.add(id(sf))
            self.judged.append((gf, sf))
        self.unpaired = [sf for sf in sys_frames if id(sf) not in paired]
        self.gt_by_line = {t.line: t for f in gt_frames for t in f.targets}
        self.sys_by_line = {t.line: t for f in sys_frames for t in f.targets}
        self.all_pairs = None  # (gt frame line, side, line) -> partner line, from the All run

    def classes(self):
        return sorted({t.cls for f in self.gt_frames + self.sys_frames for t in f.targets
                       if t.conf >= self.threshold})

    def check(self, cls, text, stats=None):
        """Problems (strings) of the tool's events of cls; stats counts what was checked."""
        rows, problems = parse_events(text)
        actual = {}
        for fields in rows:
            key = (fields[0], fields[2], fields[3])
            if key in actual:
                problems.append("row listed twice: %s" % row_text(fields))
            actual[key] = fields
        expected = []
        pairs_of_class = {}
        fn = fp = 0
        for gf, sf in self.judged:
            jf = JudgedFrame(gf, sf, cls, self.threshold)
            frame_rows, frame_problems = self.frame_rows(jf, cls, actual, stats)
            expected.extend(frame_rows)
            problems.extend(frame_problems)
            fn += sum(1 for r in frame_rows if r[6] == "miss")
            fp += sum(1 for r in frame_rows if r[6] == "false_alarm")
            for r in frame_rows:
                if r[6] == "match":
                    pairs_of_class[(r[0], r[2], r[3])] = r[7]
        for sf in self.unpaired:
            for s in sf.targets:
                if s.conf >= self.threshold and (cls == "All" or s.cls == cls):
                    key = ("", "sys", str(s.line))
                    expected.append(["", str(sf.number), "sys", str(s.line), s.cls,
                                     self.conf_text(actual.get(key), s), "unpaired_frame",
                                     "", "", ""])
                    if stats is not None:
                        stats["sys unpaired_frame"] += 1

        # The counts the scorer gives (checked against the tools elsewhere).
        _, _, model_fn, model_fp = self.model_counts(cls)
        actual_fn = sum(1 for r in rows if r[6] == "miss")
        actual_fp = sum(1 for r in rows if r[6] == "false_alarm")
        if (actual_fn, actual_fp) != (model_fn, model_fp) or (fn, fp) != (model_fn, model_fp):
            problems.append("miss rows %d and false_alarm rows %d, the model's FN %d and FP %d"
                            % (actual_fn, actual_fp, model_fn, model_fp))

        exp_lines = [row_text(r) for r in expected]
        act_lines = [row_text(r) for r in rows]
        if exp_lines != act_lines:
            diff = difflib.unified_diff([EVENTS_HEADER] + exp_lines, [EVENTS_HEADER] + act_lines,
                                        "expected", "actual", n=1, lineterm="")
            problems.append("\n".join(diff))
        if cls == "All":
            self.all_pairs = pairs_of_class
        return problems

    def model_counts(self, cls):
        n_gt = n_det = n_fn = n_fp = 0
        for gf, sf in self.judged:
            jf = JudgedFrame(gf, sf, cls, self.threshold)
            if sf is None:
                n_gt += len(jf.open_gts)
                n_fn += len(jf.open_gts)
                continue
            o, d, a, b = frame_counts(jf.gts, gf.regions, jf.syss)
            n_gt, n_det, n_fn, n_fp = n_gt + o, n_det + d, n_fn + a, n_fp + b
        return n_gt, n_det, n_fn, n_fp

    def conf_text(self, fields, box):
        """The tool's confidence text when it reads back as the box's value;
        none for a box without a score."""
        if box.no_score:
            return ""
        if fields is not None and f32_text_value(fields[5]) == box.conf:
            return fields[5]
        return f32_shortest(box.conf)

    def overlap_text(self, fields, value):
        if fields is not None and shortest_text_ok(fields[9], value):
            return fields[9]
        return f32_shortest(value)

    def frame_rows(self, jf, cls, actual, stats):
        gf, sf = jf.gf, jf.sf
        fl = str(gf.line)
        problems = []
        where = "frame %d (ground-truth line %d)" % (gf.number, gf.line)

        def got(side, box):
            return actual.get((fl, side, str(box.line)))

        # The tool's pairs, kept where they are pairs by the model's rules.
        open_sys = {s.line: s for s in jf.open_syss}
        open_gt = {g.line: g for g in jf.open_gts}
        pairs = {}  # gt line -> sys line
        for g in jf.open_gts:
            fields = got("gt", g)
            if fields is None or fields[6] != "match":
                continue
            partner = fields[7]
            s = open_sys.get(int(partner)) if partner.isdigit() else None
            if s is None:
                problems.append("%s: gt line %d is matched with %r, which is not a system box "
                                "of the frame open to matching" % (where, g.line, partner))
                continue
            back = got("sys", s)
            if back is None or back[6] != "match" or back[7] != str(g.line):
                problems.append("%s: gt line %d is matched with sys line %d, whose row says %s"
                                % (where, g.line, s.line,
                                   "nothing" if back is None else row_text(back)))
                continue
            if not overlap_passes(g, s):
                problems.append("%s: gt line %d and sys line %d are matched with overlap %s, "
                                "which fails the overlap test"
                                % (where, g.line, s.line, f32_shortest(overlap_ratio(g, s))))
                continue
            pairs[g.line] = s.line
        for s in jf.open_syss:
            fields = got("sys", s)
            if fields is not None and fields[6] == "match":
                partner = fields[7]
                if not (partner.isdigit() and pairs.get(int(partner)) == s.line):
                    problems.append("%s: sys line %d is matched with %r, which does not match it"
                                    " back (or fails the overlap test)" % (where, s.line, partner))
        if len(set(pairs.values())) != len(pairs):
            problems.append("%s: a system box is matched twice" % where)
        if sf is not None and len(pairs) != jf.most_pairs:
            problems.append("%s: %d pairs, but the largest assignment has %d"
                            % (where, len(pairs), jf.most_pairs))
        paired_sys = {v: k for k, v in pairs.items()}
        misses = [g for g in jf.open_gts if g.line not in pairs]
        false_alarms = [s for s in jf.open_syss if s.line not in paired_sys]
        if stats is not None and self.near > 0:
            # pairs on the edge of "near", where >= and > part ways (at 0 any
            # two boxes apart are on it)
            stats["near edge"] += sum(1 for g in misses for s in false_alarms
                                      if overlap_ratio(g, s) == self.near)
        all_pairs = self.all_pairs

        rows = []
        for g in jf.gts:
            fields = got("gt", g)
            row = [fl, str(gf.number), "gt", str(g.line), g.cls, self.conf_text(fields, g),
                   "", "", "", ""]
            if g.flagged:
                row[6] = "excluded"
            elif g.line in pairs:
                s = self.sys_by_line[pairs[g.line]]
                row[6], row[7] = "match", str(s.line)
                row[9] = self.overlap_text(fields, overlap_ratio(g, s))
            else:
                row[6] = "miss"
                if sf is None:
                    cause = "no_system_frame"
                elif cls != "All" and self.other_class(all_pairs, fl, "gt", g, self.sys_by_line):
                    cause = "class_confusion"
                elif any(jf.sys_event.get(s.line, ("",))[0] == "in_region"
                         and overlap_passes(g, s) for s in jf.syss):
                    cause = "dropped_in_region"
                elif any(overlap_passes(g, t) for t in jf.below):
                    cause = "below_threshold"
                elif any(overlap_ratio(g, s) >= self.near for s in false_alarms):
                    cause = "localization"
                else:
                    cause = "missed"
                row[8] = cause
            if stats is not None:
                stats["gt " + row[6] + (" " + row[8] if row[8] else "")] += 1
            rows.append(row)
        for s in jf.syss:
            fields = got("sys", s)
            row = [fl, str(gf.number), "sys", str(s.line), s.cls, self.conf_text(fields, s),
                   "", "", "", ""]
            if s.line in jf.sys_event:
                event, partner, value = jf.sys_event[s.line]
                row[6], row[7] = event, str(partner)
                row[9] = self.overlap_text(fields, value)
            elif s.line in paired_sys:
                g = self.gt_by_line[paired_sys[s.line]]
                row[6], row[7] = "match", str(g.line)
                row[9] = self.overlap_text(fields, overlap_ratio(g, s))
            else:
                row[6] = "false_alarm"
                if cls != "All" and self.other_class(all_pairs, fl, "sys", s, self.gt_by_line):
                    cause = "class_confusion"
                elif any(overlap_passes(self.gt_by_line[gl], s) for gl in pairs):
                    cause = "duplicate"
                elif any(overlap_ratio(g, s) >= self.near for g in misses):
                    cause = "localization"
                else:
                    cause = "background"
                row[8] = cause
            if stats is not None:
                stats["sys " + row[6] + (" " + row[8] if row[8] else "")] += 1
            rows.append(row)
        return rows, problems

    @staticmethod
    def other_class(all_pairs, fl, side, box, partners):
        """Is the box paired, in the All matching, with a box of another class?"""
        if all_pairs is None:
            raise AssertionError("the All events are checked first")
        partner = all_pairs.get((fl, side, str(box.line)))
        return partner is not None and partners[int(partner)].cls != box.cls


def check_events(tool, args, files, options, stats=None, frames=None, reading=()):
    """Problems of `talmira events` on one case (empty when all agree).

    options: (near text or None, add a class without boxes); frames: the
    model's (ground truth, system) frames of files of another format, read
    by the tool with the options `reading`; files of this format without."""
    chosen = events_arguments(args, files)
    if chosen is None:
        return ""
    conf, threshold = chosen
    near, empty_class = options
    gt_path, sys_path = args[0], args[1]
    if frames is None:
        frames = parse_annotation(files[gt_path]), parse_annotation(files[sys_path])
    model = EventsCheck(frames[0], frames[1], threshold, near)
    classes = model.classes()
    if empty_class:
        absent = [c for c in KNOWN_CLASSES if c not in classes]
        classes += absent[:1]
    report = []
    for cls in ["All"] + classes:
        text, status, err = run_events(tool, gt_path, sys_path, conf, cls, near, reading)
        command = "talmira events gt.csv sys.csv --class %s%s%s" % (
            cls, "" if conf is None else " -c " + conf, "" if near is None else " --near " + near)
        if status != 0:
            report.append("%s: exit status %d (%s)" % (command, status, err.strip()))
            if cls == "All":
                break  # the classes' causes need the All pairs
            continue
        if stats is not None:
            stats["runs"] += 1
        problems = model.check(cls, text, stats)
        if problems:
            report.append("%s:\n%s" % (command, "\n".join(problems)))
    return "\n".join(report)


def events_options(case_seed, share):
    """(near text or None, add a class without boxes) of a case whose events
    are checked, None for the others; drawn apart from the files so that
    the events options leave the generated files as they are."""
    rng = random.Random("events-%d" % case_seed)
    if rng.random() >= share:
        return None
    near = rng.choice(NEAR_CHOICES) if rng.random() < 0.4 else None
    return near, rng.random() < 0.1


def print_event_stats(stats):
    print("events: %d runs checked; rows checked by event and cause:" % stats.pop("runs", 0))
    for side, events in (("gt", ["match", "excluded"]),
                         ("sys", ["match", "set_aside", "in_region", "unpaired_frame"])):
        print("  %-4s" % side + ", ".join("%s %d" % (e, stats["%s %s" % (side, e)])
                                          for e in events))
    print("  miss        " + ", ".join("%s %d" % (c, stats["gt miss " + c])
                                       for c in MISS_CAUSES))
    print("  false_alarm " + ", ".join("%s %d" % (c, stats["sys false_alarm " + c])
                                       for c in FALSE_ALARM_CAUSES))
    print("  miss and false alarm pairs whose overlap is exactly the near overlap (above 0): %d"
          % stats["near edge"])
