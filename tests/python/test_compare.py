"""talmira compare against an implementation of its documented resampling
written here from the procedure alone, on counts from the cross-check's
independent model of the scoring rules; its objects found against the
events of both detectors; and talmira.compare against the command.

Run by CTest (TALMIRA_TOOL names the built `talmira` executable).
"""

import json
import os
import random
import re
import subprocess
import sys
import tempfile
from fractions import Fraction

import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import crosscheck  # noqa: E402  (the independent model of the scoring rules)

TOOL = os.environ.get("TALMIRA_TOOL")
EXAMPLES = os.path.join(ROOT, "examples")
MASK = (1 << 64) - 1


def need_tool():
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")


def run_tool(*args):
    proc = subprocess.run([TOOL, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


# --- The resampling, as documented ------------------------------------------

class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def draw(self, n):
        return (self.next() * n) >> 64


def nmodta(gt, fn, fp):
    if gt == 0:
        return 1.0 if fp == 0 else -100000.0
    return max(-100000.0, 1.0 - (fn + fp) / gt)


def bootstrap(units, resamples, seed, level, classes=len(crosscheck.EVAL_CLASSES)):
    """units: lists, one per unit, of per-class (gt_a, fn_a, fp_a, gt_b, fn_b,
    fp_b), `classes` of them. Per class (low, high, b_better, a_better)."""
    generator = SplitMix64(seed)
    differences = [[] for _ in range(classes)]
    # A unit adds nothing to the classes it has no counts of.
    counted = [[(c, counts) for c, counts in enumerate(unit) if any(counts)] for unit in units]
    for _ in range(resamples):
        sums = [[0] * 6 for _ in range(classes)]
        for _ in range(len(units)):
            for c, counts in counted[generator.draw(len(units))]:
                for v in range(6):
                    sums[c][v] += counts[v]
        for c in range(classes):
            ga, na, pa, gb, nb, pb = sums[c]
            differences[c].append(nmodta(gb, nb, pb) - nmodta(ga, na, pa))
    k = int(Fraction(resamples) * (1 - Fraction(str(level))) / 2)  # the level as written
    out = []
    for d in differences:
        ordered = sorted(d)
        out.append((ordered[k], ordered[-1 - k], sum(x > 0 for x in d) / resamples,
                    sum(x < 0 for x in d) / resamples))
    return out


# --- Counts from the independent model ---------------------------------------

def frame_class_counts(gt_frames, sys_frames, threshold):
    """Per ground-truth frame, per class: (gt, fn, fp)."""
    per_frame = []
    for gf in gt_frames:
        partner = next((sf for sf in sys_frames if sf.number == gf.number), None)
        row = []
        for cls in crosscheck.EVAL_CLASSES:
            def pick(frame):
                return [t for t in frame.targets
                        if t.conf >= threshold and (cls == "All" or t.cls == cls)]
            gts = pick(gf)
            if partner is None:
                objects = sum(1 for g in gts if not g.flagged)
                row.append((objects, objects, 0))
            else:
                objects, _, fn, fp = crosscheck.frame_counts(gts, gf.regions, pick(partner))
                row.append((objects, fn, fp))
        per_frame.append(row)
    return per_frame


def paired(gt, a, b, threshold_a, threshold_b):
    """Per ground-truth frame, per class, (gt_a, fn_a, fp_a, gt_b, fn_b, fp_b)."""
    truth = crosscheck.parse_annotation(gt)
    by_a = frame_class_counts(truth, crosscheck.parse_annotation(a), threshold_a)
    by_b = frame_class_counts(truth, crosscheck.parse_annotation(b), threshold_b)
    return [[ca + cb for ca, cb in zip(fa, fb)] for fa, fb in zip(by_a, by_b)]


def summed(frames):
    classes = len(crosscheck.EVAL_CLASSES)
    total = [[0] * 6 for _ in range(classes)]
    for frame in frames:
        for c in range(classes):
            for v in range(6):
                total[c][v] += frame[c][v]
    return total


def block_size(frames):
    """The nearest whole number to the cube root, at least 1."""
    k = 1
    while (2 * k + 1) ** 3 <= 8 * frames:
        k += 1
    return k


def weaker(system, rng):
    """Another detector from a system output: records dropped, repeated (a
    second box on the same object) and moved along, the lines otherwise as
    they were written."""
    parts = re.split(rb"(\r\n|\n|\r)", system)
    lines = [parts[i] + (parts[i + 1] if i + 1 < len(parts) else b"")
             for i in range(0, len(parts), 2)]
    out = [lines[0]]
    for line in lines[1:]:
        roll = rng.random()
        if roll < 0.15:
            continue
        out.append(line)
        if roll > 0.9:
            out.append(line if line.endswith((b"\n", b"\r")) else line + b"\n")
    return b"".join(out)


def random_triples(seed, count):
    """(gt, a, b) byte strings the model reads, from the cross-check's cases."""
    rng = random.Random(seed)
    triples = []
    index = 0
    while len(triples) < count:
        index += 1
        gt, system, extra = crosscheck.make_case(seed * 1000003 + index)
        if gt is None or system is None or len(extra) > 1:
            continue
        b = weaker(system, rng)
        try:
            for data in (gt, system, b):
                crosscheck.parse_annotation(data)
        except crosscheck.ModelInputError:
            continue
        triples.append((gt, system, b))
    return triples


def thresholds(rng):
    return rng.choice([("0", "0"), ("0.5", "0.5"), ("0.25", "0.7"), ("1", "0")])


def check_classes(report, totals, intervals, context, names=crosscheck.EVAL_CLASSES):
    assert [c["class"] for c in report["classes"]] == names, context
    for c, total, (low, high, b_better, a_better) in zip(report["classes"], totals, intervals):
        where = "%s, %s" % (context, c["class"])
        ga, na, pa, gb, nb, pb = total
        assert (c["gt"], c["fn_a"], c["fp_a"], c["gt_b"], c["fn_b"], c["fp_b"]) == tuple(total), where
        assert c["delta"] == nmodta(gb, nb, pb) - nmodta(ga, na, pa), where
        assert (c["low"], c["high"], c["b_better"], c["a_better"]) == (
            low, high, b_better, a_better), where


def test_single_sequences_resample_exactly_as_documented():
    need_tool()
    rng = random.Random(3)
    with tempfile.TemporaryDirectory(prefix="talmira-compare-") as folder:
        for number, (gt, a, b) in enumerate(random_triples(11, 24)):
            paths = []
            for name, data in (("gt", gt), ("a", a), ("b", b)):
                paths.append(os.path.join(folder, "%s%d.csv" % (name, number)))
                with open(paths[-1], "wb") as fh:
                    fh.write(data)
            ca, cb = thresholds(rng)
            resamples = rng.choice([1, 37, 400])
            seed = rng.choice([0, 1, 99, MASK])
            level = rng.choice(["0.95", "0.9", "0.5"])
            block = rng.choice([None, 1, 2, 5])
            args = ["compare", *paths, "--c-a", ca, "--c-b", cb, "--resamples", str(resamples),
                    "--seed", str(seed), "--level", level, "--format", "json"]
            if block:
                args += ["--block", str(block)]
            status, out, err = run_tool(*args)
            assert status == 0, err
            report = json.loads(out)
            frames = paired(gt, a, b, crosscheck.f32(float(ca)), crosscheck.f32(float(cb)))
            size = block or block_size(len(frames))
            units = [summed(frames[at:at + size]) for at in range(0, len(frames), size)]
            context = "case %d (%s)" % (number, " ".join(args[4:]))
            assert (report["unit"], report["block"], report["frames"], report["units"]) == (
                "frames", size, len(frames), len(units)), context
            check_classes(report, summed(frames), bootstrap(units, resamples, seed, level),
                          context)


def test_datasets_resample_their_sequences_exactly_as_documented():
    need_tool()
    rng = random.Random(5)
    triples = random_triples(23, 40)
    with tempfile.TemporaryDirectory(prefix="talmira-compare-") as folder:
        for name, (gt, a, b) in enumerate(triples):
            for side, data in (("gt", gt), ("a", a), ("b", b)):
                with open(os.path.join(folder, "%s%d.csv" % (side, name)), "wb") as fh:
                    fh.write(data)
        for dataset in range(6):
            chosen = rng.sample(range(len(triples)), rng.randint(2, 12))
            lines = ["sequence,groundtruth,system_a,system_b"]
            lines += ["s%d,gt%d.csv,a%d.csv,b%d.csv" % (n, n, n, n) for n in chosen]
            # A sequence that cannot be read is left out of both detectors.
            lines.insert(2, "lost,gt%d.csv,missing.csv,b%d.csv" % (chosen[0], chosen[0]))
            listed = os.path.join(folder, "list%d.csv" % dataset)
            with open(listed, "w") as fh:
                fh.write("\n".join(lines) + "\n")
            ca, cb = thresholds(rng)
            resamples, seed = rng.choice([50, 500]), rng.randrange(1 << 64)
            status, out, err = run_tool("compare", "--dataset", listed, "--c-a", ca, "--c-b", cb,
                                        "--resamples", str(resamples), "--seed", str(seed),
                                        "--format", "json", "-j", "2")
            assert status == 1 and "1 of %d sequences failed" % (len(chosen) + 1) in err
            report = json.loads(out)
            units = [summed(paired(*triples[n], crosscheck.f32(float(ca)),
                                   crosscheck.f32(float(cb)))) for n in chosen]
            assert (report["unit"], report["block"], report["units"]) == (
                "sequence", None, len(chosen))
            context = "dataset %d" % dataset
            check_classes(report, summed(units), bootstrap(units, resamples, seed, "0.95"),
                          context)
            # Every sequence's delta of All, the failed one with its message.
            shown = [s for s in report["sequences"] if "error" not in s]
            assert [s["sequence"] for s in shown] == ["s%d" % n for n in chosen], context
            for s, unit in zip(shown, units):
                ga, na, pa, gb, nb, pb = unit[0]
                assert s["delta"] == nmodta(gb, nb, pb) - nmodta(ga, na, pa), context
            assert report["sequences"][1]["error"].endswith(
                "missing.csv: cannot open: No such file or directory"), context


# --- Any set of classes ------------------------------------------------------

# Class names as datasets write them: commas, quotes, blanks, letters
# outside ASCII.
NAME_WORDS = ["Straßenbahn", "car", "bus, red", 'the "big" one', "Ünal's", "vélo", "トラック",
              "a b", "x", "Person", "<sign> & co"]


def random_names(rng, count, serial):
    """`count` distinct names, none of them All, DCR or DCF."""
    names = []
    for _ in range(count):
        words = " ".join(rng.choice(NAME_WORDS) for _ in range(rng.randint(1, 2)))
        names.append("%s %d" % (words, next(serial)))
    return names


def cvat_file(labels, boxes):
    """A CVAT for video 1.1 export: `labels` declared in the task, each box
    (frame, label, x0, y0, x1, y1) a track of its own."""
    from xml.sax.saxutils import escape, quoteattr
    out = ['<?xml version="1.0" encoding="utf-8"?>', "<annotations>", "  <version>1.1</version>",
           "  <meta><task><labels>"]
    out += ["    <label><name>%s</name></label>" % escape(name) for name in labels]
    out.append("  </labels></task></meta>")
    for track, (frame, label, x0, y0, x1, y1) in enumerate(boxes):
        out.append('  <track id="%d" label=%s source="manual"><box frame="%d" outside="0" '
                   'occluded="0" keyframe="1" xtl="%d" ytl="%d" xbr="%d" ybr="%d" z_order="0"/>'
                   "</track>" % (track, quoteattr(label), frame, x0, y0, x1, y1))
    out.append("</annotations>")
    return ("\n".join(out) + "\n").encode("utf-8")


def detector_boxes(rng, truth, labels):
    """A detector's boxes: most objects found, some moved too far, some
    called another class, and false alarms."""
    boxes = []
    for frame, label, x0, y0, x1, y1 in truth:
        roll = rng.random()
        if roll < 0.2:
            continue
        dx, dy = rng.randint(-30, 30), rng.randint(-30, 30)
        if roll > 0.85:
            label = rng.choice(labels)
        boxes.append((frame, label, x0 + dx, y0 + dy, x1 + dx, y1 + dy))
    frames = 1 + max([b[0] for b in truth], default=0)
    for _ in range(rng.randint(0, frames)):
        x, y = rng.randrange(0, 900, 10), rng.randrange(0, 700, 10)
        boxes.append((rng.randrange(frames), rng.choice(labels), x, y, x + 50, y + 60))
    return sorted(boxes, key=lambda b: b[0])


def random_cvat_triple(rng, serial):
    """(classes of the pair in order, gt, a, b as CVAT bytes, and the boxes
    of each). A's and B's files declare some of the ground truth's labels in
    an order of their own and some of their own; a few classes bear no box."""
    truth_labels = random_names(rng, rng.randint(5, 300), serial)
    a_extra = random_names(rng, rng.randint(1, 20), serial)
    b_extra = random_names(rng, rng.randint(1, 20), serial) + rng.sample(a_extra, 1)
    a_labels = rng.sample(truth_labels, rng.randint(len(truth_labels) // 2, len(truth_labels)))
    b_labels = rng.sample(truth_labels, rng.randint(len(truth_labels) // 2, len(truth_labels)))
    a_labels += a_extra
    b_labels += b_extra
    rng.shuffle(a_labels)
    rng.shuffle(b_labels)
    frames = rng.randint(6, 30)
    truth = []
    for frame in range(frames):
        for _ in range(rng.randint(1, 8)):
            x, y = rng.randrange(0, 900, 10), rng.randrange(0, 700, 10)
            w, h = rng.randint(40, 120), rng.randint(40, 120)
            truth.append((frame, rng.choice(truth_labels), x, y, x + w, y + h))
    a = detector_boxes(rng, [t for t in truth if t[1] in a_labels], a_labels)
    b = detector_boxes(rng, [t for t in truth if t[1] in b_labels], b_labels)
    classes = list(truth_labels)
    for name in a_labels + b_labels:
        if name not in classes:
            classes.append(name)
    return (classes, cvat_file(truth_labels, truth), cvat_file(a_labels, a),
            cvat_file(b_labels, b), truth, a, b)


def model_frames(boxes):
    frames = {}
    for frame, label, x0, y0, x1, y1 in boxes:
        frames.setdefault(frame, crosscheck.Frame(frame)).targets.append(
            crosscheck.Box([x0, x1, x1, x0], [y0, y0, y1, y1], label, False, False, 1.0))
    return frames


def paired_by_class(classes, truth, a, b):
    """Per ground-truth frame, per class of `classes` after All, (gt_a, fn_a,
    fp_a, gt_b, fn_b, fp_b) from the independent model, every box at
    confidence 1."""
    truth_frames, by_a, by_b = model_frames(truth), model_frames(a), model_frames(b)
    rows = {name: at + 1 for at, name in enumerate(classes)}
    out = []
    for number in sorted(truth_frames):
        gf = truth_frames[number]
        row = [[0] * 6 for _ in range(len(classes) + 1)]
        for side, frames in ((0, by_a), (3, by_b)):
            partner = frames.get(number)
            present = {t.cls for t in gf.targets} | (
                {t.cls for t in partner.targets} if partner else set())
            for cls in ["All"] + sorted(present):
                gts = [t for t in gf.targets if cls == "All" or t.cls == cls]
                if partner is None:
                    counts = (len(gts), len(gts), 0)
                else:
                    dets = [t for t in partner.targets if cls == "All" or t.cls == cls]
                    objects, _, fn, fp = crosscheck.frame_counts(gts, [], dets)
                    counts = (objects, fn, fp)
                row[0 if cls == "All" else rows[cls]][side:side + 3] = counts
        out.append(row)
    return out


def check_csv(text, report, names, context):
    """The CSV read back with Python's own reader: every class, its name
    as written, the JSON report's numbers to the places the CSV gives."""
    import csv
    import io
    rows = list(csv.reader(io.StringIO(text, newline="")))
    assert rows[0] == ["class", "gt", "fn_a", "fp_a", "nmodta_a", "fn_b", "fp_b", "nmodta_b",
                       "delta", "low", "high", "b_better", "a_better", "found_both",
                       "found_a_only", "found_b_only", "found_neither"], context
    assert [r[0] for r in rows[1:]] == names, context
    for row, c in zip(rows[1:], report["classes"]):
        got = dict(zip(rows[0], row))
        for key in ("gt", "fn_a", "fp_a", "fn_b", "fp_b", "found_both", "found_a_only",
                    "found_b_only", "found_neither"):
            assert got[key] == str(c[key]), (context, c["class"], key)
        for key in ("delta", "low", "high"):
            assert got[key] == "%.6f" % c[key], (context, c["class"], key)
        for key in ("b_better", "a_better"):
            assert got[key] == "%.4f" % c[key], (context, c["class"], key)


def run_utf8(*args):
    status, out, err = run_tool(*args)
    return status, out.encode("latin-1").decode("utf-8"), err


def test_any_class_set_resamples_exactly_as_documented():
    need_tool()
    rng = random.Random(17)
    serial = iter(range(10 ** 9))
    with tempfile.TemporaryDirectory(prefix="talmira-compare-") as folder:
        triples = []
        for number in range(4):
            classes, *files, truth, a, b = random_cvat_triple(rng, serial)
            paths = []
            for name, data in zip(("gt", "a", "b"), files):
                paths.append(os.path.join(folder, "%s%d.xml" % (name, number)))
                with open(paths[-1], "wb") as fh:
                    fh.write(data)
            frames = paired_by_class(classes, truth, a, b)
            triples.append((classes, paths, frames))
            resamples, seed = rng.choice([40, 150]), rng.randrange(1 << 64)
            block = rng.choice([1, 2, 3])
            names = ["All"] + classes
            context = "sequence %d, %d classes" % (number, len(classes))
            args = ["compare", *paths, "--gt-format", "cvat", "--sys-format", "cvat",
                    "--resamples", str(resamples), "--seed", str(seed), "--block", str(block)]
            status, out, err = run_utf8(*args, "--format", "json")
            assert status == 0, err
            report = json.loads(out)
            units = [summed_rows(frames[at:at + block]) for at in range(0, len(frames), block)]
            check_classes(report, summed_rows(frames),
                          bootstrap(units, resamples, seed, "0.95", len(names)), context, names)
            # With one threshold, each class's objects are those each found.
            for c in report["classes"]:
                assert c["found_both"] + c["found_a_only"] == c["gt"] - c["fn_a"], context
                assert c["found_both"] + c["found_b_only"] == c["gt_b"] - c["fn_b"], context
                assert (c["found_both"] + c["found_a_only"] + c["found_b_only"]
                        + c["found_neither"]) == c["gt"], context
            status, out, err = run_utf8(*args, "--format", "csv")
            assert status == 0, err
            check_csv(out, report, names, context)
        # A dataset of sequences of other classes: every class once, in list
        # order, each sequence's counts in its classes' rows.
        listed = os.path.join(folder, "list.csv")
        with open(listed, "w") as fh:
            fh.write("sequence,groundtruth,system_a,system_b,gt_format,sys_format\n")
            for number, (_, paths, _) in enumerate(triples):
                fh.write("s%d,%s,%s,%s,cvat,cvat\n" % (number, *paths))
        names = ["All"]
        for classes, _, _ in triples:
            names += [name for name in classes if name not in names]
        rows = {name: at for at, name in enumerate(names)}
        units = []
        for classes, _, frames in triples:
            own = summed_rows(frames)
            unit = [[0] * 6 for _ in names]
            for at, name in enumerate(["All"] + classes):
                unit[rows[name]] = own[at]
            units.append(unit)
        status, out, err = run_utf8("compare", "--dataset", listed, "--resamples", "300",
                                    "--format", "json", "-j", "2")
        assert status == 0, err
        report = json.loads(out)
        check_classes(report, summed_rows(units), bootstrap(units, 300, 1, "0.95", len(names)),
                      "dataset", names)
        status, out, err = run_utf8("compare", "--dataset", listed, "--resamples", "300",
                                    "--format", "csv")
        assert status == 0, err
        check_csv(out, report, names, "dataset")


def summed_rows(frames):
    """Per class, the six counts summed over `frames` (lists of per-class
    counts, as many classes in each)."""
    total = [[0] * 6 for _ in frames[0]] if frames else []
    for frame in frames:
        for c, counts in enumerate(frame):
            for v in range(6):
                total[c][v] += counts[v]
    return total


def events_found(gt, system, confidence, cls):
    """From `talmira events`: each ground-truth box the class's matching
    takes (by its line) and whether it was paired."""
    status, out, err = run_tool("events", gt, system, "-c", confidence, "--class", cls)
    assert status == 0, err
    found = {}
    for row in out.splitlines()[1:]:
        fields = row.split(",")
        if fields[2] == "gt" and fields[6] in ("match", "miss"):
            found[int(fields[3])] = fields[6] == "match"
    return found


def test_objects_found_are_those_the_events_of_both_detectors_pair():
    need_tool()
    rng = random.Random(8)
    with tempfile.TemporaryDirectory(prefix="talmira-compare-") as folder:
        for number, (gt, a, b) in enumerate(random_triples(31, 8)):
            paths = []
            for name, data in (("gt", gt), ("a", a), ("b", b)):
                paths.append(os.path.join(folder, "%s%d.csv" % (name, number)))
                with open(paths[-1], "wb") as fh:
                    fh.write(data)
            ca, cb = thresholds(rng)
            status, out, err = run_tool("compare", *paths, "--c-a", ca, "--c-b", cb,
                                        "--resamples", "10", "--format", "json")
            assert status == 0, err
            for c in json.loads(out)["classes"]:
                by_a = events_found(paths[0], paths[1], ca, c["class"])
                by_b = events_found(paths[0], paths[2], cb, c["class"])
                counts = {"both": 0, "a_only": 0, "b_only": 0, "neither": 0}
                for line in set(by_a) | set(by_b):
                    fa, fb = by_a.get(line, False), by_b.get(line, False)
                    counts["both" if fa and fb else "a_only" if fa else
                           "b_only" if fb else "neither"] += 1
                assert {k: c["found_" + k] for k in counts} == counts, (number, c["class"])


# --- talmira.compare -----------------------------------------------------------

def test_the_python_function_gives_the_commands_numbers():
    need_tool()
    gt, a, b = (os.path.join(EXAMPLES, n) for n in (
        "groundtruth.csv", "systemoutput.csv", "systemoutput_b.csv"))
    status, out, _ = run_tool("compare", gt, a, b, "--format", "json", "--resamples", "3000",
                              "--block", "1", "--seed", "5")
    assert status == 0
    result = talmira.compare(gt, a, b, resamples=3000, block=1, seed=5, jobs=1)
    assert result.to_dict() == json.loads(out)
    assert list(result.classes.columns) == list(talmira.COMPARE_COLUMNS)
    assert list(result.classes["class"]) == list(talmira.CLASSES)
    assert result.classes.loc[0, "delta"] == json.loads(out)["classes"][0]["delta"]
    assert (result.unit, result.block, result.units, result.best) == ("frames", 1, 6, False)
    assert result.sequences is None
    # Tables in memory give the same numbers, with no paths.
    import pandas as pd
    tables = []
    for path in (gt, a, b):
        table = pd.read_csv(path, keep_default_na=False)
        table.columns = list(talmira.COLUMNS) + ["text", "number"]
        tables.append(table)
    from_tables = talmira.compare(*tables, resamples=3000, block=1, seed=5)
    expected = json.loads(out)
    for key in ("groundtruth", "system_a", "system_b"):
        expected[key] = None
    assert from_tables.to_dict() == expected

    # A dataset, with --best.
    listed = os.path.join(EXAMPLES, "compare.csv")
    status, out, _ = run_tool("compare", "--dataset", listed, "--best", "--format", "json",
                              "--resamples", "200")
    assert status == 0
    result = talmira.compare(dataset=listed, best=True, resamples=200)
    assert result.to_dict() == json.loads(out)
    assert list(result.sequences["sequence"]) == ["street"]
    assert result.sequences.loc[0, "delta"] == json.loads(out)["sequences"][0]["delta"]
    assert result.verdict() is None  # one unit: nothing to resample
    assert (result.confidence_a, result.confidence_b) == (0.36, 0.42)


def test_the_python_function_refuses_what_the_command_refuses():
    gt, a, b = (os.path.join(EXAMPLES, n) for n in (
        "groundtruth.csv", "systemoutput.csv", "systemoutput_b.csv"))
    for wrong in ({"confidence": 0.3, "best": True}, {"confidence_a": 0.3},
                  {"confidence": 0.1, "confidence_a": 0.3, "confidence_b": 0.2},
                  {"level": 1}, {"level": "0.5x"}, {"level": True}, {"level": 1e-10}, {"resamples": 0},
                  {"resamples": 2.5}, {"seed": -1}, {"seed": 1 << 64}, {"block": 0},
                  {"confidence": 1.5}, {"jobs": 0}):
        with pytest.raises(ValueError):
            talmira.compare(gt, a, b, **wrong)
    with pytest.raises(ValueError):
        talmira.compare(gt, a)
    with pytest.raises(ValueError):
        talmira.compare(gt, a, b, dataset=os.path.join(EXAMPLES, "compare.csv"))
    with pytest.raises(FileNotFoundError):
        talmira.compare(gt, a, os.path.join(EXAMPLES, "missing.csv"))
    with pytest.raises(FileNotFoundError):
        talmira.compare(dataset=os.path.join(EXAMPLES, "missing.csv"))
    with tempfile.TemporaryDirectory(prefix="talmira-compare-") as folder:
        bad = os.path.join(folder, "bad.csv")
        with open(bad, "w") as fh:
            fh.write("sequence,groundtruth,system\none,a.csv,b.csv\n")
        with pytest.raises(ValueError, match="bad.csv:1: the first line must be the header"):
            talmira.compare(dataset=bad)
        listed = os.path.join(folder, "list.csv")
        with open(listed, "w") as fh:
            fh.write("sequence,groundtruth,system_a,system_b\n")
            fh.write("street,%s,%s,%s\nlost,%s,%s,nowhere.csv\n" % (gt, a, b, gt, a))
        with pytest.warns(RuntimeWarning, match="1 of 2 sequences could not be read"):
            result = talmira.compare(dataset=listed, resamples=100)
        assert result.units == 1
        assert result.sequences["error"].isna().tolist() == [True, False]
        assert result.sequences.loc[1, "error"].endswith("nowhere.csv: cannot open: "
                                                         "No such file or directory")
