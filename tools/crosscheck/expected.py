"""What the model expects of a run: the console's standard output, result file
and exit status, and the CSV and exit status of `talmira score`.
"""

import re

from .counts import score
from .floats import f32
from .records import parse_annotation


def c_atof(text):
    m = re.match(r"[ \t\n\v\f\r]*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)", text)
    return float(m.group(1)) if m else 0.0


def expected_run(args, files):
    """(stdout bytes, result file bytes or None, exit status) for one run.

    args: the command-line arguments after the program name.
    files: dict path -> bytes of the annotation files that exist.
    """
    out = []
    fail_prompt = "\n[Enter any character to quit]:"
    if len(args) not in (3, 4):
        out.append("Usage: TalmiraConsole.exe groundtruth.csv systemoutput.csv "
                   "result.csv confidence(optional)\r\n")
        out.append(fail_prompt)
        return "".join(out).encode("latin-1"), None, 255
    threshold = 0.0
    if len(args) == 4:
        threshold = f32(c_atof(args[3]))
        out.append("Confidence %f is used \r\n" % threshold)
        if threshold < 0.0 or threshold > 1.0:
            out.append("Invalid confidence %f is not in (0.0-1.0)\r\n" % threshold)
            out.append(fail_prompt)
            return "".join(out).encode("latin-1"), None, 255
    gt_path, sys_path = args[0], args[1]
    parsed = {}
    for path in (gt_path, sys_path):
        if path in files:
            parsed[path] = parse_annotation(files[path])
        else:
            out.append("COULD NOT OPEN SEQUENCE AT:\n%s" % path)
    if gt_path not in files:
        out.append("Cannot open GroundTruth file: %s\r\n" % gt_path)
        out.append(fail_prompt)
        return "".join(out).encode("latin-1"), b"", 255
    if sys_path not in files:
        out.append("Cannot open SystemOutput file: %s\r\n" % sys_path)
        out.append(fail_prompt)
        return "".join(out).encode("latin-1"), b"", 255
    console, result = score(parsed[gt_path], parsed[sys_path], threshold)
    out.extend(console)
    out.append("%s and %s have been evaluated at confidence %f.\r\n"
               % (gt_path, sys_path, threshold))
    out.append("\n[Enter charater to quit]:")
    return ("".join(out).encode("latin-1"),
            "".join(result).encode("latin-1"), 0)


TOOL_CONFIDENCE = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def tool_threshold(args, files):
    """(threshold, exit status so far) of the tool on the console's arguments."""
    tail = args[3:]
    threshold = 0.0
    if len(tail) > 1:
        return None, 2
    if tail:
        # The tool takes a plain decimal number from 0 to 1 and nothing else.
        if not TOOL_CONFIDENCE.fullmatch(tail[0]):
            return None, 2
        threshold = f32(float(tail[0]))
        if not 0.0 <= threshold <= 1.0:
            return None, 2
    if args[0] not in files or args[1] not in files:
        return None, 1
    return threshold, 0


def expected_tool_run(args, files):
    """(CSV bytes or None, exit status) of `talmira score GT SYS [-c C] --format csv`.

    args: the console's arguments (GT, SYS, result, optional confidence and
    more), mapped onto the tool: the confidence goes to -c, anything after it
    is an unexpected argument.
    """
    gt_path, sys_path = args[0], args[1]
    threshold, status = tool_threshold(args, files)
    if status != 0:
        return None, status
    _, result = score(parse_annotation(files[gt_path]), parse_annotation(files[sys_path]),
                      threshold)
    rows = ["class,gt,det,fn,fp,frames,nmodta\n"]
    for line in result:
        rows.append(",".join(field.strip() for field in line.split(",")) + "\n")
    return "".join(rows).encode("latin-1"), 0
