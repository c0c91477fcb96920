"""talmira.ap() and the drop-in talmira.cocoeval against the talmira command
(`talmira ap --format json --arrays`) on random COCO pairs, and against
pycocotools' own figures on the conformance corpus.

Run by CTest (TALMIRA_TOOL names the built `talmira` executable; the corpus
is found through TALMIRA_CONFORMANCE_DIR, or beside the repository).
"""

import contextlib
import io
import json
import os
import random
import subprocess
import warnings

import numpy as np
import pytest

import talmira
from talmira.cocoeval import COCO, COCOeval, Params

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.environ.get("TALMIRA_TOOL")
CONFORMANCE = os.environ.get("TALMIRA_CONFORMANCE_DIR") or os.path.join(
    ROOT, "..", "shared", "conformance")
SEEDS = (11, 12, 13)


def need_tool():
    if not TOOL or not os.access(TOOL, os.X_OK):
        pytest.skip("TALMIRA_TOOL does not name the talmira executable")


def command_ap(gt, sys, *options):
    """What `talmira ap GT SYS --format json --arrays OPTIONS` says, as a dict."""
    need_tool()
    proc = subprocess.run([TOOL, "ap", gt, sys, "--format", "json", "--arrays", *options],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    return json.loads(proc.stdout)


def quiet(call, *args):
    """Runs call(*args) and returns what it printed."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        call(*args)
    return out.getvalue()


@contextlib.contextmanager
def silenced():
    """Where the reader's warnings are not what is tested."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def evaluated(gt, dt, **params):
    """A COCOeval of gt and dt with the params given, accumulated."""
    E = COCOeval(gt, dt, "bbox")
    for key, value in params.items():
        setattr(E.params, key, value)
    quiet(E.evaluate)
    quiet(E.accumulate)
    return E


def random_pair(seed):
    """A COCO ground truth and results list made to try the rules' corners:
    tied scores, crowds (some without an area), areas exactly at 32**2 and
    96**2 (in the annotation's field and as w * h of detections), a category
    without ground truth, an image without any, more than 100 detections of
    one category on one image, and results of a category the ground truth
    lacks (dropped)."""
    rng = random.Random(seed)
    category_ids = rng.sample(range(1, 40), 4)
    image_ids = rng.sample(range(1, 500), 9)
    truths, results = [], []
    scores = [0.25, 0.5, 0.5, 0.75, 0.9]

    def box():
        w = rng.choice([32, 96, 31.5, 32.25, 95.75, rng.uniform(4, 150)])
        h = rng.choice([32, 96, rng.uniform(4, 150)])
        return [round(rng.uniform(0, 500), 2), round(rng.uniform(0, 400), 2), w, h]

    def near(b, spread):
        return [b[0] + rng.uniform(-spread, spread), b[1] + rng.uniform(-spread, spread),
                max(0.0, b[2] + rng.uniform(-spread, spread)),
                max(0.0, b[3] + rng.uniform(-spread, spread))]

    for image in image_ids[:-1]:  # the last image has no ground truth
        for category in category_ids[:-1]:  # nor the last category
            for _ in range(rng.randint(0, 4)):
                b = box()
                crowd = rng.random() < 0.15
                truth = {"id": len(truths) + 1, "image_id": image, "category_id": category,
                         "bbox": b, "iscrowd": int(crowd)}
                if not crowd or rng.random() < 0.5:
                    truth["area"] = rng.choice([b[2] * b[3], b[2] * b[3], 1024, 9216])
                truths.append(truth)
                for _ in range(rng.choice([0, 1, 1, 2, 3 if crowd else 1])):
                    results.append({"image_id": image, "category_id": category,
                                    "bbox": near(b, rng.choice([1, 5, 20])),
                                    "score": rng.choice(scores + [round(rng.random(), 3)])})
    for image in image_ids:
        for category in category_ids:
            for _ in range(rng.randint(0, 3)):
                results.append({"image_id": image, "category_id": category, "bbox": box(),
                                "score": rng.choice(scores)})
    crowded_image, crowded_category = image_ids[0], category_ids[0]
    anchors = [t["bbox"] for t in truths
               if (t["image_id"], t["category_id"]) == (crowded_image, crowded_category)] or [box()]
    for k in range(130):
        results.append({"image_id": crowded_image, "category_id": crowded_category,
                        "bbox": near(anchors[k % len(anchors)], 8), "score": rng.choice(scores)})
    results.append({"image_id": image_ids[1], "category_id": 99, "bbox": box(), "score": 0.5})
    rng.shuffle(results)
    categories = [{"id": c, "name": "category %d" % c} for c in category_ids]
    images = [{"id": i, "file_name": "%d.jpg" % i} for i in image_ids]
    return {"images": images, "annotations": truths, "categories": categories}, results


def write_pair(folder, seed, truth, results):
    gt_path = os.path.join(folder, "gt%d.json" % seed)
    dt_path = os.path.join(folder, "dt%d.json" % seed)
    with open(gt_path, "w") as f:
        json.dump(truth, f, indent=1)
    with open(dt_path, "w") as f:
        json.dump(results, f, indent=1)
    return gt_path, dt_path


@pytest.fixture(scope="module")
def pairs(tmp_path_factory):
    """(seed, gt dict, results list, gt path, results path, the command's JSON)."""
    folder = str(tmp_path_factory.mktemp("coco"))
    out = []
    for seed in SEEDS:
        truth, results = random_pair(seed)
        gt_path, dt_path = write_pair(folder, seed, truth, results)
        out.append((seed, truth, results, gt_path, dt_path, command_ap(gt_path, dt_path)))
    return out


def assert_same_arrays(E, arrays):
    for key in ("precision", "recall", "scores"):
        expected = np.array(arrays[key], dtype=np.float64)
        assert E.eval[key].dtype == np.float64 and E.eval[key].shape == expected.shape, key
        assert np.array_equal(E.eval[key], expected), key


def test_drop_in_arrays_and_stats_equal_the_command(pairs):
    for seed, truth, results, gt_path, dt_path, command in pairs:
        gt = COCO(gt_path)
        with pytest.warns(UserWarning, match="1 result is of categories the ground truth"):
            dt = gt.loadRes(dt_path)
        E = evaluated(gt, dt)
        assert_same_arrays(E, command["arrays"])
        T, R, K, A, M = E.eval["counts"]
        assert (T, R, K, A, M) == (10, 101, 4, 4, 3)
        assert E.eval["precision"].shape == (T, R, K, A, M)
        assert E.eval["recall"].shape == (T, K, A, M)
        # The category without ground truth is -1 throughout, as COCOeval has it.
        last = sorted(c["id"] for c in truth["categories"]).index(truth["categories"][-1]["id"])
        assert (E.eval["precision"][:, :, last] == -1).all()
        printed = quiet(E.summarize)
        assert isinstance(E.stats, np.ndarray) and E.stats.shape == (12,)
        assert E.stats.tolist() == command["stats"]
        # Lines as pycocotools formats them, from the figures.
        lines = []
        for row, value in zip(command["summary"], E.stats):
            title = "Average Precision" if row["measure"] == "AP" else "Average Recall"
            line = " {:<18} {} @[ IoU={:<9} | area={:>6s} | maxDets={:>3d} ] = {:0.3f}"
            lines.append(line.format(
                title, "(%s)" % row["measure"], row["iou"], row["area"], row["max_detections"],
                value))
        assert printed.splitlines() == lines


def test_ap_gives_the_commands_json(pairs):
    for seed, truth, results, gt_path, dt_path, command in pairs:
        result = talmira.ap(gt_path, dt_path, arrays=True)
        assert result.summary.to_dict("records") == command["summary"]
        assert result.categories.to_dict("records") == command["categories"]
        assert result.stats.tolist() == command["stats"]
        assert result.warnings == command["warnings"]
        assert result.parameters == command["parameters"]
        for key in ("precision", "recall", "scores"):
            assert np.array_equal(getattr(result, key), np.array(command["arrays"][key]))
        plain = talmira.ap(gt_path, dt_path)
        assert plain.precision is None and plain.stats.tolist() == command["stats"]
        # In memory, the same; only the names in the warnings differ.
        held = talmira.ap(truth, results)
        assert held.categories.equals(result.categories)
        assert held.warnings == [w.replace(dt_path, "results list") for w in command["warnings"]]


def test_ap_of_other_formats_as_the_command():
    gt = os.path.join(ROOT, "examples", "groundtruth.csv")
    sys = os.path.join(ROOT, "examples", "systemoutput.csv")
    command = command_ap(gt, sys, "--confidence", "0.4")
    for given in ((gt, sys), (talmira.read(gt), sys)):
        result = talmira.ap(*given, confidence=0.4, arrays=True)
        assert result.categories.to_dict("records") == command["categories"]
        assert result.stats.tolist() == command["stats"]
        assert np.array_equal(result.scores, np.array(command["arrays"]["scores"]))
    assert (result.categories["ground_truth"] > 0).any()


def test_parameters_and_confidence_as_the_commands_options(pairs):
    seed, truth, results, gt_path, dt_path, _ = pairs[0]
    command = command_ap(gt_path, dt_path, "--iou-thresholds", "0.3:0.7:5", "--max-dets", "1,5,20",
                         "--area-ranges",
                         "all=0:1e10,small=0:1024,medium=1024:9216,large=9216:1e10,tiny=0:400",
                         "--confidence", "0.5")
    result = talmira.ap(gt_path, dt_path, iou_thresholds="0.3:0.7:5", max_dets=[1, 5, 20],
                        area_ranges=dict({label: (low, high)
                                          for label, low, high in talmira.AREA_RANGES},
                                         tiny=(0, 400)),
                        confidence=0.5, arrays=True)
    assert result.categories.to_dict("records") == command["categories"]
    assert result.stats.tolist() == command["stats"]
    assert np.array_equal(result.precision, np.array(command["arrays"]["precision"]))
    # The drop-in with the same parameters: the detections from 0.5 kept.
    kept = [r for r in results if r["score"] >= np.float32(0.5)]
    gt = COCO(gt_path)
    with silenced():
        dt = gt.loadRes(kept)
    E = evaluated(gt, dt, iouThrs=np.linspace(0.3, 0.7, 5), maxDets=[20, 1, 5],
                  areaRng=[[0, 1e10], [0, 1024], [1024, 9216], [9216, 1e10], [0, 400]],
                  areaRngLbl=["all", "small", "medium", "large", "tiny"])
    assert E.params.maxDets == [1, 5, 20]  # sorted by evaluate(), as pycocotools does
    assert_same_arrays(E, command["arrays"])


def test_restriction_equals_files_of_only_those_images_and_categories(pairs, tmp_path):
    for seed, truth, results, gt_path, dt_path, _ in pairs:
        rng = random.Random(seed)
        images = rng.sample([i["id"] for i in truth["images"]], 5)
        categories = rng.sample([c["id"] for c in truth["categories"]], 2)
        part = {"images": [i for i in truth["images"] if i["id"] in images],
                "categories": [c for c in truth["categories"] if c["id"] in categories],
                "annotations": [a for a in truth["annotations"]
                                if a["image_id"] in images and a["category_id"] in categories]}
        part_results = [r for r in results
                        if r["image_id"] in images and r["category_id"] in categories]
        part_gt, part_dt = write_pair(str(tmp_path), seed, part, part_results)
        whole = COCO(gt_path)
        with silenced():
            dt = whole.loadRes(dt_path)
            alone = COCOeval(part_gt, part_dt)
        E = evaluated(whole, dt, imgIds=images + images[:2], catIds=categories)
        assert E.params.imgIds == sorted(images) and E.params.catIds == sorted(categories)
        quiet(E.summarize)
        quiet(alone.evaluate)
        quiet(alone.accumulate)
        quiet(alone.summarize)
        for key in ("precision", "recall", "scores"):
            assert np.array_equal(E.eval[key], alone.eval[key]), key
        assert E.stats.tolist() == alone.stats.tolist()
        # A category the ground truth lacks has its slot, -1 throughout.
        E = evaluated(whole, dt, imgIds=images, catIds=[1000] + categories)
        assert E.eval["counts"][2] == 3
        assert (E.eval["precision"][:, :, 2] == -1).all() and (E.eval["recall"][:, 2] == -1).all()
        assert np.array_equal(E.eval["precision"][:, :, :2], alone.eval["precision"])


def messy(truth, results, rng):
    """The pair as Python code holds it: numpy's numbers and arrays, tuples,
    whole floats, booleans, keys the reader passes over, names to escape; and
    now and then a value the reader refuses (NaN, a nested object, an int
    beyond 64 bits, None, a text for a number)."""
    numpy_kinds = [lambda v: v, np.float64, np.float32, lambda v: float(np.float32(v))]

    def number(v):
        return rng.choice(numpy_kinds)(v) if isinstance(v, float) else rng.choice(
            [v, np.int64(v), np.int32(v), float(v)])

    names = ['a "quoted" \\ name', "tab\there", "caf\u00e9 \u4e2d", "new\nline", "plain"]
    for category in truth["categories"]:
        category["name"] = rng.choice(names) + str(category["id"])
        category["supercategory"] = {"nested": [1, 2]}
    for element in truth["annotations"] + results:
        for key in ("image_id", "category_id", "id", "area", "score"):
            if key in element and rng.random() < 0.3:
                element[key] = number(element[key])
        box = element["bbox"]
        element["bbox"] = rng.choice([box, tuple(box), np.array(box), [number(v) for v in box]])
        if "iscrowd" in element and rng.random() < 0.3:
            element["iscrowd"] = bool(element["iscrowd"])
        if rng.random() < 0.2:
            element["segmentation"] = [[rng.random() for _ in range(8)]]
        if rng.random() < 0.1:
            element["attributes"] = {"occluded": rng.random() < 0.5, "big": 2 ** 70}
    truth["info"] = {"year": 2024, "contributor": "tests"}
    refusals = [("bbox", [float("nan"), 1.0, 2.0, 3.0]), ("bbox", {"x": 1}), ("image_id", 2 ** 70),
                ("score", None), ("category_id", "3"), ("area", float("inf"))]
    if rng.random() < 0.5:
        key, value = rng.choice(refusals)
        target = rng.choice(results if key in ("bbox", "score", "image_id", "category_id")
                            else truth["annotations"])
        target[key] = value
    return truth, results


def dumps_text(held, name):
    """json.dumps' text of a held input with each element of its lists on a
    line of its own, as the reader's input (text, False, name, lists)."""
    dumps = talmira._ap._dumps
    lines, lists = [], []

    def elements(key, values):
        lists.append((key, len(lines) + 1, len(values)))
        lines.extend(dumps(v) + ("," if k + 1 < len(values) else "") for k, v in enumerate(values))

    if isinstance(held, dict):
        lines.append("{")
        for k, (key, value) in enumerate(held.items()):
            end = "," if k + 1 < len(held) else ""
            if isinstance(value, (list, tuple)):
                lines.append("%s:[" % dumps(key))
                elements(key, value)
                lines.append("]" + end)
            else:
                lines.append("%s:%s%s" % (dumps(key), dumps(value), end))
        lines.append("}")
    else:
        lines.append("[")
        elements("", held)
        lines.append("]")
    return ("\n".join(lines), False, name, lists)


def read_by_dumps(truth, results):
    """The pair read from json.dumps' text, the plain way."""
    return talmira._ap._read_coco(dumps_text(truth, "ground-truth dict"),
                                  dumps_text(results, "results list"))


def outcome(read, truth, results):
    """The figures and arrays of a pair read by `read`, or its FormatError's message."""
    try:
        images = read(truth, results)
    except talmira.FormatError as error:
        return str(error)
    parameters = talmira._ap._parameters([0.5, 0.75], np.linspace(0, 1, 101), [1, 10, 100],
                                         talmira.AREA_RANGES)
    result = talmira._talmira.coco_accumulate(
        talmira._talmira.coco_match(images, parameters, None, None, 0.0, 1), 1)
    return (result["report"], result["precision"].tobytes(), result["scores"].tobytes(),
            images.image_ids.tolist(), images.category_names)


def test_held_inputs_read_as_their_json_dumps_text():
    refused = 0
    for seed in range(30):
        rng = random.Random(seed)
        truth, results = messy(*random_pair(1000 + seed), rng)
        written = outcome(lambda t, r: talmira._ap._read_coco(talmira._ap._coco_input(t, 0),
                                                               talmira._ap._coco_input(r, 1)),
                          truth, results)
        assert written == outcome(read_by_dumps, truth, results), seed
        refused += isinstance(written, str)
    assert 5 <= refused <= 25  # both kinds of case were tried
    # What json.dumps cannot write, where the reader does not look, is no error.
    truth, results = random_pair(3)
    results[0]["segmentation"] = {"counts": b"\x00\x01", "size": [4, 4]}
    truth["info"] = {"ratio": float("nan")}
    with silenced():
        assert talmira.ap(truth, results).stats.tolist() == talmira.ap(
            random_pair(3)[0], random_pair(3)[1]).stats.tolist()


class PycocotoolsLike:
    """An object as pycocotools' COCO and loadRes() make them: a .dataset."""

    def __init__(self, dataset):
        self.dataset = dataset


def test_input_forms_give_the_same_arrays(pairs):
    seed, truth, results, gt_path, dt_path, command = pairs[1]
    as_array = np.array([[r["image_id"], *r["bbox"], r["score"], r["category_id"]]
                         for r in results])
    # loadRes as pycocotools makes it: each result given id, area and iscrowd.
    loaded = PycocotoolsLike({"images": truth["images"], "categories": truth["categories"],
                              "annotations": [dict(r, id=k + 1, area=r["bbox"][2] * r["bbox"][3],
                                                   iscrowd=0) for k, r in enumerate(results)]})
    numpy_results = [dict(r, image_id=np.int64(r["image_id"]), score=np.float64(r["score"]),
                          bbox=np.array(r["bbox"])) for r in results]
    gt_forms = [gt_path, truth, COCO(gt_path), COCO(truth), PycocotoolsLike(truth)]
    with silenced():
        dt_forms = [dt_path, results, COCO(gt_path).loadRes(dt_path), COCO(truth).loadRes(results),
                    COCO(gt_path).loadRes(as_array), loaded, numpy_results]
        for gt, dt in zip(gt_forms + gt_forms[:2], dt_forms):
            assert_same_arrays(evaluated(gt, dt), command["arrays"])
    # A results set's dataset is what pycocotools' loadRes() makes of it.
    dt = dt_forms[2]
    assert dt.dataset["annotations"] == loaded.dataset["annotations"]
    assert dt.dataset["images"] == truth["images"]
    gt = COCO(gt_path)
    assert gt.getImgIds() == [i["id"] for i in truth["images"]]
    assert gt.getCatIds() == [c["id"] for c in truth["categories"]]
    category = truth["categories"][0]["id"]
    holding = {a["image_id"] for a in truth["annotations"] if a["category_id"] == category}
    assert sorted(gt.getImgIds(catIds=[category])) == sorted(holding)
    assert gt.loadCats(category) == [truth["categories"][0]]
    # Params as pycocotools sets them; ids sorted from the ground truth.
    E = COCOeval(gt, None, "bbox")
    assert E.params.imgIds == sorted(gt.getImgIds())
    assert E.params.catIds == sorted(gt.getCatIds())
    p = Params()
    assert np.array_equal(p.iouThrs, np.linspace(0.5, 0.95, 10))
    assert p.iouThrs[8] == 0.8999999999999999 and p.iouThrs[9] == 0.95
    assert p.recThrs[35] == 0.35000000000000003 and len(p.recThrs) == 101 and p.recThrs[-1] == 1
    assert p.maxDets == [1, 10, 100] and p.areaRngLbl == ["all", "small", "medium", "large"]
    assert p.areaRng == [[0, 1e10], [0, 1024], [1024, 9216], [9216, 1e10]] and p.useCats == 1


def test_bad_input_raises_with_file_and_line(pairs, tmp_path):
    seed, truth, results, gt_path, dt_path, _ = pairs[2]
    bad = [dict(r) for r in results]
    bad[5]["bbox"] = [1, 2, 3]
    bad_path = str(tmp_path / "bad.json")
    with open(bad_path, "w") as f:
        f.write("[\n" + ",\n".join(json.dumps(r) for r in bad) + "\n]\n")
    gt = COCO(gt_path)
    with pytest.raises(talmira.FormatError) as raised:
        gt.loadRes(bad_path)
    assert str(raised.value) == ('%s:7: result: "bbox" is not a list of 4 numbers '
                                 '[x, y, width, height]' % bad_path)
    assert raised.value.path == bad_path and raised.value.line == 7
    with pytest.raises(talmira.FormatError) as raised:
        talmira.ap(gt_path, bad_path)
    assert raised.value.line == 7
    # In memory: the list and the element.
    with pytest.raises(talmira.FormatError, match=r'^results list \[5\]: result: "bbox" is not'):
        gt.loadRes(bad)
    bad[5]["segmentation"] = {"counts": b"\x00", "size": [1, 1]}  # no JSON, and not read
    with pytest.raises(talmira.FormatError, match=r'^results list \[5\]: result: "bbox" is not'):
        gt.loadRes(tuple(bad))
    broken = json.loads(json.dumps(truth))
    del broken["annotations"][3]["iscrowd"]
    with pytest.raises(talmira.FormatError,
                       match=r'^ground-truth dict \["annotations"\]\[3\]: annotation: "iscrowd"'):
        COCOeval(broken, results)
    stranger = [dict(results[0], image_id=10 ** 6)]
    with pytest.raises(talmira.FormatError, match="1000000 is no image of the ground truth"):
        gt.loadRes(stranger)
    with pytest.raises(talmira.FormatError, match=r"^results list \[0\]: not well-formed JSON"):
        talmira.ap(truth, [dict(results[0], score=float("nan"))])
    with pytest.raises(FileNotFoundError):
        COCO(str(tmp_path / "absent.json"))
    with pytest.raises(FileNotFoundError):
        talmira.ap(gt_path, str(tmp_path / "absent.json"))
    with pytest.raises(NotImplementedError, match="boxes only"):
        COCOeval(gt, None, "segm")
    with silenced():
        E = COCOeval(gt, gt.loadRes(results[:3]), "bbox")
    E.params.useCats = 0
    with pytest.raises(NotImplementedError, match="useCats"):
        quiet(E.evaluate)
    with pytest.raises(Exception, match="accumulate"):
        E.summarize()
    with pytest.raises(ValueError, match="iou_thresholds"):
        talmira.ap(gt_path, dt_path, iou_thresholds=[0.5, 1.5])


def test_conformance_corpus_as_pycocotools():
    gt_path = os.path.join(CONFORMANCE, "coco", "instances_val2014_100.json")
    dt_path = os.path.join(CONFORMANCE, "coco", "instances_val2014_fakebbox100_results.json")
    expected_path = os.path.join(CONFORMANCE, "expected", "coco.json")
    if not all(os.path.isfile(p) for p in (gt_path, dt_path, expected_path)):
        message = "the conformance corpus is not at %s" % CONFORMANCE
        if os.environ.get("CI"):
            pytest.fail(message + " (CI must have it)")
        pytest.skip(message)
    with open(expected_path) as f:
        case = json.load(f)["cases"]["%s %s" % (os.path.basename(gt_path),
                                                 os.path.basename(dt_path))]
    gt = COCO(gt_path)
    E = COCOeval(gt, gt.loadRes(dt_path), "bbox")
    quiet(E.evaluate)
    quiet(E.accumulate)
    quiet(E.summarize)
    assert np.allclose(E.stats, case["stats"], rtol=0, atol=1e-12)
    # Per category, from the arrays as pycocotools' summarize reads them.
    names = {c["id"]: c["name"] for c in gt.dataset["categories"]}
    precision = E.eval["precision"]
    result = talmira.ap(gt_path, dt_path)
    assert len(case["per_category"]) == len(E.params.catIds) == len(result.categories)
    for k, category in enumerate(E.params.catIds):
        expected = case["per_category"][names[category]]
        for figure, cells in (("ap", precision[:, :, k, 0, -1]),
                              ("ap50", precision[0, :, k, 0, -1])):
            counted = cells[cells > -1]
            mean = np.mean(counted) if counted.size else -1.0  # -1 without ground truth
            assert abs(mean - expected[figure]) <= 1e-12, (names[category], figure)
        row = result.categories.iloc[k]
        assert row["id"] == category
        assert abs(row["ap"] - expected["ap"]) <= 1e-12
        assert abs(row["ap50"] - expected["ap50"]) <= 1e-12
