"""What the tracking checks catch: deliberate mistakes made in a copy of the
model (tracking.py), each held to the corpus' reference figures, to the
hand-worked cases and, on random sequences, to the model itself.

    cd tools && python3 -m crosscheck.tracking_mutants --corpus ../../shared/conformance

A mutant no check catches is a rule the checks do not pin down.
"""

import argparse
import contextlib
import io
import json
import os
import sys
import types

from . import tracking, tracking_check
from .tracking_generate import make_tracking_case

# (name, text of tracking.py, its replacement)
MUTANTS = [
    ("no continuation bonus", "def clear(seq, bonus=CONTINUATION_BONUS,",
     "def clear(seq, bonus=0,"),
    ("MT at r >= 0.8", "np.greater(ratio, mostly_tracked)",
     "np.greater_equal(ratio, mostly_tracked)"),
    ("HOTA assignment per alpha", "def hota(seq, per_alpha_assignment=False)",
     "def hota(seq, per_alpha_assignment=True)"),
    ("CLEAR threshold without eps", "score[similarity < THRESHOLD - EPS] = 0",
     "score[similarity < THRESHOLD] = 0"),
    ("HOTA alpha without eps", "ok = s[rows, cols] >= alpha - EPS",
     "ok = s[rows, cols] >= alpha"),
    ("Identity threshold with eps", "np.greater_equal(iou, THRESHOLD)",
     "np.greater_equal(iou, THRESHOLD - EPS)"),
    ("count-first CLEAR assignment", "        rows, cols = linear_sum_assignment(-score)\n"
     "        keep = score[rows, cols] > 0 + EPS",
     "        score = np.where(score > 0, score + 1e6, 0)\n"
     "        rows, cols = linear_sum_assignment(-score)\n"
     "        keep = score[rows, cols] > 0 + EPS"),
    ("continuity broken by a frame without tracker boxes",
     "            res.CLR_FN += len(gt_ids)\n            present[gt_ids] += 1\n",
     "            res.CLR_FN += len(gt_ids)\n            present[gt_ids] += 1\n"
     "            prev_ts[:] = np.nan\n"),
    ("switch counted against the frame before", "before = prev_id[matched_gt]",
     "before = prev_ts[matched_gt]"),
    ("Frag counts every start", "np.subtract(starts[starts > 0], 1)", "starts[starts > 0]"),
    ("AssA as C^2 / d", "res.AssA[a] = np.sum(c * ass_a)",
     "res.AssA[a] = np.sum(c ** 2 / np.maximum(1, gt_count + tracker_count - c))"),
    ("LocA summed pairwise", "res.LocA[a] += sum(s[r, c])", "res.LocA[a] += np.sum(s[r, c])"),
    ("MOTP_sum summed pairwise", "res.MOTP_sum += sum(similarity[rows, cols])",
     "res.MOTP_sum += np.sum(similarity[rows, cols])"),
    ("headline means summed in order", "out[name] = float(np.mean(values))",
     "out[name] = float(sum(values) / len(values))"),
    ("alphas from linspace", "ALPHAS = np.array([0.05 + k * 0.05 for k in range(19)])",
     "ALPHAS = np.linspace(0.05, 0.95, 19)"),
    ("alignment share without eps", "mask = denominator > 0 + EPS", "mask = denominator > 0"),
    ("areas from width * height", "    a[:, 2] = a[:, 0] + a[:, 2]\n",
     "    area_a_wh = a[:, 2] * a[:, 3]\n    a[:, 2] = a[:, 0] + a[:, 2]\n"),
    ("ids relabelled in descending order",
     "frames = [Frame(np.searchsorted(gt_values, g), np.searchsorted(tracker_values, h), s)",
     "frames = [Frame(len(gt_values) - 1 - np.searchsorted(gt_values, g), "
     "len(tracker_values) - 1 - np.searchsorted(tracker_values, h), s)"),
    ("no distractor removal", "remove = cols[np.isin(classes[rows], DISTRACTOR_CLASSES[rules])]",
     "remove = cols[:0]"),
    ("distractor pairs without the 0.5 threshold",
     "scores[scores < THRESHOLD - EPS] = 0\n", "\n"),
    ("MOT17 removes class 6 too", '"mot17": (2, 7, 8, 12)', '"mot17": (2, 6, 7, 8, 12)'),
    ("ground truth kept whatever its class", "keep_gt = (consider != 0) & (classes == PEDESTRIAN)",
     "keep_gt = consider != 0"),
    ("no shortcut for an empty side", "    if res.shortcut:\n", "    if False:\n"),
    ("LocA combined unweighted",
     "h.LocA = np.maximum(1e-10, weighted) / np.maximum(1e-10, h.TP)",
     "h.LocA = sum(r.hota.LocA for r in results) / len(results)"),
    ("AssA combined unweighted",
     "setattr(h, field, sum(getattr(r.hota, field) * r.hota.TP for r in results)\n"
     "                / np.maximum(1.0, h.TP))",
     "setattr(h, field, sum(getattr(r.hota, field) for r in results) / len(results))"),
]
# The width * height mutant also needs its areas used.
AREA_USE = ("area_a = (a[:, 2] - a[:, 0]) * (a[:, 3] - a[:, 1])", "area_a = area_a_wh")


def mutant_module(old, new, extra=None):
    with open(tracking.__file__, encoding="utf-8") as source:
        text = source.read()
    if text.count(old) != 1:
        raise ValueError("the mutation's text is not once in tracking.py: %r" % old)
    text = text.replace(old, new)
    if extra:
        text = text.replace(*extra)
    module = types.ModuleType("crosscheck.tracking")
    module.__file__ = tracking.__file__
    exec(compile(text, tracking.__file__, "exec"), module.__dict__)
    return module


def _figures(model, case):
    rows = (model.parse_rows(case["gt"]), model.parse_rows(case["tracker"]))
    length = case["length"] or model.last_frame(*rows)
    return model.evaluate(model.preprocess(*rows, length, case["rules"])).measures()


def random_differences(module, cases, seed):
    """(cases where the mutant's figures fail against the model's, cases
    where some value is not bit-equal)."""
    failing = differing = 0
    for idx in range(cases):
        case = make_tracking_case(seed * 1000003 + idx)
        tally = tracking_check.Tally()
        tracking_check.compare_measures(_figures(module, case), _figures(tracking, case), tally,
                                        fields=tracking.ALL_FIELDS)
        failing += tally.failing > 0
        differing += tally.bit_equal < tally.values
    return failing, differing


def corpus_differences(module, corpus):
    """The Tally of the mutant against the reference figures, sequences and
    COMBINED."""
    with open(os.path.join(corpus, "expected", "tracking.json"), encoding="utf-8") as source:
        expected = json.load(source)
    tally = tracking_check.Tally()
    results = {}
    for benchmark, name, gt_path, tracker_path, rules, _ in tracking_check.corpus_sequences(
            corpus):
        result = module.evaluate(module.load_sequence(gt_path, tracker_path, rules))
        results.setdefault(benchmark, []).append(result)
        tracking_check.compare_measures(result.measures(),
                                        expected[benchmark]["sequences"][name], tally)
    for benchmark, sequence_results in results.items():
        tracking_check.compare_measures(module.combine(sequence_results).measures(),
                                        expected[benchmark]["sequences"]["COMBINED"], tally)
    return tally


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--cases", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    opts = ap.parse_args()
    print("per mutant: corpus values failing / not bit-equal (of 1626), hand-worked figures "
          "failing, random cases failing / not bit-equal against the model (of %d)"
          % opts.cases)
    uncaught = 0
    for name, old, new in MUTANTS:
        module = mutant_module(old, new, AREA_USE if "width * height" in name else None)
        corpus = corpus_differences(module, opts.corpus)
        tracking_check.tracking = module
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                worked = tracking_check.check_worked_cases()
        finally:
            tracking_check.tracking = tracking
        failing, differing = random_differences(module, opts.cases, opts.seed)
        caught = corpus.failing or worked or failing
        uncaught += not caught
        print("%-50s corpus %4d / %4d, worked %2d, random %3d / %3d%s" % (
            name, corpus.failing, corpus.values - corpus.bit_equal, len(worked), failing,
            differing, "" if caught else "   not caught"))
    print("%d mutants, %d not caught beyond 1e-12" % (len(MUTANTS), uncaught))
    return 1 if uncaught else 0


if __name__ == "__main__":
    sys.exit(main())
