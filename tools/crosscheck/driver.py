"""Randomized differential test of TalmiraConsole and talmira against a Python model.

The command line: the cases of a seed generated, checked one by one, the
failing ones kept and the first shrunk (see the package's description).
"""

import argparse
import collections
import os
import tempfile

from .check import check, describe, shrink
from .classes import check_coco_conformance, run_class_cases
from .events import events_options, print_event_stats
from .generate import make_case
from .mot import run_mot_cases
from .records import ModelInputError
from .rules import random_rules
from .vid import run_vid_cases


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--binary", default="build/dev/TalmiraConsole")
    ap.add_argument("--cases", type=int, default=500)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--first", type=int, default=0,
                    help="index of the first case (the cases of a seed can be run in parts: "
                         "--first 150 --cases 150 are the second half of 300)")
    ap.add_argument("--case", type=int, default=None,
                    help="run only this case index of the seed")
    ap.add_argument("--keep-dir", default=None,
                    help="where failing file pairs are kept "
                         "(default: a crosscheck-failures-SEED folder in the temp dir)")
    ap.add_argument("--show", type=int, default=3, help="mismatches shown in full")
    ap.add_argument("--no-shrink", action="store_true")
    ap.add_argument("--tool", default=None,
                    help="also run `talmira score --format csv` (this binary) on every case, "
                         "and `talmira events` on a share of them")
    ap.add_argument("--rules-share", type=float, default=0.0,
                    help="with --tool, the share of cases (drawn from the seed) that the tool "
                         "scores under random scoring rules (default none)")
    ap.add_argument("--events-share", type=float, default=1.0,
                    help="with --tool, the share of cases (drawn from the seed) whose "
                         "`talmira events` rows are checked (default all)")
    ap.add_argument("--class-sets", type=int, default=0, metavar="N",
                    help="instead, check N random COCO pairs of random class sets (1 to 2,000 "
                         "classes, names CSV and HTML must quote) with the tool's score and "
                         "sweep, per class, against the model")
    ap.add_argument("--coco", nargs=2, metavar=("GT", "RESULTS"),
                    help="instead, check the tool's per category counts on a COCO ground "
                         "truth and results list (IoU at 0.5, every box kept) against the model")
    ap.add_argument("--vid", type=int, default=0, metavar="N",
                    help="instead, check N random COCO pairs of videos with the tool's "
                         "`ap --protocol vid --format json` (every category's AP, its AP per "
                         "motion bin, the means) against the model, within 1e-12")
    ap.add_argument("--mot", type=int, default=0, metavar="N",
                    help="instead, check N random pairs of the MOT family's formats (mot, "
                         "mot15, visdrone, uavdt: scores of -1, negative widths and heights, "
                         "MOT15 files given as mot) with the tool's score, sweep, check and "
                         "events against the model (the cases of --seed from --first)")
    ap.add_argument("--ap", type=int, default=0, metavar="N",
                    help="instead, check `talmira ap` (the tool given) on N random COCO pairs "
                         "against the model of COCO's box average precision (the cases of "
                         "--seed from --first; failing pairs kept in --keep-dir)")
    ap.add_argument("--coco-ap", nargs=3, metavar=("GT", "RESULTS", "EXPECTED"),
                    help="instead, hold the model of COCO's box average precision, and the "
                         "tool's `talmira ap` when given, to the reference evaluator's figures "
                         "for a COCO pair (EXPECTED: the corpus' expected/coco.json)")
    ap.add_argument("--tracking", type=int, default=0, metavar="N",
                    help="instead, check the tracking model (tracking.py, which needs numpy "
                         "and scipy) on its hand-worked cases, then `talmira track` (the tool "
                         "given) on them and on N random MOT17 and MOT15 sequences of --seed "
                         "from --first against the model (failing cases kept in --keep-dir)")
    ap.add_argument("--tracking-kitti", type=int, default=0, metavar="N",
                    help="instead, check the KITTI model (tracking_kitti.py) on its hand-worked "
                         "sequence, then `talmira track --rules kitti` (the tool given) on it "
                         "and on N random adversarial KITTI sequences of --seed, both classes "
                         "field by field (failing cases kept in --keep-dir)")
    ap.add_argument("--stability", type=int, default=0, metavar="N",
                    help="instead, check `talmira stability` (the tool given) on N random cases "
                         "of each road, CLEAR's (MOT17 and MOT15 sequences) and the detection "
                         "matching's (files of this format with identities), every track's "
                         "errors against the model (stability.py, which needs numpy and scipy)")
    ap.add_argument("--stability-datasets", type=int, default=0, metavar="N",
                    help="instead, check `talmira batch --stability` (each sequence and the "
                         "pool over every track used), its shards merged, and `talmira compare "
                         "--stability` (the pooled errors and the paired bootstrap over the "
                         "sequences) on N random datasets of MOT sequences against the model")
    ap.add_argument("--tracking-conformance", metavar="DIR",
                    help="instead, hold the tracking model, and `talmira track` when the tool "
                         "is given, to the reference evaluators' figures for the corpus' MOT "
                         "files (DIR: the corpus folder, with mot15/, mot17/ and expected/)")
    ap.add_argument("--benchmark-counts", type=int, default=0, metavar="N",
                    help="instead, check `talmira score`, `sweep` and `events` under --rules "
                         "mot (the tool given) on N random MOT17 and MOT15 sequences of --seed "
                         "from --first, with their identities and with every identity -1, "
                         "against the tracking model's CLEAR counts")
    opts = ap.parse_args()

    if opts.stability:
        return check_stability(opts)
    if opts.stability_datasets:
        return check_stability_datasets(opts)
    if opts.benchmark_counts:
        return check_benchmark_counts(opts)
    if opts.tracking_kitti:
        return check_tracking_kitti(opts)
    if opts.tracking or opts.tracking_conformance:
        return check_tracking(opts)
    if opts.ap or opts.coco_ap:
        return check_average_precision(opts)
    if opts.class_sets or opts.coco or opts.vid:
        return check_class_sets(opts)
    if opts.mot:
        return check_mot_family(opts)

    binary = os.path.abspath(opts.binary)
    if not os.access(binary, os.X_OK):
        print("binary not found or not executable: %s" % binary)
        return 2
    keep_dir = opts.keep_dir or os.path.join(
        tempfile.gettempdir(), "crosscheck-failures-%d" % opts.seed)
    tool = None
    if opts.tool is not None:
        tool = os.path.abspath(opts.tool)
        if not os.access(tool, os.X_OK):
            print("tool not found or not executable: %s" % tool)
            return 2
    print("crosscheck seed %d, %d cases from case %d, binary %s%s" % (
        opts.seed, opts.cases, opts.first, binary, "" if tool is None else ", tool " + tool))

    indices = [opts.case] if opts.case is not None else range(opts.first, opts.first + opts.cases)
    passed = failed = 0
    shrunk_one = False
    stats = collections.Counter()
    with tempfile.TemporaryDirectory(prefix="crosscheck-") as tmp:
        for idx in indices:
            case_seed = opts.seed * 1000003 + idx
            gt, sysout, extra = make_case(case_seed)
            events = None if tool is None else events_options(case_seed, opts.events_share)
            rules = None if tool is None else random_rules(case_seed, opts.rules_share)
            if rules is not None:
                stats["rules cases"] += 1
            try:
                expected, actual, args = check(binary, tmp, gt, sysout, extra, tool, events,
                                               stats, rules)
            except ModelInputError as exc:
                print("generator fault in case %d (seed %d): %s" % (idx, opts.seed, exc))
                failed += 1
                continue
            if expected == actual:
                passed += 1
                continue
            failed += 1
            dest = os.path.join(keep_dir, "case-%d" % idx)
            os.makedirs(dest, exist_ok=True)
            for name, data in (("gt.csv", gt), ("sys.csv", sysout)):
                if data is not None:
                    with open(os.path.join(dest, name), "wb") as fh:
                        fh.write(data)
            with open(os.path.join(dest, "args.txt"), "w") as fh:
                fh.write(" ".join(["gt.csv", "sys.csv", "result.csv"] + extra) + "\n")
                if events is not None and events[0] is not None:
                    fh.write("events with --near %s\n" % events[0])
                if rules is not None:
                    fh.write("talmira with %s\n" % " ".join(rules[1]))
            if failed <= opts.show:
                print("=" * 72)
                print("MISMATCH in case %d (seed %d); files kept in %s" % (idx, opts.seed, dest))
                print("extra arguments: %r%s" % (
                    extra, "" if rules is None else "; talmira with " + " ".join(rules[1])))
                print(describe(expected, actual))
                if not shrunk_one and not opts.no_shrink:
                    shrunk_one = True
                    sg, ss, sx = shrink(binary, tmp, gt, sysout, extra, tool, events, rules)
                    sdest = dest + "-shrunk"
                    os.makedirs(sdest, exist_ok=True)
                    for name, data in (("gt.csv", sg), ("sys.csv", ss)):
                        if data is not None:
                            with open(os.path.join(sdest, name), "wb") as fh:
                                fh.write(data)
                    print("-" * 72)
                    print("shrunk reproducer in %s, extra arguments %r" % (sdest, sx))
                    for name, data in (("gt.csv", sg), ("sys.csv", ss)):
                        print("--- %s ---" % name)
                        print("(missing)" if data is None else repr(data.decode("latin-1")))
                    e, a, _ = check(binary, tmp, sg, ss, sx, tool, events, rules=rules)
                    print(describe(e, a))
    if tool is not None:
        print("cases under random scoring rules: %d" % stats.pop("rules cases", 0))
        print_event_stats(stats)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


def check_class_sets(opts):
    """The --class-sets, --coco and --vid runs: the tool only."""
    if opts.tool is None or not os.access(opts.tool, os.X_OK):
        print("give the talmira binary with --tool")
        return 2
    tool = os.path.abspath(opts.tool)
    failed = 0
    if opts.coco:
        missing = [path for path in opts.coco if not os.path.isfile(path)]
        if missing:
            # The corpus lives beside the repository in CI, not in a clone.
            print("the conformance corpus is not here (%s)" % ", ".join(missing))
            if os.environ.get("CI"):
                print("CI must have it: failing")
                return 1
            print("skipped")
            return 77
        problems = check_coco_conformance(tool, *opts.coco)
        for line in problems[:20]:
            print("  " + line)
        print("COCO pair %s: %s" % (opts.coco[0], "differs" if problems else "as the model"))
        failed += 1 if problems else 0
    if opts.class_sets:
        with tempfile.TemporaryDirectory(prefix="crosscheck-classes-") as tmp:
            wrong = run_class_cases(tool, opts.class_sets, opts.seed, tmp)
        print("class sets, seed %d: %d passed, %d failed"
              % (opts.seed, opts.class_sets - wrong, wrong))
        failed += wrong
    if opts.vid:
        wrong = run_vid_cases(tool, opts.vid, opts.seed, opts.keep_dir)
        print("vid, seed %d: %d passed, %d failed" % (opts.seed, opts.vid - wrong, wrong))
        failed += wrong
    return 1 if failed else 0


def check_mot_family(opts):
    """The --mot runs: the tool only."""
    if opts.tool is None or not os.access(opts.tool, os.X_OK):
        print("give the talmira binary with --tool")
        return 2
    tool = os.path.abspath(opts.tool)
    print("mot family, seed %d, %d cases from case %d, tool %s"
          % (opts.seed, opts.mot, opts.first, tool))
    with tempfile.TemporaryDirectory(prefix="crosscheck-mot-") as tmp:
        wrong = run_mot_cases(tool, opts.mot, opts.seed, opts.first, tmp, opts.show,
                              opts.keep_dir)
    print("mot family, seed %d: %d passed, %d failed" % (opts.seed, opts.mot - wrong, wrong))
    return 1 if wrong else 0


def check_average_precision(opts):
    """The --ap and --coco-ap runs: the model of COCO's box average
    precision, which needs numpy, against the tool."""
    try:
        from .average_precision import check_coco_ap_conformance, run_ap_cases
    except ImportError as exc:
        print("the average precision model needs numpy (%s): run it with the Python "
              "that has it (Debian's python3-numpy)" % exc)
        return 2
    tool = None
    if opts.tool is not None:
        tool = os.path.abspath(opts.tool)
        if not os.access(tool, os.X_OK):
            print("tool not found or not executable: %s" % tool)
            return 2
    elif opts.ap:
        print("give the talmira binary with --tool")
        return 2
    failed = 0
    if opts.coco_ap:
        missing = [path for path in opts.coco_ap if not os.path.isfile(path)]
        if missing:
            # The corpus lives beside the repository in CI, not in a clone.
            print("the conformance corpus is not here (%s)" % ", ".join(missing))
            if os.environ.get("CI"):
                print("CI must have it: failing")
                return 1
            print("skipped")
            return 77
        problems = check_coco_ap_conformance(tool, *opts.coco_ap)
        for line in problems[:30]:
            print("  " + line)
        print("COCO pair %s: %s" % (opts.coco_ap[0], "differs" if problems
                                    else "the reference evaluator's figures"))
        failed += 1 if problems else 0
    if opts.ap:
        print("average precision, seed %d, %d cases from case %d, tool %s"
              % (opts.seed, opts.ap, opts.first, tool))
        wrong = run_ap_cases(tool, opts.ap, opts.seed, opts.first, opts.keep_dir, opts.show,
                             opts.no_shrink)
        print("average precision, seed %d: %d passed, %d failed"
              % (opts.seed, opts.ap - wrong, wrong))
        failed += wrong
    return 1 if failed else 0


def check_stability(opts):
    """The --stability run: both roads of `talmira stability` against the
    model, which needs numpy and scipy."""
    try:
        from .stability import run_stability_cases
    except ImportError as exc:
        print("the stability model needs numpy and scipy (%s): run it with the Python that "
              "has them (Debian's python3-numpy and python3-scipy)" % exc)
        return 2
    tool = os.path.abspath(opts.tool or "")
    if opts.tool is None or not os.access(tool, os.X_OK):
        print("--stability needs --tool, the talmira executable")
        return 2
    print("stability, seed %d, %d cases of each road from case %d, tool %s"
          % (opts.seed, opts.stability, opts.first, tool))
    wrong = run_stability_cases(tool, opts.stability, opts.seed, opts.first, opts.keep_dir,
                                opts.show)
    print("stability, seed %d: %d passed, %d failed"
          % (opts.seed, 2 * opts.stability - wrong, wrong))
    return 1 if wrong else 0


def check_stability_datasets(opts):
    """The --stability-datasets run: batch and compare --stability on random
    datasets against the model, which needs numpy and scipy."""
    try:
        from .stability import run_stability_dataset_cases
    except ImportError as exc:
        print("the stability model needs numpy and scipy (%s)" % exc)
        return 2
    tool = os.path.abspath(opts.tool or "")
    if opts.tool is None or not os.access(tool, os.X_OK):
        print("--stability-datasets needs --tool, the talmira executable")
        return 2
    print("stability datasets, seed %d, %d datasets from case %d, tool %s"
          % (opts.seed, opts.stability_datasets, opts.first, tool))
    wrong = run_stability_dataset_cases(tool, opts.stability_datasets, opts.seed, opts.first,
                                        opts.keep_dir, opts.show)
    print("stability datasets, seed %d: %d passed, %d failed"
          % (opts.seed, opts.stability_datasets - wrong, wrong))
    return 1 if wrong else 0


def check_benchmark_counts(opts):
    """The --benchmark-counts run: the detection commands under --rules mot
    against the tracking model's CLEAR counts."""
    try:
        from .benchmark_counts import run_benchmark_cases
    except ImportError as exc:
        print("the tracking model needs numpy and scipy (%s)" % exc)
        return 2
    tool = os.path.abspath(opts.tool) if opts.tool else None
    if tool is None or not os.access(tool, os.X_OK):
        print("--benchmark-counts needs --tool, an executable talmira")
        return 2
    wrong = run_benchmark_cases(tool, opts.benchmark_counts, opts.seed, opts.first,
                                opts.keep_dir, opts.show)
    print("benchmark counts, seed %d: %d passed, %d failed"
          % (opts.seed, opts.benchmark_counts - wrong, wrong))
    return 1 if wrong else 0


def check_tracking_kitti(opts):
    """The --tracking-kitti run: the KITTI model on its worked sequence,
    and the tool against the model on random sequences."""
    try:
        from .tracking_kitti import check_shipped_example, check_worked_case, run_kitti_cases
    except ImportError as exc:
        print("the tracking model needs numpy and scipy (%s)" % exc)
        return 2
    if opts.tool is None or not os.access(opts.tool, os.X_OK):
        print("--tracking-kitti needs --tool, an executable talmira")
        return 2
    tool = os.path.abspath(opts.tool)
    with tempfile.TemporaryDirectory(prefix="crosscheck-kitti-worked-") as tmp:
        problems = check_worked_case(tool, tmp)
    for line in problems[:40]:
        print("  " + line)
    print("KITTI worked sequence: %s" % ("differs" if problems else "as worked out by hand"))
    # tools/crosscheck/driver.py: the repository is two folders up.
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    shipped = check_shipped_example(tool, root)
    for line in shipped[:20]:
        print("  " + line)
    print("KITTI example: %s" % ("differs" if shipped else "the model's figures"))
    problems += shipped
    wrong = run_kitti_cases(tool, opts.tracking_kitti, opts.seed, opts.keep_dir)
    print("KITTI tracking, seed %d: %d passed, %d failed"
          % (opts.seed, opts.tracking_kitti - wrong, wrong))
    return 1 if problems or wrong else 0


def check_tracking(opts):
    """The --tracking and --tracking-conformance runs: the tracking model,
    which needs numpy and scipy, and the tool when given."""
    try:
        from .tracking_check import check_conformance, check_worked_cases, corpus_missing
        from .tracking_check import run_tracking_cases
    except ImportError as exc:
        print("the tracking model needs numpy and scipy (%s): run it with the Python that "
              "has them (Debian's python3-numpy and python3-scipy)" % exc)
        return 2
    tool = None
    if opts.tool is not None:
        tool = os.path.abspath(opts.tool)
        if not os.access(tool, os.X_OK):
            print("tool not found or not executable: %s" % tool)
            return 2
    failed = 0
    if opts.tracking_conformance:
        missing = corpus_missing(opts.tracking_conformance)
        if missing:
            # The corpus lives beside the repository in CI, not in a clone.
            print("the conformance corpus is not here (%s)" % ", ".join(missing[:3]))
            if os.environ.get("CI"):
                print("CI must have it: failing")
                return 1
            print("skipped")
            return 77
        problems = check_conformance(opts.tracking_conformance, tool)
        for line in problems[:40]:
            print("  " + line)
        print("MOT files of %s: %s" % (opts.tracking_conformance, "differ" if problems
                                       else "the reference evaluators' figures"))
        failed += 1 if problems else 0
    if opts.tracking:
        with tempfile.TemporaryDirectory(prefix="crosscheck-tracking-worked-") as tmp:
            problems = check_worked_cases(tool, tmp)
        for line in problems[:40]:
            print("  " + line)
        print("worked cases: %s" % ("differ" if problems else "as worked out by hand"))
        failed += 1 if problems else 0
        print("tracking, seed %d, %d cases from case %d, %s"
              % (opts.seed, opts.tracking, opts.first,
                 "tool " + tool if tool else "the model alone (no --tool)"))
        wrong = run_tracking_cases(tool, opts.tracking, opts.seed, opts.first, opts.keep_dir,
                                   opts.show, opts.no_shrink)
        print("tracking, seed %d: %d passed, %d failed"
              % (opts.seed, opts.tracking - wrong, wrong))
        failed += wrong
    return 1 if failed else 0
