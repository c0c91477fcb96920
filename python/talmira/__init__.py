"""Score object detections in video against the ground truth, from Python.

The counts are the talmira command's, computed by the same C++ library; the
reading and the scoring run without the GIL, so several pairs can be scored
in threads at once.

    >>> import talmira
    >>> result = talmira.score("groundtruth.csv", "systemoutput.csv")
    >>> result.to_pandas()

sweep() gives every class's counts at every confidence threshold and the
best one (as `talmira sweep`), check() reports on the files themselves (as
`talmira check --format json`) and events() lists what became of every box
(as `talmira events`). ap() gives COCO's average precision of a pair (as
`talmira ap`), and talmira.cocoeval has COCO and COCOeval for code written
for pycocotools. track() gives a tracker's HOTA, CLEAR and Identity figures
(as `talmira track`), and stability() how steadily a detector follows each
ground-truth track (as `talmira stability`).

An input is a path to an annotation file, or a table already in memory: a
pandas DataFrame, or a dict of equal-length sequences or numpy arrays, with
the columns frame, x1, y1, x2, y2, x3, y3, x4, y4, type, flag_a, flag_b and
confidence. A table is read straight from its columns by the same rules as
a file, so it gives the same counts as the same records in a file, and a bad
value raises FormatError naming its row and column.

Every function that reads and scores takes the scoring rules of `talmira`'s
--rules, --overlap, --min-overlap, --region-cover and --min-side as keyword
arguments: rules ("mot", "visdrone" or "kitti", a named set), overlap
("enclosing", this format's measure, or "iou"), min_overlap (default 0.2),
region_cover (default 0.33) and min_side (the size test, default 30 pixels;
0 keeps every box), each value given replacing the named set's.
"""

# Besides __all__: MAX_GRID, the largest grid of sweep(), and _talmira and
# _WHOLE_COLUMNS, which the tests reach through the package.
from . import _talmira
from ._ap import AREA_RANGES, ApResult, ap
from ._batch import (TABLE_DATASET, BatchResult, DatasetSequence, SequenceResult, _PartView,
                     batch, dataset_sequences, pool, score_sequence)
from ._check import check
from ._columns import CLASSES, COLUMNS
from ._compare import COMPARE_COLUMNS, CompareResult, compare
from ._draw import FrameDrawing, draw_frame
from ._errors import FormatError
from ._events import EVENT_COLUMNS, TRACK_EVENT_COLUMNS, events
from ._explain import (CONFUSION_LABELS, FALSE_ALARM_CAUSES, MISS_CAUSES, ExplainResult,
                       TrackExplainResult, explain)
from ._inputs import _WHOLE_COLUMNS, FORMATS, class_map, read
from ._score import ScoreResult, score
from ._sweep import MAX_GRID, SweepResult, sweep
from ._stability import StabilityResult, stability
from ._track import TrackResult, track

__all__ = ["score", "sweep", "check", "events", "read", "ScoreResult", "SweepResult",
           "FormatError", "COLUMNS", "CLASSES", "EVENT_COLUMNS", "FORMATS", "class_map"]
__all__ += ["batch", "dataset_sequences", "score_sequence", "pool", "BatchResult",
            "SequenceResult", "DatasetSequence", "TABLE_DATASET"]
__all__ += ["draw_frame", "FrameDrawing"]
__all__ += ["explain", "ExplainResult", "MISS_CAUSES", "FALSE_ALARM_CAUSES", "CONFUSION_LABELS"]
__all__ += ["TrackExplainResult"]  # explain(rules="mot") on MOT files
__all__ += ["compare", "CompareResult", "COMPARE_COLUMNS"]
__all__ += ["ap", "ApResult", "AREA_RANGES"]
__all__ += ["track", "TrackResult"]
__all__ += ["stability", "StabilityResult"]
__all__ += ["TRACK_EVENT_COLUMNS"]  # events(track=True)

# The classes and functions keep the module they are known by, whichever
# file defines them: reprs, tracebacks, pickles (a result sent back by a
# Dask worker) and help() name talmira.ScoreResult, as they always have.
for _value in [globals()[_name] for _name in __all__] + [_PartView]:
    if isinstance(_value, type) or callable(_value):
        _value.__module__ = __name__
del _value

# COCO and COCOeval for code written for pycocotools: talmira.cocoeval.
from . import cocoeval  # noqa: E402
