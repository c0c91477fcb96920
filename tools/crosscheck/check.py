"""One case: the programs run and the model's prediction of them compared,
what differs described, and a failing pair shrunk to a small reproducer.
"""

import difflib
import os

from . import runner
from .events import check_events
from .expected import expected_run, expected_tool_run
from .records import ModelInputError
from .rules import set_rules
from .runner import run_binary, run_tool


def check(binary, workdir, gt, sysout, extra, tool=None, events=None, stats=None, rules=None):
    """`rules`: (model rules, tool options) of a case under other scoring
    rules (random_rules()), or None."""
    set_rules(None)
    runner.RULE_ARGS = []
    gt_path = os.path.join(workdir, "gt.csv")
    sys_path = os.path.join(workdir, "sys.csv")
    res_path = os.path.join(workdir, "result.csv")
    files = {}
    for path, data in ((gt_path, gt), (sys_path, sysout)):
        if data is None:
            if os.path.exists(path):
                os.remove(path)
        else:
            with open(path, "wb") as fh:
                fh.write(data)
            files[path] = data
    args = [gt_path, sys_path, res_path] + extra
    expected = expected_run(args, files)
    actual = run_binary(binary, args, res_path)
    if rules is not None:
        set_rules(rules[0])
        runner.RULE_ARGS = list(rules[1])
    if tool is not None:
        # The tool's CSV must hold the counts and NMODTA text of the console's
        # result file whenever the console completes, and fail as the model says.
        expected += expected_tool_run(args, files)
        actual += run_tool(tool, args)
        agreement = ""
        if (rules is None and expected[3] is not None and actual[3] is not None
                and actual[2] == 0):
            console_rows = [",".join(f.strip() for f in line.split(","))
                            for line in actual[1].decode("latin-1").splitlines()]
            tool_rows = actual[3].decode("latin-1").splitlines()[1:]
            if console_rows != tool_rows:
                agreement = "console and tool disagree"
        expected += ("",)
        actual += (agreement,)
        if events is not None:
            expected += ("",)
            actual += (check_events(tool, args, files, events, stats),)
    set_rules(None)
    runner.RULE_ARGS = []
    return expected, actual, args


def describe(expected, actual):
    text = []
    names = ("standard output", "result file", "exit status", "tool output", "tool exit status",
             "agreement", "events")
    for name, e, a in zip(names, expected, actual):
        if e == a:
            continue
        if name in ("agreement", "events"):
            text.append(str(a))
            continue
        if name.endswith("exit status"):
            text.append("exit status: expected %d, actual %d" % (e, a))
            continue
        if e is None or a is None:
            text.append("%s: expected %s, actual %s" % (
                name, "absent" if e is None else "present",
                "absent" if a is None else "present"))
            continue
        el = e.decode("latin-1").replace("\r", "\\r").splitlines(True)
        al = a.decode("latin-1").replace("\r", "\\r").splitlines(True)
        diff = difflib.unified_diff(el, al, "expected " + name, "actual " + name)
        text.append("".join(diff).rstrip("\n"))
    return "\n".join(text)


def shrink(binary, workdir, gt, sysout, extra, tool=None, events=None, rules=None):
    """Drop record lines while the mismatch persists."""
    def split(data):
        if data is None:
            return None
        return data.decode("latin-1").splitlines(True)

    def join(lines):
        return None if lines is None else "".join(lines).encode("latin-1")

    def fails(g, s, x):
        try:
            e, a, _ = check(binary, workdir, join(g), join(s), x, tool, events, rules=rules)
        except ModelInputError:
            return False
        return e != a

    g, s, x = split(gt), split(sysout), list(extra)
    if x and fails(g, s, []):
        x = []
    changed = True
    while changed:
        changed = False
        for which in (0, 1):
            lines = g if which == 0 else s
            if lines is None:
                continue
            i = len(lines) - 1
            while i >= 1:
                trial = lines[:i] + lines[i + 1:]
                ok = fails(trial, s, x) if which == 0 else fails(g, trial, x)
                if ok:
                    lines = trial
                    if which == 0:
                        g = lines
                    else:
                        s = lines
                    changed = True
                i -= 1
    return join(g), join(s), x
