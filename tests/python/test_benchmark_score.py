"""talmira.score(rules="mot") on MOT files against `talmira score --rules
mot`: the benchmark's CLEAR counts, on the example sequence and on the
conformance corpus's MOT17-02, with and without a confidence, and the same
refusals.

Run by CTest (TALMIRA_TOOL names the built `talmira` executable; the corpus
is found through TALMIRA_CONFORMANCE_DIR, or beside the repository).
"""

import csv
import io
import os
import subprocess

import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.environ.get("TALMIRA_TOOL")
CONFORMANCE = os.environ.get("TALMIRA_CONFORMANCE_DIR") or os.path.join(
    ROOT, "..", "shared", "conformance")
EXAMPLE = (os.path.join(ROOT, "examples", "tracking", "SEQ-01", "gt", "gt.txt"),
           os.path.join(ROOT, "examples", "tracking", "tracker", "SEQ-01.txt"))
CORPUS = (os.path.join(CONFORMANCE, "mot17", "MOT17-02-FRCNN", "gt.txt"),
          os.path.join(CONFORMANCE, "mot17", "MOT17-02-FRCNN", "MPNTrack.txt"))


def command(*args):
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")
    proc = subprocess.run([TOOL, "score", *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=300, text=True)
    return proc.returncode, proc.stdout, proc.stderr


def pair(name):
    if name == "corpus" and not all(os.path.isfile(p) for p in CORPUS):
        message = "the conformance corpus is not at %s" % CONFORMANCE
        if os.environ.get("CI"):
            pytest.fail(message + " (CI must have it)")
        pytest.skip(message)
    return EXAMPLE if name == "example" else CORPUS


@pytest.mark.parametrize("name", ["example", "corpus"])
@pytest.mark.parametrize("confidence", [None, 0.5, 1.0])
def test_counts_as_the_command(name, confidence):
    gt, sys = pair(name)
    options = ["--gt-format", "mot", "--sys-format", "mot", "--rules", "mot"]
    if confidence is not None:
        options += ["-c", str(confidence)]
    status, out, err = command(gt, sys, "--format", "csv", *options)
    assert status == 0, err
    expected = list(csv.DictReader(io.StringIO(out)))
    result = talmira.score(gt, sys, confidence or 0.0, format="mot", rules="mot")
    assert [r["class"] for r in result.rows] == [r["class"] for r in expected]
    for got, want in zip(result.rows, expected):
        assert [got[k] for k in ("gt", "det", "fn", "fp", "frames")] == \
            [int(want[k]) for k in ("gt", "det", "fn", "fp", "frames")]
        assert "%.6f" % got["nmodta"] == want["nmodta"]
    # The benchmark's counts, not this format's matching under MOT's values.
    plain = talmira.score(gt, sys, confidence or 0.0, format="mot", overlap="iou", min_overlap=0.5,
                          min_side=0)
    assert plain.rows[0]["frames"] != result.rows[0]["frames"] or \
        plain.rows[0]["fp"] != result.rows[0]["fp"] or len(plain.rows) != len(result.rows)
    if name == "corpus" and confidence is None:
        # The evaluator's CLR_FN and CLR_FP for this tracker (docs/rules.md).
        assert (result.rows[0]["fn"], result.rows[0]["fp"]) == (9635, 133)


def test_refusals_as_the_command():
    for kwargs, options in ((dict(format="mot", min_overlap=0.3), ["--gt-format", "mot",
                             "--sys-format", "mot", "--min-overlap", "0.3"]),
                            (dict(gt_format="mot"), ["--gt-format", "mot"])):
        with pytest.raises(ValueError) as caught:
            talmira.score(*EXAMPLE, rules="mot", **kwargs)
        status, _, err = command(*EXAMPLE, "--rules", "mot", *options)
        assert status == 2 and str(caught.value) in err
    bad = os.path.join(os.path.dirname(EXAMPLE[0]), "absent.txt")
    with pytest.raises(FileNotFoundError):
        talmira.score(bad, EXAMPLE[1], format="mot", rules="mot")
