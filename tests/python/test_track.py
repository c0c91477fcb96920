"""talmira.track() against the talmira command (`talmira track --format
json`, and its CSV header, text tables, warnings and error messages) on the
example sequence and the conformance corpus, and against TrackEval's own
figures for the corpus.

Run by CTest (TALMIRA_TOOL names the built `talmira` executable; the corpus
is found through TALMIRA_CONFORMANCE_DIR, or beside the repository).
"""

import json
import os
import pathlib
import subprocess

import pandas as pd
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


def need_tool():
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")


def need_corpus(*paths):
    if not all(os.path.isfile(p) for p in paths):
        message = "the conformance corpus is not at %s" % CONFORMANCE
        if os.environ.get("CI"):
            pytest.fail(message + " (CI must have it)")
        pytest.skip(message)


def command(*args):
    """(status, standard output, standard error) of `talmira track ARGS`."""
    need_tool()
    proc = subprocess.run([TOOL, "track", *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120, text=True)
    return proc.returncode, proc.stdout, proc.stderr


def command_outputs(gt, sys, options):
    """The command's JSON (a dict), CSV header, text tables and warnings."""
    outputs = {}
    for form in ("json", "csv", "text"):
        status, out, err = command(gt, sys, "--format", form, *options)
        assert status == 0, err
        outputs[form] = out
    warnings = [line[len("warning: "):] for line in err.splitlines()
                if line.startswith("warning: ")]
    return (json.loads(outputs["json"]), outputs["csv"].splitlines()[0].split(","),
            outputs["text"], warnings)


def assert_as_command(result, gt, sys, options=()):
    report, header, text, warnings = command_outputs(gt, sys, options)
    assert (result.rules, result.frames, result.length_from, result.confidence) == (
        report["rules"], report["frames"], report["length_from"], report["confidence"])
    assert result.warnings == warnings
    assert result.text == text
    assert list(result.summary.columns) == header
    assert result.summary["class"].tolist() == [c["class"] for c in report["classes"]]
    alphas = report["alphas"]
    assert len(alphas) == 19
    figures = list(result.per_alpha.columns[2:])
    for k, c in enumerate(report["classes"]):
        row = result.summary.iloc[k]
        # Every figure of the command's JSON, and none besides.
        assert set(c["measures"]) == set(header[1:]) | {f + "_per_alpha" for f in figures}
        for name in header[1:]:
            value = c["measures"][name]
            assert row[name] == value, (c["class"], name)
            assert (result.summary[name].dtype == "int64") == isinstance(value, int), name
        rows = result.per_alpha[result.per_alpha["class"] == c["class"]]
        assert rows["alpha"].tolist() == alphas
        for name in figures:
            assert rows[name].tolist() == c["measures"][name + "_per_alpha"], (c["class"], name)
    assert len(result.per_alpha) == 19 * len(report["classes"])
    # Per alpha, the HOTA family's counts are whole numbers.
    assert [n for n in figures if result.per_alpha[n].dtype == "int64"] == [
        "HOTA_TP", "HOTA_FN", "HOTA_FP"]


@pytest.mark.parametrize("pair, options, arguments", [
    (EXAMPLE, {}, []),
    (EXAMPLE, {"rules": "plain", "length": 160, "confidence": 0.5},
     ["--rules", "plain", "--length", "160", "-c", "0.5"]),
    (CORPUS, {}, []),
], ids=["example", "example-options", "corpus"])
def test_as_the_command(pair, options, arguments):
    if pair is CORPUS:
        need_corpus(*pair)
    result = talmira.track(pathlib.Path(pair[0]), pair[1], **options)
    assert_as_command(result, pair[0], pair[1], arguments)


def test_reader_warnings_as_the_command(tmp_path):
    # A box of negative width is read, and said to be suspect.
    lines = open(EXAMPLE[1]).read().splitlines()
    fields = lines[4].split(",")
    fields[4] = "-" + fields[4]
    lines[4] = ",".join(fields)
    sys = tmp_path / "tracker.txt"
    sys.write_text("\n".join(lines) + "\n")
    result = talmira.track(EXAMPLE[0], sys)
    assert len(result.warnings) == 1 and result.warnings[0].startswith("%s:5: " % sys)
    assert_as_command(result, EXAMPLE[0], sys)


def test_corpus_as_trackeval():
    expected_path = os.path.join(CONFORMANCE, "expected", "tracking.json")
    need_corpus(*CORPUS, expected_path)
    with open(expected_path) as f:
        expected = json.load(f)["mot17"]["sequences"]["MOT17-02-FRCNN"]
    result = talmira.track(*CORPUS)
    assert (result.rules, result.frames, result.length_from) == ("mot", 600, "seqinfo.ini")
    assert result.summary["class"].tolist() == ["pedestrian"]
    row = result.summary.iloc[0]
    per_alpha = result.per_alpha

    def same(name, ours, theirs, counts):
        if counts:
            assert ours == theirs and theirs == int(theirs), name
        else:
            assert abs(ours - theirs) <= 1e-12 * abs(theirs), (name, ours, theirs)

    checked = 0
    for name, value in expected.items():
        if name.endswith("_per_alpha"):
            figure = name[:-len("_per_alpha")]
            counts = per_alpha[figure].dtype == "int64"
            assert len(value) == len(per_alpha)
            for ours, theirs in zip(per_alpha[figure].tolist(), value):
                same(name, ours, theirs, counts)
        else:
            same(name, row[name], value, result.summary[name].dtype == "int64")
        checked += 1
    # Every figure TrackEval reports is compared, and each of ours is one of them.
    assert checked == len(expected) == len(result.summary.columns) - 1 + len(per_alpha.columns) - 2


def test_errors_as_the_command(tmp_path):
    gt, sys = EXAMPLE
    missing = str(tmp_path / "missing.txt")
    with pytest.raises(FileNotFoundError) as raised:
        talmira.track(gt, missing)
    assert raised.value.filename == missing
    assert command(gt, missing)[0] == 1
    with pytest.raises(IsADirectoryError):
        talmira.track(str(tmp_path), sys)

    # A malformed line, and a line the benchmark refuses: the command's
    # message, the file and the line.
    lines = open(gt).read().splitlines()
    broken = tmp_path / "gt.txt"
    broken.write_text("\n".join(lines[:6] + ["7,1,1299,x,38,84,1,1,0.5"] + lines[6:]) + "\n")
    refused = tmp_path / "tracker.txt"
    refused.write_text(open(sys).read() + "200,5,10,10,20,40,1,3,-1,-1\n")
    for pair, path, line in (((broken, sys), broken, 7),
                             ((gt, refused), refused, len(open(refused).readlines()))):
        with pytest.raises(talmira.FormatError) as raised:
            talmira.track(*pair, length=200)
        status, _, err = command(*pair, "--length", 200)
        assert status == 1
        error = raised.value
        assert (error.path, error.line) == (str(path), line)
        assert str(error).startswith("%s:%d: " % (path, line))
        assert str(error) in err

    # Options the command refuses as a usage error (status 2), and the same
    # in Python as ValueError.
    for options, arguments in (
            ({"gt_format": "mot18"}, ["--gt-format", "mot18"]),
            ({"sys_format": 17}, None),
            ({"rules": "mot21"}, ["--rules", "mot21"]),
            ({"ids": "number"}, ["--ids", "number"]),
            ({"ids": ""}, ["--ids", ""]),
            ({"gt_format": ""}, ["--gt-format", ""]),
            ({"gt_format": "talmira", "sys_format": "talmira"},
             ["--gt-format", "talmira", "--sys-format", "talmira"]),
            ({"confidence": 1.5}, ["-c", "1.5"]),
            ({"confidence": "half"}, ["-c", "half"]),
            ({"length": 0}, ["--length", "0"]),
            ({"length": 2.5}, ["--length", "2.5"]),
            ({"length": True}, None)):
        with pytest.raises(ValueError) as raised:
            talmira.track(gt, sys, **options)
        assert not isinstance(raised.value, talmira.FormatError), options
        if arguments is not None:
            assert command(gt, sys, *arguments)[0] == 2, arguments
    with pytest.raises(ValueError, match="^rules: "):
        talmira.track(gt, sys, rules="mot21")
    with pytest.raises(TypeError, match="path"):
        talmira.track(pd.DataFrame({"frame": [1]}), sys)
