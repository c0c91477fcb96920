"""`talmira track` against the tracking model (tracking.py) and both against
the reference evaluators' figures for the corpus' files.

* Worked cases (tracking_cases.py): the model and its py-motmetrics variant
  against figures worked out by hand, then the tool against the same and
  against the model.
* Conformance: the model (and the tool, when given) against
  expected/tracking.json for MOT15 TUD-Campus and the three MOT17
  sequences with COMBINED, and the py-motmetrics variant against
  expected/motmetrics.json.
* Random cases (tracking_generate.py): `talmira track GT SYS --rules
  mot|mot15 --format json` against the model, field by field.

Integers must be equal, other figures within 1e-12 relative; every check
counts how many values were bit-equal.
"""

import json
import math
import os
import shutil
import struct
import tempfile

from . import tracking, tracking_cases, tracking_motmetrics
from .runner import run_quietly
from .tracking_generate import make_tracking_case

TOLERANCE = 1e-12
CLASS_NAME = "pedestrian"
MOT17_SEQUENCES = ("MOT17-02-FRCNN", "MOT17-05-FRCNN", "MOT17-09-FRCNN")
MOT17_TRACKER = "MPNTrack.txt"
KEPT = 20  # failing random cases kept and listed


def bits(value):
    return struct.pack("<d", float(value))


class Tally:
    """Values compared: how many bit-equal, how many only within tolerance."""

    def __init__(self):
        self.values = self.bit_equal = self.within = self.failing = 0
        self.fields = self.fields_bit_equal = 0
        self.largest = 0.0

    def line(self):
        return ("fields bit-equal %d of %d; values bit-equal %d, within 1e-12 only %d, "
                "failing %d (of %d); largest relative difference %r" % (
                    self.fields_bit_equal, self.fields, self.bit_equal, self.within,
                    self.failing, self.values, self.largest))


def _number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def compare_measures(actual, expected, tally=None, fields=None):
    """[(field, actual, expected)] of the values that differ: integer fields
    equal, the rest within 1e-12 relative."""
    wrong = []
    for field in (fields or sorted(expected)):
        want = expected[field]
        got = actual.get(field) if isinstance(actual, dict) else None
        want_list = want if isinstance(want, list) else [want]
        got_list = got if isinstance(got, list) else [got]
        if isinstance(want, list) != isinstance(got, list) or len(got_list) != len(want_list):
            wrong.append((field, got, want))
            if tally is not None:
                tally.fields += 1
                tally.values += len(want_list)
                tally.failing += len(want_list)
            continue
        all_equal = True
        for a, e in zip(got_list, want_list):
            if tally is not None:
                tally.values += 1
            if not _number(a):
                ok = equal = False
            elif (tracking.is_integer_field(field)
                  or field in tracking_motmetrics.INTEGER_FIELDS):
                ok = equal = float(a).is_integer() and a == e
            else:
                equal = bits(a) == bits(e)
                difference = abs(a - e)
                ok = equal or difference <= TOLERANCE * abs(e)
                if tally is not None and math.isfinite(difference) and e != 0:
                    tally.largest = max(tally.largest, difference / abs(e))
            all_equal &= equal
            if tally is not None:
                tally.bit_equal += equal
                tally.within += ok and not equal
                tally.failing += not ok
            if not ok:
                wrong.append((field, got, want))
                break
        if tally is not None:
            tally.fields += 1
            tally.fields_bit_equal += all_equal
    return wrong


def _short(value):
    if isinstance(value, list):
        return "[%s]" % ", ".join(repr(v) for v in value)
    return repr(value)


def describe(wrong, who):
    return ["%s: %s %s, expected %s" % (who, field, _short(a), _short(e)) for field, a, e in wrong]


# --- the tool --------------------------------------------------------------

def track_command(tool, gt_path, tracker_path, rules):
    return [tool, "track", gt_path, tracker_path, "--rules", rules, "--format", "json"]


def run_tool_track(tool, gt_path, tracker_path, rules):
    """(the pedestrian class's measures or None, problems)."""
    run = run_quietly(track_command(tool, gt_path, tracker_path, rules))
    if run.returncode != 0:
        return None, ["talmira track --rules %s failed (%d): %s" % (
            rules, run.returncode, run.stderr.decode(errors="replace").strip()[:400])]
    try:
        doc = json.loads(run.stdout)
    except ValueError as exc:
        return None, ["talmira track --format json: not JSON (%s)" % exc]
    problems = []
    for key, want in (("groundtruth", gt_path), ("system", tracker_path), ("rules", rules)):
        if doc.get(key) != want:
            problems.append("%s: %r, expected %r" % (key, doc.get(key), want))
    classes = [c for c in doc.get("classes", []) if c.get("class") == CLASS_NAME]
    if len(classes) != 1:
        return None, problems + ["no single class %r in the document" % CLASS_NAME]
    return classes[0].get("measures", {}), problems


# --- worked cases ----------------------------------------------------------

def _write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)
    return path


def write_case(folder, gt_text, tracker_text, seqinfo_text):
    """gt.txt (and seqinfo.ini beside it) and tracker.txt in folder."""
    os.makedirs(folder, exist_ok=True)
    seqinfo = os.path.join(folder, "seqinfo.ini")
    if seqinfo_text is None:
        if os.path.exists(seqinfo):
            os.remove(seqinfo)
    else:
        _write(folder, "seqinfo.ini", seqinfo_text)
    return _write(folder, "gt.txt", gt_text), _write(folder, "tracker.txt", tracker_text)


def seqinfo_text(length):
    return ("[Sequence]\nname=CASE\nimDir=img1\nframeRate=30\nseqLength=%d\nimWidth=1920\n"
            "imHeight=1080\nimExt=.jpg\n" % length)


def model_measures(gt_text, tracker_text, rules, length=None):
    gt_rows = tracking.parse_rows(gt_text, "gt.txt")
    tracker_rows = tracking.parse_rows(tracker_text, "tracker.txt")
    if length is None:
        length = tracking.last_frame(gt_rows, tracker_rows)
    return tracking.evaluate(tracking.preprocess(gt_rows, tracker_rows, length, rules)).measures()


TOOL_RULES = {"mot15": "mot15", "mot17": "mot"}


def check_worked_cases(tool=None, folder=None):
    """Problems (lines) of the model, its py-motmetrics variant and the tool
    on the hand-worked cases."""
    problems = []
    checked = tool_checked = 0
    for case in tracking_cases.CASES:
        name, rules = case["name"], case["rules"]
        measures = model_measures(case["gt"], case["tracker"], rules, case.get("length"))
        problems += tracking_cases.check_figures("model", name, measures, case["trackeval"])
        checked += len(case["trackeval"])
        if "motmetrics" in case:
            figures = tracking_motmetrics.evaluate(tracking.parse_rows(case["gt"]),
                                                   tracking.parse_rows(case["tracker"]))
            problems += tracking_cases.check_figures("py-motmetrics model", name, figures,
                                                     case["motmetrics"])
            checked += len(case["motmetrics"])
        if tool is not None and rules in TOOL_RULES:
            where = os.path.join(folder, name)
            length = case.get("length")
            gt_path, tracker_path = write_case(
                where, case["gt"], case["tracker"],
                None if length is None else seqinfo_text(length))
            actual, run_problems = run_tool_track(tool, gt_path, tracker_path, TOOL_RULES[rules])
            problems += ["tool, %s: %s" % (name, p) for p in run_problems]
            if actual is not None:
                problems += tracking_cases.check_figures("tool", name, actual, case["trackeval"])
                problems += describe(compare_measures(actual, measures,
                                                      fields=tracking.ALL_FIELDS),
                                     "tool against the model, " + name)
                tool_checked += 1
    print("worked cases: %d, %d figures worked out by hand checked on the models%s" % (
        len(tracking_cases.CASES), checked,
        "" if tool is None else ", %d cases run by the tool" % tool_checked))
    return problems


# --- the corpus ------------------------------------------------------------

def corpus_sequences(corpus):
    """(benchmark, sequence, gt path, tracker path, model rules, tool rules)."""
    out = [("mot15", "TUD-Campus", os.path.join(corpus, "mot15", "TUD-Campus", "gt.txt"),
            os.path.join(corpus, "mot15", "TUD-Campus", "test.txt"), "mot15", "mot15")]
    for name in MOT17_SEQUENCES:
        folder = os.path.join(corpus, "mot17", name)
        out.append(("mot17", name, os.path.join(folder, "gt.txt"),
                    os.path.join(folder, MOT17_TRACKER), "mot17", "mot"))
    return out


def corpus_missing(corpus):
    paths = [os.path.join(corpus, "expected", "tracking.json"),
             os.path.join(corpus, "expected", "motmetrics.json")]
    for _, _, gt_path, tracker_path, _, _ in corpus_sequences(corpus):
        paths += [gt_path, tracker_path]
    for name in MOT17_SEQUENCES:
        paths.append(os.path.join(corpus, "mot17", name, "seqinfo.ini"))
    return [p for p in paths if not os.path.isfile(p)]


def check_conformance(corpus, tool=None):
    """Problems (lines) of the model, and of the tool when given, against the
    reference figures of every sequence (and COMBINED, for the model)."""
    with open(os.path.join(corpus, "expected", "tracking.json"), encoding="utf-8") as source:
        expected = json.load(source)
    with open(os.path.join(corpus, "expected", "motmetrics.json"), encoding="utf-8") as source:
        expected_mm = json.load(source)
    problems = []
    model_tally, tool_tally, tool_model_tally = Tally(), Tally(), Tally()
    results = {"mot15": [], "mot17": []}
    for benchmark, name, gt_path, tracker_path, rules, tool_rules in corpus_sequences(corpus):
        want = expected[benchmark]["sequences"][name]
        result = tracking.evaluate(tracking.load_sequence(gt_path, tracker_path, rules))
        results[benchmark].append(result)
        measures = result.measures()
        for field in set(want) - set(tracking.ALL_FIELDS):
            problems.append("model, %s: no field %s" % (name, field))
        problems += describe(compare_measures(measures, want, model_tally),
                             "model, " + name)
        if tool is not None:
            actual, run_problems = run_tool_track(tool, gt_path, tracker_path, tool_rules)
            problems += ["tool, %s: %s" % (name, p) for p in run_problems]
            if actual is not None:
                problems += describe(compare_measures(actual, want, tool_tally),
                                     "tool, " + name)
                problems += describe(compare_measures(actual, measures, tool_model_tally,
                                                      fields=tracking.ALL_FIELDS),
                                     "tool against the model, " + name)
    for benchmark, sequence_results in results.items():
        combined = tracking.combine(sequence_results).measures()
        problems += describe(compare_measures(combined,
                                              expected[benchmark]["sequences"]["COMBINED"],
                                              model_tally), "model, %s COMBINED" % benchmark)
    print("model against the reference figures (4 sequences and 2 COMBINED): "
          + model_tally.line())
    if tool is not None:
        print("tool against the reference figures (4 sequences): " + tool_tally.line())
        print("tool against the model (4 sequences): " + tool_model_tally.line())

    mm_tally = Tally()
    gt_path, tracker_path = corpus_sequences(corpus)[0][2:4]
    figures = tracking_motmetrics.evaluate(tracking.read_rows(gt_path),
                                           tracking.read_rows(tracker_path))
    want = expected_mm["sequences"]["TUD-Campus"]
    wrong = compare_measures(figures, want, mm_tally)
    problems += describe(wrong, "py-motmetrics model, TUD-Campus")
    print("py-motmetrics model against its figures (TUD-Campus): " + mm_tally.line())
    return problems


# --- random cases ----------------------------------------------------------

def case_files(folder, case):
    return write_case(folder, case["gt"], case["tracker"], case["seqinfo"])


def check_random_case(tool, folder, case, tally=None):
    """[(field, tool's, model's)] and run problems of one case."""
    gt_path, tracker_path = case_files(folder, case)
    expected = model_measures(case["gt"], case["tracker"], case["rules"], case["length"])
    actual, problems = run_tool_track(tool, gt_path, tracker_path, case["tool_rules"])
    if actual is None:
        return [], problems
    return compare_measures(actual, expected, tally, fields=tracking.ALL_FIELDS), problems


def shrink_case(tool, folder, case, field):
    """A smaller case (lines taken away while `field` still differs)."""

    def fails(c):
        try:
            wrong, problems = check_random_case(tool, folder, c)
        except tracking.ModelInputError:
            return False
        return any(w[0] == field for w in wrong)

    case = dict(case)
    for part in ("tracker", "gt"):
        lines = case[part].splitlines(True)
        size = max(1, len(lines) // 2)
        while size >= 1:
            start = 0
            while start < len(lines):
                kept = lines[:start] + lines[start + size:]
                trial = dict(case)
                trial[part] = "".join(kept)
                if fails(trial):
                    lines, case = kept, trial
                else:
                    start += size
            size //= 2
    return case


def run_tracking_cases(tool, cases, seed, first=0, keep_dir=None, show=3, no_shrink=False):
    """Checks `cases` random cases of `seed` (without a tool, only that the
    model reads them); returns how many failed."""
    keep_dir = keep_dir or os.path.join(tempfile.gettempdir(),
                                        "crosscheck-tracking-failures-%d" % seed)
    tally = Tally()
    notes = {}
    failed = 0
    shrunk_one = no_shrink
    with tempfile.TemporaryDirectory(prefix="crosscheck-tracking-") as tmp:
        for idx in range(first, first + cases):
            case_seed = seed * 1000003 + idx
            case = make_tracking_case(case_seed)
            for key, value in case["notes"].items():
                notes[key] = notes.get(key, 0) + value
            try:
                if tool is None:
                    # The generator and the model alone: every case must be readable.
                    model_measures(case["gt"], case["tracker"], case["rules"], case["length"])
                    continue
                wrong, problems = check_random_case(tool, tmp, case, tally)
            except tracking.ModelInputError as exc:
                print("generator fault in case %d (seed %d): %s" % (idx, case_seed, exc))
                failed += 1
                continue
            if not wrong and not problems:
                continue
            failed += 1
            if failed > KEPT:
                continue
            if failed == KEPT:
                print("(the failing cases after this one are counted, not kept)")
            dest = os.path.join(keep_dir, "case-%d" % idx)
            if os.path.isdir(dest):
                shutil.rmtree(dest)
            gt_path, tracker_path = case_files(dest, case)
            with open(os.path.join(dest, "args.txt"), "w") as out:
                out.write(" ".join(track_command("talmira", gt_path, tracker_path,
                                                 case["tool_rules"])) + "\n")
                out.write("case %d of seed %d (generator seed %d)\n" % (idx, seed, case_seed))
            if failed > show:
                print("case %d differs (%s); files kept in %s" % (
                    idx, ", ".join(w[0] for w in wrong[:4]) or problems[0], dest))
                continue
            print("=" * 72)
            print("MISMATCH in case %d (seed %d, generator seed %d); files kept in %s" % (
                idx, seed, case_seed, dest))
            for line in problems[:6] + describe(wrong[:10], "tool against the model"):
                print("  " + line)
            if wrong and not shrunk_one:
                shrunk_one = True
                small = shrink_case(tool, tmp, case, wrong[0][0])
                sdest = dest + "-shrunk"
                case_files(sdest, small)
                print("-" * 72)
                print("shrunk reproducer in %s (%s still differs):" % (sdest, wrong[0][0]))
                print("--- gt.txt ---\n%s--- tracker.txt ---\n%s" % (small["gt"],
                                                                     small["tracker"]))
                wrong_small, _ = check_random_case(tool, tmp, small)
                for line in describe(wrong_small[:6], "tool against the model"):
                    print("  " + line)
    print("what the cases reached: " + ", ".join(
        "%s %d" % (key, notes[key]) for key in sorted(notes)))
    if tool is not None:
        print("tool against the model: " + tally.line())
    return failed
