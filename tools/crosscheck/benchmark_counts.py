"""`talmira score`, `sweep` and `events` under `--rules mot` on MOT files
against the tracking model's CLEAR counts (tracking.py).

Under those rules the detection commands count as the benchmark's
evaluator does: its preprocessing, then CLEAR's assignment frame by frame.
Each random sequence of tracking_generate.py is scored twice: as written
(the tracker's identities tie a frame to the one before) and with every
identity replaced by -1, as a detector's file writes it, which the model
reads as a box a identity (no box continues a track). For each:

* score, at a random -c (or none): GT = CLR_TP + CLR_FN, Det = CLR_TP +
  CLR_FP, FN = CLR_FN, FP = CLR_FP of both rows, the frames the sequence's
  length;
* sweep --exact: every row the model's counts with the tracker's boxes
  below its threshold left out (a score of -1 is always kept);
* events: match rows 2 CLR_TP, miss rows CLR_FN, false_alarm rows CLR_FP.

Every DATASET_SIZE sequences also make a dataset for `batch --rules mot`
(a LIST naming each line's layout, mot or mot15, with and without
identities alternately): each sequence's row the model's counts, the
totals their sums, as the evaluator combines sequences.
"""

import csv
import io
import json
import os
import shutil
import tempfile

from . import tracking
from .floats import f32
from .runner import run_quietly
from .tracking_check import write_case
from .tracking_generate import make_tracking_case

THRESHOLDS = [None, None, "0", "0.3", "0.5", "0.9", "1"]
# batch's -c 0 keeps every box, as no -c does: its thresholds are above 0.
BATCH_THRESHOLDS = [None, "0.3", "0.5", "1"]
DATASET_SIZE = 5


def without_identities(text):
    """The tracker's file with every identity -1, as a detector's file."""
    lines = []
    for line in text.splitlines(True):
        fields = line.split(",")
        if len(fields) > 1:
            fields[1] = "-1"
        lines.append(",".join(fields))
    return "".join(lines)


def model_clear(case, tracker_text, threshold, own_ids):
    """(TP, FN, FP, length) as the evaluator counts them with the tracker's
    boxes below `threshold` (a float32, or None) left out; `own_ids` gives
    each box an identity of its own."""
    gt_rows = tracking.parse_rows(case["gt"], "gt.txt")
    rows = tracking.parse_rows(tracker_text, "tracker.txt")
    length = case["length"] or tracking.last_frame(gt_rows, rows)
    if threshold is not None:
        rows = [(n, v) for n, v in rows if v[6] == -1 or f32(v[6]) >= threshold]
    if own_ids:
        rows = [(n, [v[0], float(k)] + v[2:]) for k, (n, v) in enumerate(rows)]
    sums = tracking.clear(tracking.preprocess(gt_rows, rows, length, case["rules"]))
    return sums.CLR_TP, sums.CLR_FN, sums.CLR_FP, length


def expected_rows(counts):
    tp, fn, fp, length = counts
    return [[str(tp + fn), str(tp + fp), str(fn), str(fp), str(length)]] * 2


def check_case(tool, folder, case_seed, stats):
    """Problems of the tool on one random sequence, both ways."""
    case = make_tracking_case(case_seed)
    fmt = "mot15" if case["layout"] == "mot15" else "mot"
    reading = ["--gt-format", fmt, "--sys-format", fmt, "--rules", "mot"]
    threshold_text = THRESHOLDS[case_seed % len(THRESHOLDS)]
    threshold = None if threshold_text is None else f32(float(threshold_text))
    problems = []
    for own_ids in (False, True):
        how = "without identities" if own_ids else "with identities"
        tracker = without_identities(case["tracker"]) if own_ids else case["tracker"]
        gt_path, tracker_path = write_case(folder, case["gt"], tracker, case["seqinfo"])
        # score
        args = [tool, "score", gt_path, tracker_path, "--format", "csv"] + reading
        if threshold_text is not None:
            args += ["-c", threshold_text]
        scored = run_quietly(args)
        if scored.returncode != 0:
            problems.append("score %s: status %d: %s" % (how, scored.returncode,
                                                        scored.stderr.decode()[:300]))
            continue
        want = expected_rows(model_clear(case, tracker, threshold, own_ids))
        got = [row[1:6] for row in csv.reader(io.StringIO(scored.stdout.decode()))][1:]
        if got != want:
            problems.append("score %s at %s: %s, model %s" % (how, threshold_text, got, want))
        stats["scores"] += 1

        # sweep: each exact row at its threshold
        swept = run_quietly([tool, "sweep", gt_path, tracker_path, "--exact", "--format",
                             "csv"] + reading)
        if swept.returncode != 0:
            problems.append("sweep %s: status %d" % (how, swept.returncode))
        else:
            model = {}
            for row in list(csv.reader(io.StringIO(swept.stdout.decode())))[1:]:
                t = f32(float(row[1]))
                if t not in model:
                    model[t] = expected_rows(model_clear(case, tracker, t, own_ids))[0][:4]
                if row[2:6] != model[t]:
                    problems.append("sweep %s row %s: model %s" % (how, row, model[t]))
                    break
                stats["sweep rows"] += 1

        # events: the rows add up to the counts
        events = run_quietly([tool, "events", gt_path, tracker_path] + reading
                             + ([] if threshold_text is None else ["-c", threshold_text]))
        if events.returncode != 0:
            problems.append("events %s: status %d" % (how, events.returncode))
        else:
            kinds = {}
            for row in list(csv.reader(io.StringIO(events.stdout.decode())))[1:]:
                kinds[row[6]] = kinds.get(row[6], 0) + 1
            tp, fn, fp, _ = model_clear(case, tracker, threshold, own_ids)
            got = (kinds.get("match", 0), kinds.get("miss", 0), kinds.get("false_alarm", 0))
            if got != (2 * tp, fn, fp):
                problems.append("events %s: match, miss, false_alarm rows %s, model %s"
                                % (how, got, (2 * tp, fn, fp)))
            if own_ids and kinds.get("switch", 0):
                problems.append("events without identities: %d switch rows" % kinds["switch"])
            stats["event rows"] += sum(kinds.values())
    return problems


def check_dataset(tool, folder, case_seeds, stats):
    """Problems of `batch --rules mot` on the sequences of `case_seeds`."""
    threshold_text = BATCH_THRESHOLDS[case_seeds[0] % len(BATCH_THRESHOLDS)]
    threshold = None if threshold_text is None else f32(float(threshold_text))
    lines = ["sequence,groundtruth,system,gt_format,sys_format"]
    want = {}
    for k, case_seed in enumerate(case_seeds):
        case = make_tracking_case(case_seed)
        fmt = "mot15" if case["layout"] == "mot15" else "mot"
        own_ids = k % 2 == 1
        tracker = without_identities(case["tracker"]) if own_ids else case["tracker"]
        # A folder of its own, with no seqinfo.ini in the folder above it
        # (the reader would take that one's length).
        gt_path, tracker_path = write_case(os.path.join(folder, "dataset", "seq%d" % k),
                                           case["gt"], tracker, case["seqinfo"])
        lines.append("seq%d,%s,%s,%s,%s" % (k, gt_path, tracker_path, fmt, fmt))
        want["seq%d" % k] = expected_rows(model_clear(case, tracker, threshold, own_ids))[0]
    listed = os.path.join(folder, "dataset", "list.csv")
    with open(listed, "w") as fh:
        fh.write("\n".join(lines) + "\n")
    args = [tool, "batch", listed, "--gt-format", "mot", "--sys-format", "mot", "--rules", "mot",
            "--format", "json"] + ([] if threshold_text is None else ["-c", threshold_text])
    batch = run_quietly(args)
    if batch.returncode != 0:
        return ["batch: status %d: %s" % (batch.returncode, batch.stderr.decode()[:300])]
    report = json.loads(batch.stdout.decode())
    problems = []

    def counts(rows):
        return [[str(r[key]) for key in ("gt", "det", "fn", "fp", "frames")] for r in rows]

    for s in report["sequences"]:
        got = counts(s.get("classes", []))
        if got != [want[s["sequence"]]] * 2:
            problems.append("batch at %s, %s: %s, model %s" % (threshold_text, s["sequence"], got,
                                                             want[s["sequence"]]))
        stats["batch sequences"] += 1
    total = [str(sum(int(row[k]) for row in want.values())) for k in range(5)]
    got = counts(report["total"]["classes"])
    if got != [total] * 2:
        problems.append("batch at %s, totals %s, model %s" % (threshold_text, got, total))
    return problems


def run_benchmark_cases(tool, cases, seed, first=0, keep_dir=None, show=3):
    """Checks `cases` random sequences from case `first`; prints the first
    failing ones, keeps their files and returns how many failed."""
    keep_dir = keep_dir or os.path.join(tempfile.gettempdir(),
                                        "crosscheck-benchmark-failures-%d" % seed)
    failed = 0
    stats = {"scores": 0, "sweep rows": 0, "event rows": 0, "batch sequences": 0}
    with tempfile.TemporaryDirectory(prefix="crosscheck-benchmark-") as tmp:
        for case in range(first, first + cases):
            case_seed = seed * 1000003 + case
            problems = check_case(tool, tmp, case_seed, stats)
            if (case - first) % DATASET_SIZE == DATASET_SIZE - 1:
                # The last DATASET_SIZE sequences, as one dataset.
                problems += check_dataset(tool, tmp, [case_seed - k for k in
                                                      range(DATASET_SIZE - 1, -1, -1)], stats)
            if not problems:
                continue
            failed += 1
            dest = os.path.join(keep_dir, "case-%d" % case)
            shutil.rmtree(dest, ignore_errors=True)
            shutil.copytree(tmp, dest)
            if failed <= show:
                print("=" * 72)
                print("benchmark counts, case %d (seed %d); files of the last run kept in %s"
                      % (case, seed, dest))
                for text in problems[:6]:
                    print("  " + text)
    print("benchmark counts: %s" % json.dumps(stats))
    return failed
