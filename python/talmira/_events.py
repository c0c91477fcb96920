"""events(): what became of every box of a class."""

import numbers

import numpy as np

from . import _talmira
from ._errors import _file_error
from ._inputs import _benchmark_inputs, _benchmark_length, _path_of, _read_pair, _readings
from ._numbers import _confidence, _fraction, _shortest

#: The columns of events(), those of the talmira events command's CSV.
EVENT_COLUMNS = ("gt_frame_line", "frame", "side", "line", "class", "confidence", "event",
                 "partner_line", "cause", "overlap")

#: The columns of events(track=True), those of `talmira events --track`'s CSV.
TRACK_EVENT_COLUMNS = EVENT_COLUMNS + ("gt_id", "sys_id", "previous_sys_id", "previous_frame",
                                       "previous_line", "unmatched_frames")


def events(gt, sys, confidence=0.0, cls="All", near=0.1, *, format=None, gt_format=None,
           sys_format=None, track=False, track_rules=None, length=None, ids=None, **options):
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

    track=True reads two files as tracks, as `talmira events --track` does,
    and gives its rows (TRACK_EVENT_COLUMNS): CLEAR's matching with the
    identities, and the switch and fragment rows, which number talmira
    track's IDSW and Frag. format, gt_format and sys_format are then track
    formats ("mot", the default, "mot15", "mot16", "mot17", "mot20",
    "visdrone", "uavdt", "kitti", or "talmira" with ids="text");
    track_rules is the command's --track-rules ("mot", "mot20", "mot15",
    "plain"; None: the ground truth's layout decides), length its --length
    (None: seqinfo.ini beside the ground truth, else the last frame of
    either file); confidence above 0 leaves out the tracker boxes below it,
    as -c does (0 keeps every box, as the command without -c); near has no
    meaning; cls is one of the classes evaluated ("pedestrian" under MOT's
    rules). gt_frame_line and cause are then always missing, confidence NaN
    where none is given, and gt_id, sys_id, previous_sys_id,
    previous_frame, previous_line and unmatched_frames are pandas' Int64.
    A file the reader refuses raises FormatError with the command's
    message; one that cannot be opened, OSError.

    rules="mot" on two MOT files (format mot or mot15) gives the rows of
    `talmira events --rules mot` (TRACK_EVENT_COLUMNS): CLEAR's matching
    after the benchmark's preprocessing, so that the match, miss and
    false_alarm rows number score(rules="mot")'s TP, FN and FP; a detector's
    file whose ids are all -1 has no sys_id and no switch rows. length is
    taken as with track=True; near, track_rules and ids have no meaning
    there (ValueError, with the command's words).
    """
    import pandas as pd

    if track:
        if near != 0.1 or options:
            given = "near" if near != 0.1 else sorted(options)[0]
            raise ValueError("%s has no meaning with track=True" % given)
        return _track_events(pd, gt, sys, confidence, cls, format, gt_format, sys_format,
                             track_rules, length, ids)
    inputs = _benchmark_inputs(gt, sys, format, gt_format, sys_format, options)
    if inputs is not None:
        # rules="mot" on MOT files: the rows of `talmira events --rules mot`.
        if not isinstance(cls, str):
            raise ValueError("class %r is not a class name" % (cls,))
        threshold = _confidence(confidence)
        refused = next((option for option, given in (
            ("--near", near != 0.1), ("--track-rules", track_rules is not None),
            ("--ids", ids is not None)) if given), "")
        try:
            native = _talmira.benchmark_events(
                *inputs[0], *inputs[1:], None if threshold == 0 else threshold,
                _benchmark_length(length), cls, refused)
        except _talmira.ReadFailure as failure:
            raise _file_error(failure, inputs[0]) from None
        if native is not None:
            return _track_frame(pd, native)
    for given, value in (("track_rules", track_rules), ("length", length), ("ids", ids)):
        if value is not None:
            raise ValueError("%s goes with track=True" % given)
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


def _track_events(pd, gt, sys, confidence, cls, format, gt_format, sys_format, track_rules,
                  length, ids):
    paths = [_path_of(source) for source in (gt, sys)]
    if None in paths:
        raise ValueError("track=True reads files: give gt and sys as paths")
    for path in paths:
        open(path, "rb").close()  # OSError for a file that cannot be opened
    if format is not None and (gt_format is not None or sys_format is not None):
        raise ValueError("give format (both inputs) or gt_format and sys_format, not both")
    formats = [format or gt_format or "mot", format or sys_format or "mot"]
    for name in formats:
        if not isinstance(name, str):
            raise ValueError("format %r is not a format name" % (name,))
    if length is None:
        length = 0
    elif isinstance(length, bool) or not isinstance(length, numbers.Integral) or length < 1:
        raise ValueError("length %r is not a whole number from 1" % (length,))
    if ids not in (None, "text"):
        raise ValueError("ids %r: only 'text' is known" % (ids,))
    if not isinstance(cls, str):
        raise ValueError("class %r is not a class name" % (cls,))
    threshold = _confidence(confidence)
    threshold = None if threshold == 0 else threshold  # every box, as without -c
    try:
        native = _talmira.track_events(paths[0], paths[1], formats[0], formats[1], ids or "",
                                       track_rules or "", threshold, int(length), cls)
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, paths) from None
    return _track_frame(pd, native)


def _track_frame(pd, native):
    """The DataFrame of `talmira events --track`'s rows (TRACK_EVENT_COLUMNS)."""
    (frames, system_side, lines, class_codes, class_names, confidences, kinds, partner_lines,
     overlaps, gt_ids, has_gt_id, sys_ids, has_sys_id, previous_ids, has_previous_id,
     previous_frames, previous_lines, unmatched) = native
    system_side = system_side.astype(bool)
    names = np.array(_talmira.track_event_names(), dtype=object)
    missing = np.ones(len(frames), dtype=bool)

    def nullable(values, given):
        return pd.arrays.IntegerArray(values.astype(np.int64), ~given.astype(bool))

    confidences = confidences.astype(np.float32)
    given_confidence = ~np.isnan(confidences)
    shortest = np.full(len(frames), np.nan)
    if given_confidence.any():
        shortest[given_confidence] = _shortest(confidences[given_confidence])
    return pd.DataFrame({
        "gt_frame_line": pd.arrays.IntegerArray(np.zeros(len(frames), dtype=np.int64), missing),
        "frame": frames.astype(np.int64),
        "side": np.where(system_side, "sys", "gt").astype(object),
        "line": lines.astype(np.int64),
        "class": np.array(class_names, dtype=object)[class_codes.astype(np.intp)]
        if len(class_names) else np.zeros(0, dtype=object),
        "confidence": shortest,
        "event": names[kinds.astype(np.intp)],
        "partner_line": nullable(partner_lines, partner_lines > 0),
        "cause": np.full(len(frames), None, dtype=object),
        "overlap": overlaps.astype(np.float64),
        "gt_id": nullable(gt_ids, has_gt_id),
        "sys_id": nullable(sys_ids, has_sys_id),
        "previous_sys_id": nullable(previous_ids, has_previous_id),
        "previous_frame": nullable(previous_frames, previous_frames > 0),
        "previous_line": nullable(previous_lines, previous_lines > 0),
        "unmatched_frames": nullable(unmatched, unmatched >= 0),
    }, columns=list(TRACK_EVENT_COLUMNS))
