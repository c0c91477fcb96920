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


def bootstrap(units, resamples, seed, level):
    """units: lists, one per unit, of per-class (gt_a, fn_a, fp_a, gt_b, fn_b,
    fp_b). Per class (low, high, b_better, a_better)."""
    generator = SplitMix64(seed)
    classes = len(crosscheck.EVAL_CLASSES)
    differences = [[] for _ in range(classes)]
    for _ in range(resamples):
        sums = [[0] * 6 for _ in range(classes)]
        for _ in range(len(units)):
            unit = units[generator.draw(len(units))]
            for c in range(classes):
                for v in range(6):
                    sums[c][v] += unit[c][v]
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


def check_classes(report, totals, intervals, context):
    assert [c["class"] for c in report["classes"]] == crosscheck.EVAL_CLASSES, context
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
