"""The scoring rules in the talmira Python module: rules=, overlap=,
min_overlap=, region_cover= and min_side= against `talmira` with the same
options, a named set on MOT files against its values on the same boxes in
this format, tables against files, the batch, and the errors."""

import json
import os
import random
import subprocess

import pandas as pd
import pytest

import talmira

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXAMPLES = os.path.join(ROOT, "examples")
TOOL = os.environ.get("TALMIRA_TOOL")
HEADER = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,text,number\n"


def need_tool():
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")


def tool_json(*args):
    proc = subprocess.run([TOOL, *args, "--format", "json"], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    return json.loads(proc.stdout)


def counts(result):
    return [(r["class"], r["gt"], r["det"], r["fn"], r["fp"], r["frames"]) for r in result.rows]


def tool_counts(report):
    return [(c["class"], c["gt"], c["det"], c["fn"], c["fp"], c["frames"])
            for c in report["classes"]]


def random_pair(tmp_path, seed):
    """The same random pedestrians as a MOT pair and as a pair of this
    format; many smaller than 30 pixels, overlaps spread widely."""
    rng = random.Random(seed)
    gt_mot, det_mot, gt_csv, det_csv = [], [], [HEADER], [HEADER]

    def native(frame, l, t, w, h, conf):
        return "%d,%d,%d,%d,%d,%d,%d,%d,%d,Person,FALSE,FALSE,%s,,\n" % (
            frame, l, t, l + w, t, l + w, t + h, l, t + h, conf)

    for frame in range(1, 21):
        for k in range(rng.randint(0, 5)):
            l, t, w, h = rng.randint(0, 40) * 8, rng.randint(0, 30) * 8, rng.randint(1, 8) * 6, \
                rng.randint(1, 10) * 6
            gt_mot.append("%d,%d,%d,%d,%d,%d,1,1,1\n" % (frame, len(gt_mot) + 1, l, t, w, h))
            gt_csv.append(native(frame, l, t, w, h, "1"))
            if rng.random() < 0.8:
                conf = rng.choice(["0.25", "0.5", "0.9"])
                l2, t2 = l + rng.randint(-3, 3) * 4, t + rng.randint(-3, 3) * 4
                w2, h2 = max(1, w + rng.randint(-2, 2) * 4), max(1, h + rng.randint(-2, 2) * 4)
                det_mot.append("%d,-1,%d,%d,%d,%d,%s,-1,-1,-1\n" % (frame, l2, t2, w2, h2, conf))
                det_csv.append(native(frame, l2, t2, w2, h2, conf))
    paths = {}
    for name, lines in (("gt.txt", gt_mot), ("det.txt", det_mot), ("gt.csv", gt_csv),
                        ("det.csv", det_csv)):
        paths[name] = str(tmp_path / name)
        with open(paths[name], "w") as f:
            f.write("".join(lines))
    return paths


@pytest.mark.parametrize("seed", [1, 2])
def test_mot_values_on_mot_files_equal_the_values_on_the_same_boxes(tmp_path, seed):
    p = random_pair(tmp_path, seed)
    # MOT's labels onto this format's classes, as convert maps them.
    onto_the_ten = str(tmp_path / "map.csv")
    talmira.class_map("mot").to_csv(onto_the_ten, index=False)
    # rules="mot" on MOT files counts as the benchmark, which takes no class map.
    with pytest.raises(ValueError, match="--classes does not go with --rules mot"):
        talmira.score(p["gt.txt"], p["det.txt"], format="mot", rules="mot", classes=onto_the_ten)
    named = talmira.score(p["gt.txt"], p["det.txt"], format="mot", overlap="iou",
                          min_overlap=0.5, min_side=0, classes=onto_the_ten)
    values = talmira.score(p["gt.csv"], p["det.csv"], overlap="iou", min_overlap=0.5,
                           min_side=0)
    assert counts(named) == counts(values)
    assert counts(values) != counts(talmira.score(p["gt.csv"], p["det.csv"]))
    # One thread or several, a file or a table: the same counts.
    assert counts(talmira.score(p["gt.csv"], p["det.csv"], jobs=1, rules="mot")) == counts(values)
    tables = [pd.read_csv(p[name], keep_default_na=False) for name in ("gt.csv", "det.csv")]
    for table in tables:
        table.columns = list(talmira.COLUMNS) + ["text", "number"]
    assert counts(talmira.score(*tables, rules="mot")) == counts(values)


def test_every_function_follows_the_command(tmp_path):
    need_tool()
    p = random_pair(tmp_path, 5)
    gt, det = p["gt.csv"], p["det.csv"]
    words = ["--overlap", "iou", "--min-overlap", "0.4", "--region-cover", "0.5",
             "--min-side", "12"]
    kwargs = dict(overlap="iou", min_overlap=0.4, region_cover=0.5, min_side=12)
    assert counts(talmira.score(gt, det, 0.3, **kwargs)) == tool_counts(
        tool_json("score", gt, det, "-c", "0.3", *words))
    swept = talmira.sweep(gt, det, exact=True, **kwargs)
    report = tool_json("sweep", gt, det, "--exact", *words)
    assert report["rules"] == {"overlap": "iou", "min_overlap": 0.4, "region_cover": 0.5,
                               "min_side": 12}
    assert [(c["class"], c["best"]["gt"], c["best"]["fn"], c["best"]["fp"])
            for c in report["classes"]] == \
        [(r["class"], int(r["gt"]), int(r["fn"]), int(r["fp"]))
         for _, r in swept.best.iterrows()]
    explained = talmira.explain(gt, det, **kwargs)
    assert tool_json("explain", gt, det, *words)["classes"][0]["gt"] == \
        int(explained.classes.iloc[0]["gt"])
    events = talmira.events(gt, det, **kwargs)
    matches = int(((events["side"] == "gt") & (events["event"] == "match")).sum())
    all_counts = counts(talmira.score(gt, det, **kwargs))[0]
    assert matches == all_counts[1] - all_counts[3]


def test_batch_under_rules_pools_the_sequences_scored_under_them(tmp_path):
    p = random_pair(tmp_path, 7)
    listing = tmp_path / "list.csv"
    listing.write_text("sequence,groundtruth,system\na,gt.csv,det.csv\nb,gt.csv,det.csv\n")
    plain = talmira.batch(str(listing))
    under = talmira.batch(str(listing), rules="kitti", min_side=0)
    assert not plain.pooled.equals(under.pooled)
    single = talmira.score(p["gt.csv"], p["det.csv"], rules="kitti", min_side=0)
    all_row = under.pooled.iloc[0]
    assert int(all_row["gt"]) == 2 * single["All"]["gt"]
    assert int(all_row["fn"]) == 2 * single["All"]["fn"]


@pytest.mark.parametrize("kwargs", [
    dict(rules="coco"), dict(overlap="union"), dict(min_overlap=0), dict(min_overlap=1.5),
    dict(region_cover=0), dict(min_side=-1), dict(min_side=float("inf")), dict(min_overlap="x"),
])
def test_bad_rules_raise_value_error(kwargs):
    gt = os.path.join(EXAMPLES, "groundtruth.csv")
    sys_ = os.path.join(EXAMPLES, "systemoutput.csv")
    with pytest.raises(ValueError):
        talmira.score(gt, sys_, **kwargs)
