"""--rules mot on the conformance corpus's MOT files: `talmira batch` against
the tracking evaluator's CLEAR counts (each sequence and COMBINED), and every
Python function under rules="mot" against its command's output, with the
same refusals.

Run by CTest (TALMIRA_TOOL names the built `talmira` executable; the corpus
is found through TALMIRA_CONFORMANCE_DIR, or beside the repository). Skipped
with a message where the corpus is absent, failed then under CI=1.
"""

import csv
import io
import json
import math
import os
import subprocess

import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.environ.get("TALMIRA_TOOL")
CONFORMANCE = os.environ.get("TALMIRA_CONFORMANCE_DIR") or os.path.join(
    ROOT, "..", "shared", "conformance")
MOT17 = ("MOT17-02-FRCNN", "MOT17-05-FRCNN", "MOT17-09-FRCNN")
MOT = ["--gt-format", "mot", "--sys-format", "mot", "--rules", "mot"]


def corpus():
    expected = os.path.join(CONFORMANCE, "expected", "tracking.json")
    files = [expected] + [os.path.join(CONFORMANCE, "mot17", s, f) for s in MOT17
                          for f in ("gt.txt", "MPNTrack.txt", "seqinfo.ini")]
    if not all(os.path.isfile(f) for f in files):
        message = "the conformance corpus is not at %s" % CONFORMANCE
        if os.environ.get("CI"):
            pytest.fail(message + " (CI must have it)")
        pytest.skip(message)
    with open(expected) as fh:
        return json.load(fh)["mot17"]["sequences"]


def sequence(name):
    folder = os.path.join(CONFORMANCE, "mot17", name)
    return os.path.join(folder, "gt.txt"), os.path.join(folder, "MPNTrack.txt")


def run(*args):
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")
    proc = subprocess.run([TOOL, *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=600, text=True)
    return proc.returncode, proc.stdout, proc.stderr


def ok(*args):
    status, out, err = run(*args)
    assert status == 0, err
    return out


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """A LIST of the three MOT17 sequences, and a second tracker for
    compare: the first one without every third box (generated here, not
    kept)."""
    corpus()
    folder = tmp_path_factory.mktemp("mot17")
    rows, compared = ["sequence,groundtruth,system"], ["sequence,groundtruth,system_a,system_b"]
    for name in MOT17:
        gt, sys = sequence(name)
        thinner = folder / (name + "-thinner.txt")
        with open(sys) as fh:
            thinner.write_text("".join(line for k, line in enumerate(fh) if k % 3 != 2))
        rows.append("%s,%s,%s" % (name, gt, sys))
        compared.append("%s,%s,%s,%s" % (name, gt, sys, thinner))
    (folder / "list.csv").write_text("\n".join(rows) + "\n")
    (folder / "compare.csv").write_text("\n".join(compared) + "\n")
    return folder


def test_batch_counts_as_the_evaluator_combines(dataset):
    expected = corpus()
    report = json.loads(ok("batch", dataset / "list.csv", *MOT, "--format", "json"))
    assert report["benchmark"] == "mot"

    def clear(row):
        return row["gt"] - row["fn"], row["fn"], row["fp"], row["frames"]

    def want(name):
        e = expected[name]
        return tuple(int(e[k]) for k in ("CLR_TP", "CLR_FN", "CLR_FP", "CLR_Frames"))

    by_name = {s["sequence"]: s for s in report["sequences"]}
    for name in MOT17:
        rows = {c["class"]: c for c in by_name[name]["classes"]}
        assert set(rows) == {"All", "pedestrian"}
        assert clear(rows["All"]) == clear(rows["pedestrian"]) == want(name), name
    pooled = {c["class"]: c for c in report["total"]["classes"]}
    assert clear(pooled["All"]) == want("COMBINED")
    # compare --dataset already gives the evaluator's COMBINED: the two agree.
    compared = json.loads(ok("compare", "--dataset", dataset / "compare.csv", *MOT,
                             "--format", "json", "--resamples", "10"))
    all_row = next(c for c in compared["classes"] if c["class"] == "All")
    assert (all_row["fn_a"], all_row["fp_a"]) == (pooled["All"]["fn"], pooled["All"]["fp"])
    # Shards merged are the single run.
    parts = []
    for shard in ("1/2", "2/2"):
        part = dataset / ("part%s.json" % shard[0])
        ok("batch", dataset / "list.csv", *MOT, "--shard", shard, "-o", part)
        parts.append(part)
    assert ok("merge", *parts) == ok("batch", dataset / "list.csv", *MOT)
    # A part of the same values by this format's matching is of another run.
    other = dataset / "other.json"
    ok("batch", dataset / "list.csv", "--gt-format", "mot", "--sys-format", "mot", "--overlap",
       "iou", "--min-overlap", "0.5", "--min-side", "0", "--shard", "2/2", "-o", other)
    status, _, err = run("merge", parts[0], other)
    assert status == 1 and "is a part of another run" in err
    assert "counted as the benchmark's evaluator counts" in err
    text = ok("batch", dataset / "list.csv", *MOT)
    assert "counted as the benchmark's evaluator counts" in text


def test_batch_folders_in_the_benchmarks_layout(dataset, tmp_path):
    """--gt-dir in MOTChallenge's layout (SEQ/gt/gt.txt, seqinfo.ini beside gt/)."""
    corpus()
    truth, trackers = tmp_path / "train", tmp_path / "trackers"
    trackers.mkdir()
    for name in MOT17:
        gt, sys = sequence(name)
        (truth / name / "gt").mkdir(parents=True)
        os.symlink(gt, truth / name / "gt" / "gt.txt")
        os.symlink(os.path.join(os.path.dirname(gt), "seqinfo.ini"), truth / name / "seqinfo.ini")
        os.symlink(sys, trackers / (name + ".txt"))
    folders = json.loads(ok("batch", "--gt-dir", truth, "--sys-dir", trackers, *MOT,
                            "--format", "json"))
    listed = json.loads(ok("batch", dataset / "list.csv", *MOT, "--format", "json"))
    assert folders["total"] == listed["total"]


@pytest.mark.parametrize("extra, words", [
    (["--min-overlap", "0.3"], "its values are not to be changed"),
    (["--classes", os.path.join(ROOT, "examples", "groundtruth.csv")], "--classes does not go"),
    (["--explain"], "--explain under --rules mot on MOT files is not available"),
])
def test_batch_refusals(dataset, extra, words):
    status, _, err = run("batch", dataset / "list.csv", *MOT, *extra)
    assert status == 2 and words in err
    one_side = run("batch", dataset / "list.csv", "--gt-format", "mot", "--rules", "mot")
    assert one_side[0] == 2 and "needs both in a MOT layout" in one_side[2]


def test_batch_refusals_in_python(dataset):
    for kwargs in (dict(format="mot", min_overlap=0.3), dict(gt_format="mot")):
        with pytest.raises(ValueError) as caught:
            talmira.batch(str(dataset / "list.csv"), rules="mot", **kwargs)
        options = ["--gt-format", "mot", "--rules", "mot"]
        if "format" in kwargs:
            options += ["--sys-format", "mot", "--min-overlap", "0.3"]
        status, _, err = run("batch", dataset / "list.csv", *options)
        assert status == 2 and str(caught.value) in err


def test_compare_length(dataset):
    gt, sys = sequence("MOT17-02-FRCNN")
    thinner = dataset / "MOT17-02-FRCNN-thinner.txt"
    at = json.loads(ok("compare", gt, sys, thinner, *MOT, "--length", 700, "--format", "json",
                       "--resamples", "10"))
    assert at["frames"] == 700 and at["benchmark"]["frames"] == 700
    assert at["benchmark"]["length_from"] != "seqinfo.ini"
    whole = json.loads(ok("compare", gt, sys, thinner, *MOT, "--format", "json",
                          "--resamples", "10"))
    assert whole["frames"] == 600
    # The counts are score --length's; the frames past the files' count nothing.
    score = list(csv.DictReader(io.StringIO(ok("score", gt, sys, *MOT, "--length", 700,
                                               "--format", "csv"))))
    all_a = next(c for c in at["classes"] if c["class"] == "All")
    assert (all_a["gt"], all_a["fn_a"], all_a["fp_a"]) == \
        (int(score[0]["gt"]), int(score[0]["fn"]), int(score[0]["fp"]))
    assert int(score[0]["frames"]) == 700
    # Shorter than the files: refused with the frame, as score refuses it.
    status, _, err = run("compare", gt, sys, thinner, *MOT, "--length", 300)
    assert status == 1 and "frame 301 is outside the sequence's frames 1 to 300" in err
    for args, words in (([gt, sys, thinner, "--length", 300], "--length goes with --rules mot"),
                        (["--dataset", dataset / "compare.csv", *MOT, "--length", 300],
                         "--length is for one sequence")):
        status, _, err = run("compare", *args)
        assert status == 2 and words in err, err


def _frame_rows(frame):
    """A DataFrame's rows as the command's CSV writes them, for comparing."""
    rows = []
    for record in frame.astype(object).where(frame.notna(), None).to_dict("records"):
        rows.append({k: "" if v is None else v for k, v in record.items()})
    return rows


def _csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def _same_events(frame, text):
    want = _csv_rows(text)
    got = _frame_rows(frame)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        for key, value in w.items():
            if key in ("gt_frame_line", "cause"):
                continue
            if key in ("confidence", "overlap"):
                if value == "":
                    assert g[key] == "" or math.isnan(g[key])
                else:
                    assert float(g[key]) == pytest.approx(float(value), abs=1e-6), key
            else:
                assert str(g[key]) == value, key


@pytest.mark.parametrize("function", ["score", "sweep", "events", "explain", "compare",
                                      "compare_dataset", "batch", "batch_sweep",
                                      "score_sequence"])
@pytest.mark.parametrize("confidence", [None, 0.5])
def test_python_counts_as_the_command(dataset, function, confidence):
    gt, sys = sequence("MOT17-02-FRCNN")
    thinner = str(dataset / "MOT17-02-FRCNN-thinner.txt")
    options = list(MOT) + (["-c", str(confidence)] if confidence is not None else [])
    kwargs = dict(format="mot", rules="mot")
    c = confidence or 0.0
    if function == "score":
        want = _csv_rows(ok("score", gt, sys, *options, "--format", "csv"))
        got = talmira.score(gt, sys, c, **kwargs).rows
        assert [(r["class"], r["gt"], r["det"], r["fn"], r["fp"], r["frames"]) for r in got] == \
            [(w["class"], *(int(w[k]) for k in ("gt", "det", "fn", "fp", "frames")))
             for w in want]
    elif function == "sweep":
        if confidence is not None:
            pytest.skip("sweep has no confidence")
        want = json.loads(ok("sweep", gt, sys, *options, "--exact", "--format", "json"))
        got = talmira.sweep(gt, sys, exact=True, **kwargs)
        rows = [(r["class"], r["threshold"], r["gt"], r["det"], r["fn"], r["fp"])
                for r in got.curves.to_dict("records")]
        assert rows == [(c_["class"], p["threshold"], p["gt"], p["det"], p["fn"], p["fp"])
                        for c_ in want["classes"] for p in c_["curve"]]
        assert list(got.best["fn"]) == [c_["best"]["fn"] for c_ in want["classes"]]
        assert list(got.best["ap"]) == pytest.approx([c_["ap"] for c_ in want["classes"]])
    elif function == "events":
        _same_events(talmira.events(gt, sys, c, "pedestrian", **kwargs),
                     ok("events", gt, sys, *options, "--class", "pedestrian"))
    elif function == "explain":
        want = json.loads(ok("explain", gt, sys, *options, "--format", "json"))
        got = talmira.explain(gt, sys, c, **kwargs)
        assert got.to_dict() == want
        assert repr(got) == ok("explain", gt, sys, *options)
    elif function == "compare":
        want = json.loads(ok("compare", gt, sys, thinner, *options, "--format", "json",
                             "--resamples", "200"))
        got = talmira.compare(gt, sys, thinner, confidence=confidence, resamples=200, **kwargs)
        assert got.to_dict() == want
    elif function == "compare_dataset":
        want = json.loads(ok("compare", "--dataset", dataset / "compare.csv", *options,
                             "--format", "json", "--resamples", "200"))
        got = talmira.compare(dataset=str(dataset / "compare.csv"), confidence=confidence,
                              resamples=200, **kwargs)
        assert got.to_dict() == want
    elif function == "batch_sweep":
        want = ok("batch", dataset / "list.csv", *options, "--sweep", "--exact", "--format",
                  "json")
        got = talmira.batch(str(dataset / "list.csv"), c, sweep=True, exact=True, jobs=2, **kwargs)
        assert json.loads(got.render("json")) == json.loads(want)
    else:
        want = ok("batch", dataset / "list.csv", *options, "--format", "json")
        if function == "batch":
            got = talmira.batch(str(dataset / "list.csv"), c, jobs=2, **kwargs)
        else:
            got = talmira.pool([talmira.score_sequence(s, c, **kwargs)
                                for s in talmira.dataset_sequences(str(dataset / "list.csv"))])
        assert json.loads(got.render("json")) == json.loads(want)


def test_python_refusals_as_the_command(dataset):
    gt, sys = sequence("MOT17-02-FRCNN")
    thinner = str(dataset / "MOT17-02-FRCNN-thinner.txt")
    cases = (
        (lambda: talmira.events(gt, sys, near=0.3, format="mot", rules="mot"),
         ["events", gt, sys, *MOT, "--near", "0.3"]),
        (lambda: talmira.explain(gt, sys, near=0.3, format="mot", rules="mot"),
         ["explain", gt, sys, *MOT, "--near", "0.3"]),
        (lambda: talmira.compare(gt, sys, thinner, best=True, format="mot", rules="mot"),
         ["compare", gt, sys, thinner, *MOT, "--best"]),
        (lambda: talmira.sweep(gt, sys, format="mot", rules="mot", min_side=4),
         ["sweep", gt, sys, *MOT, "--min-side", "4"]),
        (lambda: talmira.compare(dataset=str(dataset / "compare.csv"), gt_format="mot",
                                 rules="mot"),
         ["compare", "--dataset", dataset / "compare.csv", "--gt-format", "mot", "--rules",
          "mot"]),
    )
    for call, args in cases:
        with pytest.raises(ValueError) as caught:
            call()
        status, _, err = run(*args)
        assert status == 2 and str(caught.value) in err, (str(caught.value), err)


def test_check_fails_where_score_fails(tmp_path):
    """check(rules="mot") raises where score(rules="mot") does, with the
    command's message, on files this format's reader alone takes; files both
    read give the report of the set's values."""
    truth = tmp_path / "gt.txt"
    truth.write_text("1,1,10,10,20,20,1,1,1\n1,2,50,50,20,20,1,1,1\n2,1,12,10,20,20,1,1,1\n")
    tracker = tmp_path / "tracker.txt"
    tracker.write_text("1,7,10,10,20,20,0.9,-1,-1,-1\n2,7,12,10,20,20,0.8,-1,-1,-1\n")
    twice = tmp_path / "twice.txt"
    twice.write_text("1,7,10,10,20,20,0.9,-1,-1,-1\n1,7,50,50,20,20,0.8,-1,-1,-1\n")
    truth_twice = tmp_path / "gt-twice.txt"
    truth_twice.write_text("1,1,10,10,20,20,1,1,1\n1,1,50,50,20,20,1,1,1\n")
    for gt, sys in ((truth, twice), (truth_twice, tracker), (truth_twice, None)):
        with pytest.raises(talmira.FormatError) as scored:
            talmira.score(str(gt), str(sys or gt), format="mot", rules="mot")
        args = [str(gt)] + ([str(sys)] if sys else [])
        with pytest.raises(talmira.FormatError) as checked:
            if sys is None:
                talmira.check(str(gt), gt_format="mot", rules="mot")
            else:
                talmira.check(str(gt), str(sys), format="mot", rules="mot")
        assert str(checked.value) == str(scored.value)
        assert checked.value.path == scored.value.path
        assert checked.value.line == scored.value.line
        # without the rules, this format's reader takes them
        talmira.check(*args, format="mot")
        if TOOL:
            status, _, err = run("check", *args, "--gt-format", "mot", "--sys-format", "mot",
                                 "--rules", "mot")
            assert status == 1 and str(checked.value) in err, err
    report = talmira.check(str(truth), str(tracker), format="mot", rules="mot")
    same = talmira.check(str(truth), str(tracker), format="mot", overlap="iou",
                         min_overlap=0.5, min_side=0)
    assert report == same
