"""Running the two programs with standard input closed."""

import os
import subprocess
import time


# A run's limit: a sanitizer build on a shared machine takes many times the
# release build's time (COCO's corpus files through `talmira ap` passed 30 s
# there), and ctest's own timeout still bounds each test as a whole.
RUN_SECONDS = float(os.environ.get("TALMIRA_CROSSCHECK_RUN_SECONDS", "300"))


def run_quietly(command):
    """Run with standard input closed, waiting out a binary being relinked."""
    for attempt in range(20):
        try:
            return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=RUN_SECONDS)
        except OSError:
            if attempt == 19:
                raise
            time.sleep(0.5)


# The options of the current case's rules, for the tool (empty for the defaults).
RULE_ARGS = []


def run_tool(tool, args):
    """(standard output or None, exit status) of talmira score on the console's arguments."""
    command = [tool, "score", args[0], args[1], "--format", "csv"] + RULE_ARGS
    if len(args) > 3:
        command += ["-c", args[3]] + args[4:]
    proc = run_quietly(command)
    status = proc.returncode % 256
    return (proc.stdout if status == 0 else None), status


def run_binary(binary, args, result_path):
    if os.path.exists(result_path):
        os.remove(result_path)
    for attempt in range(10):
        try:
            proc = subprocess.run([binary] + args, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=30)
            break
        except OSError:
            # the binary may be in the middle of being relinked
            if attempt == 9:
                raise
            time.sleep(0.5)
    result = None
    if os.path.exists(result_path):
        with open(result_path, "rb") as fh:
            result = fh.read()
    return proc.stdout, result, proc.returncode % 256
