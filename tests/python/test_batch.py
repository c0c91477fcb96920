"""talmira.batch(), score_sequence() and pool() against the talmira batch
and merge commands, on a dataset of the cross-check's random file pairs
with a missing and a malformed file among them (so that failed sequences
are part of every run), in this process and on a Dask cluster of two worker
processes.

Run by CTest (TALMIRA_TOOL names the built `talmira` executable); .ci/run
runs the same tests against the module installed by pip.
"""

import json
import os
import pickle
import random
import subprocess
import sys
import warnings

import pandas as pd
import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import crosscheck  # noqa: E402  (the cross-check's generator of file pairs)

TOOL = os.environ.get("TALMIRA_TOOL")
SEED = 11
SEQUENCES = 40
EXAMPLES = os.path.join(ROOT, "examples")
# The settings each comparison runs with: (confidence, sweep, grid, exact).
SETTINGS = [(0.0, False, 100, False), (0.5, False, 100, False), (0.25, True, 100, False),
            (0.0, True, 7, False), (0.0, True, 100, True)]


def need_tool():
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")


def run_tool(*args, cwd=None):
    proc = subprocess.run([TOOL, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120, cwd=cwd)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def command_options(confidence, sweep, grid, exact):
    options = ["-c", repr(confidence)]
    if sweep:
        options += ["--sweep"] + (["--exact"] if exact else ["--grid", str(grid)])
    return options


def batch_quietly(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return talmira.batch(*args, **kwargs)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """A LIST of random pairs in subfolders (paths relative to the LIST),
    names that CSV must quote, the example pair, a missing file and a
    malformed one. Returns (folder, LIST path)."""
    folder = tmp_path_factory.mktemp("dataset")
    (folder / "gt").mkdir()
    (folder / "det").mkdir()
    rows = []
    rng = random.Random(SEED)
    index = 0
    while len(rows) < SEQUENCES:
        gt, sysout, _ = crosscheck.make_case(SEED * 1000003 + index)
        index += 1
        if gt is None or sysout is None:
            continue
        (folder / "gt" / ("%d.csv" % index)).write_bytes(gt)
        (folder / "det" / ("%d.csv" % index)).write_bytes(sysout)
        name = rng.choice(["seq %d", "cam, %d", "\"quoted\" %d", "s%d"]) % index
        rows.append((name, "gt/%d.csv" % index, "det/%d.csv" % index))
    with open(os.path.join(EXAMPLES, "systemoutput.csv"), "rb") as fh:
        lines = fh.read().split(b"\n")
    (folder / "det" / "bad.csv").write_bytes(b"\n".join(lines[:5] + [b"1,2,3"] + lines[5:]))
    rows.insert(3, ("street", os.path.join(EXAMPLES, "groundtruth.csv"),
                    os.path.join(EXAMPLES, "systemoutput.csv")))
    rows.insert(7, ("lost", "gt/1.csv", "det/nowhere.csv"))
    rows.insert(12, ("broken", os.path.join(EXAMPLES, "groundtruth.csv"), "det/bad.csv"))
    text = "sequence,groundtruth,system\n" + "".join(
        ",".join(f if not any(c in f for c in ',"') else '"%s"' % f.replace('"', '""')
                 for f in row) + "\n" for row in rows)
    (folder / "list.csv").write_text(text)
    return str(folder), str(folder / "list.csv")


@pytest.mark.parametrize("confidence,sweep,grid,exact", SETTINGS)
def test_batch_gives_the_commands_output_and_tables(dataset, confidence, sweep, grid, exact):
    need_tool()
    _, list_path = dataset
    options = command_options(confidence, sweep, grid, exact)
    with pytest.warns(UserWarning) as reported:
        result = talmira.batch(list_path, confidence, sweep=sweep, grid=grid, exact=exact, jobs=2)
    outputs = {}
    for form in ("text", "csv", "json"):
        status, out, err = run_tool("batch", list_path, *options, "--format", form)
        assert status == 1  # the missing and the malformed sequence
        assert result.render(form) == out, form
        outputs[form] = out
    # The command's last word on the failures, from Python as a warning.
    assert [str(w.message) for w in reported] == [
        err.splitlines()[-1].replace("talmira batch:", "talmira.batch:")]

    command = json.loads(outputs["json"])
    failed = [s for s in command["sequences"] if "error" in s]
    assert [s["sequence"] for s in failed] == ["lost", "broken"]
    assert result.failed["sequence"].tolist() == ["lost", "broken"]
    assert result.failed["error"].tolist() == [s["error"] for s in failed]
    scored = [s for s in command["sequences"] if "error" not in s]
    assert len(result.sequences) == 11 * len(scored)
    if not sweep:
        expected = pd.DataFrame(
            [dict(sequence=s["sequence"], **c) for s in scored for c in s["classes"]])
        pd.testing.assert_frame_equal(result.sequences, expected, check_dtype=False)
        pd.testing.assert_frame_equal(result.pooled,
                                      pd.DataFrame(command["total"]["classes"]),
                                      check_dtype=False)
        assert result.best is None and result.curves is None and result.sequence_best is None
        return
    # The pooled curves as the command lists them (its CSV's rows, with the
    # JSON's exact numbers), and the best points.
    curves = pd.DataFrame([dict(row, **{"class": c["class"]}) for c in command["total"]["classes"]
                           for row in c["curve"]])
    pd.testing.assert_frame_equal(result.curves, curves[list(result.curves.columns)],
                                  check_dtype=False)
    assert len(result.curves) == len(outputs["csv"].splitlines()) - 1
    # The average precision of the pooled exact curves, NaN where the JSON has null.
    best = pd.DataFrame([dict(c["best"], **{"class": c["class"], "frames": c["frames"],
                                            "ap": float("nan") if c["ap"] is None else c["ap"]})
                         for c in command["total"]["classes"]])
    pd.testing.assert_frame_equal(result.best, best[list(result.best.columns)], check_dtype=False)
    sequence_best = pd.DataFrame([dict(b, sequence=s["sequence"]) for s in scored
                                  for b in s["best"]])
    pd.testing.assert_frame_equal(result.sequence_best,
                                  sequence_best[list(result.sequence_best.columns)],
                                  check_dtype=False)
    # The pooled counts at the confidence are the (all) rows the same
    # dataset gives without a sweep: read off the pooled curves.
    plain = batch_quietly(list_path, confidence, jobs=2)
    pd.testing.assert_frame_equal(result.pooled, plain.pooled)
    pd.testing.assert_frame_equal(result.sequences, plain.sequences)


def test_the_report_page_and_plot_are_the_commands(dataset, tmp_path):
    need_tool()
    _, list_path = dataset
    html, svg = str(tmp_path / "page.html"), str(tmp_path / "plot.svg")
    run_tool("batch", list_path, "--sweep", "--grid", "20", "--report", html, "--plot", svg)
    result = batch_quietly(list_path, sweep=True, grid=20)
    with open(html, encoding="utf-8") as fh:
        assert result.render("html") == fh.read()
    with open(svg, encoding="utf-8") as fh:
        assert result.render("svg") == fh.read()
    with pytest.raises(ValueError):
        batch_quietly(list_path).render("svg")
    with pytest.raises(ValueError):
        result.render("xml")


@pytest.mark.parametrize("confidence,sweep,grid,exact", [SETTINGS[1], SETTINGS[4]])
def test_sequences_scored_one_by_one_pool_as_merge_joins_shards(dataset, tmp_path, confidence,
                                                                 sweep, grid, exact):
    need_tool()
    _, list_path = dataset
    whole = batch_quietly(list_path, confidence, sweep=sweep, grid=grid, exact=exact)
    sequences = talmira.dataset_sequences(list_path)
    results = [talmira.score_sequence(s, confidence, sweep=sweep, grid=grid, exact=exact)
               for s in sequences]
    assert [r.name for r in results] == [s.name for s in sequences]
    assert [r.error is not None for r in results].count(True) == 2
    # Each result survives a pickle as plain data, as it must to come back
    # from a worker, and the order they come back in does not matter.
    shuffled = [pickle.loads(pickle.dumps(r)) for r in results]
    random.Random(SEED).shuffle(shuffled)
    with pytest.warns(UserWarning, match=r"^talmira\.pool: 2 of %d sequences failed"
                      % len(sequences)):
        pooled = talmira.pool(shuffled)
    for form in ("text", "csv", "json"):
        assert pooled.render(form) == whole.render(form), form
    # A result is the part of a one-sequence shard: `talmira merge` joins
    # them into the single run's bytes too.
    paths = []
    for r in results:
        paths.append(str(tmp_path / ("seq%d.json" % r.position)))
        with open(paths[-1], "w", encoding="utf-8") as fh:
            fh.write(r.partial)
    status, merged, _ = run_tool("merge", *paths, "--format", "json")
    assert status == 1 and merged == whole.render("json")
    # A scored sequence's rows are those of `talmira score` on its pair.
    street = next(r for r in results if r.name == "street")
    status, out, _ = run_tool("score", street.groundtruth, street.system, "-c", repr(confidence),
                              "--format", "json")
    assert street.to_pandas().to_dict("records") == json.loads(out)["classes"]


def test_pool_refuses_what_merge_refuses(dataset):
    _, list_path = dataset
    sequences = talmira.dataset_sequences(list_path)
    results = [talmira.score_sequence(s, 0.5) for s in sequences]
    with pytest.raises(ValueError, match=r"result 1 and result 0 both hold position 0"):
        talmira.pool([results[0], results[0]] + results[1:])
    with pytest.raises(ValueError, match=r"^2 of %d positions are in no part \(2, 5\); "
                       r"missing shards 3/%d, 6/%d$" % ((len(sequences),) * 3)):
        talmira.pool(results[:2] + results[3:5] + results[6:])
    with pytest.raises(ValueError, match=r"result 1 is a part of another run: .* at confidence "
                       r"0\.25 without --sweep or --explain, where result 0 is of .* at confidence "
                       r"0\.5"):
        talmira.pool([results[0], talmira.score_sequence(sequences[1], 0.25)])
    with pytest.raises(ValueError, match=r"with --sweep --exact"):
        talmira.pool([results[0], talmira.score_sequence(sequences[1], 0.5, sweep=True,
                                                         exact=True)])
    with pytest.raises(ValueError, match="at least one"):
        talmira.pool([])
    with pytest.raises(TypeError):
        talmira.pool([results[0].partial])


def test_whole_results_pickle_and_stay_the_same(dataset):
    _, list_path = dataset
    for sweep in (False, True):
        result = batch_quietly(list_path, 0.5, sweep=sweep)
        copy = pickle.loads(pickle.dumps(result))
        assert copy.partial == result.partial
        assert copy.render("json") == result.render("json")
        pd.testing.assert_frame_equal(copy.pooled, result.pooled)
        # A whole result is the part holding every sequence.
        with pytest.warns(UserWarning):
            assert talmira.pool([copy]).render("csv") == result.render("csv")
    sequence = talmira.dataset_sequences(list_path)[5]
    assert pickle.loads(pickle.dumps(sequence)) == sequence


def test_a_table_of_sequences_is_read_by_the_lists_rules(dataset, tmp_path):
    need_tool()
    folder, list_path = dataset
    sequences = talmira.dataset_sequences(list_path)
    table = pd.DataFrame({"sequence": [s.name for s in sequences],
                          "groundtruth": [s.groundtruth for s in sequences],
                          "system": [s.system for s in sequences]})
    # The paths of a table are taken from the current folder: the LIST's
    # paths joined with its folder, so the same files.
    from_table = batch_quietly(table, 0.5)
    from_list = batch_quietly(list_path, 0.5)
    # Without a LIST, only where the output names it differs: the CSV has no
    # such place and is the command's.
    assert from_table.render("csv") == from_list.render("csv")
    assert json.loads(from_table.render("json"))["list"] == talmira.TABLE_DATASET
    pd.testing.assert_frame_equal(from_table.failed, from_list.failed)
    assert [s.name for s in talmira.dataset_sequences(table)] == [s.name for s in sequences]

    bad = table.copy()
    bad.loc[4, "sequence"] = bad.loc[2, "sequence"]
    with pytest.raises(talmira.FormatError, match=r"^dataset table, row 4: the sequence name "
                       r".* is already used on line 4$") as error:
        talmira.batch(bad)
    assert error.value.row == 4
    bad = table.copy()
    bad.loc[6, "system"] = None
    with pytest.raises(talmira.FormatError, match=r"^dataset table, row 6: an empty field$"):
        talmira.dataset_sequences(bad)
    bad = table.copy()
    bad.loc[1, "sequence"] = "(all)"
    with pytest.raises(talmira.FormatError, match=r"names the pooled totals"):
        talmira.batch(bad)
    with pytest.raises(ValueError, match="lacks the column system"):
        talmira.batch(table[["sequence", "groundtruth"]])

    # A LIST that breaks the rules: the command's message, whole.
    broken = tmp_path / "broken.csv"
    with open(list_path, encoding="utf-8") as fh:
        lines = fh.read().splitlines()
    broken.write_text("\n".join(lines[:5] + ["only,two"] + lines[5:]) + "\n")
    status, _, err = run_tool("batch", str(broken))
    assert status == 1
    with pytest.raises(talmira.FormatError) as error:
        talmira.batch(str(broken))
    assert str(error.value) == err.splitlines()[0]
    assert (error.value.path, error.value.line) == (str(broken), 6)
    with pytest.raises(FileNotFoundError):
        talmira.batch(str(tmp_path / "nowhere.csv"))


def test_an_empty_dataset_pools_nothing(tmp_path):
    need_tool()
    empty = tmp_path / "empty.csv"
    empty.write_text("sequence,groundtruth,system\n")
    result = talmira.batch(str(empty), sweep=True)
    status, out, _ = run_tool("batch", str(empty), "--sweep", "--format", "json")
    assert status == 0 and result.render("json") == out
    assert result.pooled["gt"].sum() == 0 and result.sequences.empty


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    # Two worker processes on this machine, on the loopback address only.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def test_a_dask_cluster_scores_the_dataset_as_the_command(dataset, dask_client):
    need_tool()
    _, list_path = dataset
    workers = dask_client.run(os.getpid)
    assert len(set(workers.values()) | {os.getpid()}) == 3  # two processes of their own
    for confidence, sweep, grid, exact in (SETTINGS[1], SETTINGS[2], SETTINGS[4]):
        options = command_options(confidence, sweep, grid, exact)
        with pytest.warns(UserWarning, match="2 of"):
            on_cluster = talmira.batch(list_path, confidence, sweep=sweep, grid=grid,
                                       exact=exact, client=dask_client)
        for form in ("text", "json"):
            status, out, _ = run_tool("batch", list_path, *options, "-j", "2", "--format", form)
            assert status == 1 and on_cluster.render(form) == out, (form, options)

    # The recipe of docs/datasets.md by hand: a task per sequence, then the pool.
    sequences = talmira.dataset_sequences(list_path)
    futures = dask_client.map(talmira.score_sequence, sequences, confidence=0.5, pure=False)
    results = dask_client.gather(futures)
    # Both workers took a share.
    assert len({w for w in dask_client.who_has(futures).values() for w in w}) == 2
    with pytest.warns(UserWarning):
        pooled = talmira.pool(results)
    status, out, _ = run_tool("batch", list_path, "-c", "0.5", "--format", "csv")
    assert pooled.render("csv") == out
