"""events(): what became of every box of a class."""

import numpy as np

from . import _talmira
from ._inputs import _path_of, _read_pair, _readings
from ._numbers import _confidence, _fraction, _shortest

#: The columns of events(), those of the talmira events command's CSV.
EVENT_COLUMNS = ("gt_frame_line", "frame", "side", "line", "class", "confidence", "event",
                 "partner_line", "cause", "overlap")


def events(gt, sys, confidence=0.0, cls="All", near=0.1, *, format=None, gt_format=None,
           sys_format=None, **options):
    """What became of every box of a class, one row per box: a DataFrame with
    the columns of the `talmira events` command's CSV (EVENT_COLUMNS).

    gt_frame_line: where the ground-truth frame judged starts (missing for a
    system frame no ground-truth frame pairs with); frame: the box's frame
    number; side: "gt" or "sys"; line: the box's record; class, confidence:
    the box's (NaN for a box its file gave no score, a MOT-family -1,
    which every threshold takes); event: match, miss or excluded (ground truth), match,
    false_alarm, set_aside, in_region or unpaired_frame (system);
    partner_line: the matched box, the flagged box passed (set_aside) or the
    covering don't-care region (in_region), missing otherwise; cause: why a
    miss or a false alarm happened (as `talmira explain` counts them), None
    on other rows; overlap: a match's overlap with its partner, a set_aside's
    with the flagged box, the part of an in_region box the region covers,
    NaN on other rows.

    For a file, line, gt_frame_line and partner_line are lines of the file
    (the header is line 1), as in the command's CSV. For an in-memory table
    they are instead the table's rows, counted from 0 over its positions
    (line - 2 of the table written as a file): gt_frame_line and the
    partner_line of system rows point into the ground-truth table, line of a
    row into its side's table, the partner_line of ground-truth rows into the
    system table. The nullable columns are pandas' Int64.

    confidence: a box is taken when its confidence is at least this, in both
    inputs (0 to 1); cls: one of the pair's classes ("All" takes every
    class; CLASSES for files of this format); near: the
    overlap from which an unpaired box and object are near each other (0 to 1).
    Raises as score() does, and ValueError for an unknown class.
    format, gt_format, sys_format and the options of other formats: as in score().
    """
    import pandas as pd

    threshold = _confidence(confidence)
    near = _fraction(near, "near")
    # The name is looked for among the pair's classes once they are read.
    if not isinstance(cls, str):
        raise ValueError("class %r is not a class name" % (cls,))
    readings = _readings(gt, format, gt_format, sys_format, **options)
    ground_truth, system = _read_pair(gt, sys, details=True, readings=readings)
    (frame_lines, frames, system_side, lines, class_codes, class_names, confidences, kinds,
     partner_lines, causes, overlaps) = _talmira.events(ground_truth, system, threshold, cls, near)
    system_side = system_side.astype(bool)
    # A side given as a table counts rows from 0: line 2 is its first record.
    shift = [0 if _path_of(source) is not None else 2 for source in (gt, sys)]
    frame_lines = frame_lines.astype(np.int64)
    lines = lines.astype(np.int64) - np.where(system_side, shift[1], shift[0])
    partner_lines = partner_lines.astype(np.int64)
    has_frame, has_partner = frame_lines > 0, partner_lines > 0
    frame_lines = frame_lines - shift[0]
    # The partner of a system box is in the ground truth, and the other way round.
    partner_lines = partner_lines - np.where(system_side, shift[0], shift[1])
    names = np.array(_talmira.event_names(), dtype=object)
    return pd.DataFrame({
        "gt_frame_line": pd.arrays.IntegerArray(frame_lines, ~has_frame),
        "frame": frames.astype(np.int64),
        "side": np.where(system_side, "sys", "gt").astype(object),
        "line": lines,
        "class": np.array(class_names, dtype=object)[class_codes.astype(np.intp)]
        if len(class_names) else np.zeros(0, dtype=object),
        "confidence": _shortest(confidences),
        "event": names[kinds.astype(np.intp)],
        "partner_line": pd.arrays.IntegerArray(partner_lines, ~has_partner),
        "cause": np.array([None] + list(_talmira.cause_names()[1:]),
                          dtype=object)[causes.astype(np.intp)],
        "overlap": _shortest(overlaps),
    }, columns=list(EVENT_COLUMNS))
