"""check(): the report on the annotation files themselves."""

import json

from . import _talmira
from ._errors import _file_error
from ._inputs import _benchmark_inputs, _path_of, _read, _read_pair, _readings


def check(gt, sys=None, *, format=None, gt_format=None, sys_format=None, **options):
    """The report on the annotation files themselves, as a dict: the same keys
    and values as `talmira check --format json`.

    gt, sys: a path or an in-memory table (see the module's help); without
    sys, only the ground truth is checked. For a table, "file" is None and
    the lines in the report (first_line, second_line and those in the
    warnings) are those of the table written as a file: row + 2, counting
    rows from 0 over their positions, as FormatError.line does.

    Raises FileNotFoundError (or another OSError) when a file cannot be
    opened, FormatError when a record is malformed. format, gt_format,
    sys_format and the options of other formats: as in score(). With
    rules="mot" on MOT files the files are also read as score() reads them
    under it, and check raises where score() would (an identity given twice
    in a frame, a box beyond seqinfo.ini's frames).
    """
    readings = _readings(gt, format, gt_format, sys_format, **options)
    _check_as_benchmark(gt, sys, format, gt_format, sys_format, options)
    if sys is None:
        inputs = [(gt, _read(gt, "ground-truth", True, readings[0]))]
    else:
        inputs = list(zip((gt, sys), _read_pair(gt, sys, details=True, readings=readings)))
    names = [_path_of(source) for source, _ in inputs]
    text = _talmira.check(inputs[0][1], names[0] or "",
                          inputs[1][1] if len(inputs) > 1 else None,
                          (names[1] or "") if len(inputs) > 1 else "")
    report = json.loads(text)
    for key, name in zip(("groundtruth", "system"), names):
        if name is None:
            report[key]["file"] = None
    # The rules the files were read under, as the command states them.
    report["rules"] = json.loads(_talmira.rules_json(_rules_of(readings)))
    return report


def _rules_of(readings):
    """The rules options the readings give, None for the defaults."""
    return readings[0]["rules"] if readings[0] is not None else None


def _check_as_benchmark(gt, sys, format, gt_format, sys_format, options):
    """Under rules="mot" on MOT files, reads the files as score() does
    there, raising what it raises; the report stays this format's reader's."""
    if sys is None and format is None:
        sys_format = gt_format  # the ground truth alone is read as both files
    inputs = _benchmark_inputs(gt, gt if sys is None else sys, format, gt_format, sys_format,
                               options)
    if inputs is None:
        return
    paths = inputs[0]
    if sys is None:
        paths = [paths[0], ""]
    try:
        _talmira.benchmark_check(*paths, *inputs[1:])
    except _talmira.ReadFailure as failure:
        raise _file_error(failure, paths) from None
