#!/usr/bin/env python3
"""Runs the examples shown in Markdown pages and compares what they print.

    check_examples.py --root ROOT [--path DIR]... [--pythonpath DIR] PAGE...

A page marks the examples it vouches for with an HTML comment on the line
before a fenced block (blank lines between are allowed):

  <!-- example -->                  a block of `$ command` lines, each followed
                                    by what it prints (standard output and
                                    error together)
  <!-- example in DIR -->           the same, run in DIR (relative to ROOT)
  <!-- example writes F as P -->    also: the file F the commands write must
                                    hold the bytes of the repository's file P
  <!-- example output of: CMD -->   the block is only what CMD prints
  <!-- doctest -->                  a Python block of `>>>` statements and
                                    their output, run with doctest; the
                                    doctest blocks of a page share their names

Commands run with bash from a scratch copy of ROOT (its top-level entries
linked, so that what an example writes lands in the copy), with the --path
folders (the built executables) first on PATH. Python runs in this process
with --pythonpath first on sys.path, from the same copy. Output is compared
exactly, except that CR LF is read as LF (a page cannot show a CR), and
blanks at the ends of lines and line ends at the end do not count. A marker
with no block after it, or a block that shows no command, is a failure too.
Exits 1 naming each example that does not print what its page shows, with
the difference.
"""

import argparse
import difflib
import doctest
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile

MARKER = re.compile(r"^<!--\s*(example|doctest)\b(.*?)-->\s*$")
FENCE = re.compile(r"^(\s*)(```|~~~)")


def marked_blocks(path):
    """(line of the marker, kind, options, line of the block's first line, block lines)."""
    lines = open(path, encoding="utf-8").read().split("\n")
    blocks, i = [], 0
    while i < len(lines):
        match = MARKER.match(lines[i].strip())
        if not match:
            i += 1
            continue
        marker_line = i + 1
        j = i + 1
        while j < len(lines) and not lines[j].strip():
            j += 1
        if j >= len(lines) or not FENCE.match(lines[j]):
            blocks.append((marker_line, match.group(1), match.group(2).strip(), None, None))
            i = j
            continue
        indent = len(FENCE.match(lines[j]).group(1))  # a block in a list item is indented
        k = j + 1
        while k < len(lines) and not FENCE.match(lines[k]):
            k += 1
        block = [line[indent:] if line[:indent].isspace() else line for line in lines[j + 1:k]]
        blocks.append((marker_line, match.group(1), match.group(2).strip(), j + 2, block))
        i = k + 1
    return blocks


def commands_and_outputs(block):
    """[(command, shown output)] of a block of `$ ` lines and their output."""
    pairs = []
    for line in block:
        if line.startswith("$ "):
            pairs.append([line[2:], []])
        elif pairs:
            pairs[-1][1].append(line)
    return [(command, "\n".join(shown)) for command, shown in pairs]


def normalized(text):
    """CR LF as LF, no blanks at line ends, no line ends at the end."""
    lines = text.replace("\r\n", "\n").split("\n")
    return "\n".join(line.rstrip(" \t") for line in lines).rstrip("\n")


class BlanksAtLineEndsDoNotCount(doctest.OutputChecker):
    """doctest's exact comparison, but for blanks at the ends of lines, which
    pandas writes and a page does not keep."""

    def check_output(self, want, got, optionflags):
        return super().check_output(normalized(want) + "\n", normalized(got) + "\n", optionflags)


def run(command, cwd, env):
    done = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=300)
    return done.stdout.decode("utf-8", "backslashreplace")


def difference(shown, printed):
    return "\n".join(difflib.unified_diff(shown.split("\n"), printed.split("\n"),
                                          "shown", "printed", lineterm=""))


def scratch_copy(root):
    scratch = tempfile.mkdtemp(prefix="talmira-examples-")
    for entry in os.listdir(root):
        if entry not in (".git", "build"):
            os.symlink(os.path.join(root, entry), os.path.join(scratch, entry))
    return scratch


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--path", action="append", default=[])
    parser.add_argument("--pythonpath")
    parser.add_argument("--skip-doctest", action="store_true",
                        help="count the doctest blocks but do not run them (no Python module built)")
    parser.add_argument("pages", nargs="+")
    args = parser.parse_args()
    root = os.path.realpath(args.root)
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([os.path.realpath(p) for p in args.path] + [env.get("PATH", "")])
    if args.pythonpath:
        sys.path.insert(0, os.path.realpath(args.pythonpath))

    failures, examples, commands, doctests, statements, skipped = [], 0, 0, 0, 0, 0
    for page in args.pages:
        where = os.path.relpath(os.path.realpath(page), root)
        blocks = marked_blocks(page)
        scratch = scratch_copy(root)
        globs = {"__name__": "__doc_examples__"}
        try:
            for marker_line, kind, options, first_line, block in blocks:
                here = "%s:%d" % (where, marker_line)
                if block is None:
                    failures.append("%s: marker without a fenced block after it" % here)
                    continue
                if kind == "doctest" and args.skip_doctest:
                    skipped += 1
                    continue
                if kind == "doctest":
                    test = doctest.DocTestParser().get_doctest("\n".join(block), globs, here, page, first_line - 1)
                    if not test.examples:
                        failures.append("%s: doctest block without a >>> statement" % here)
                        continue
                    report = io.StringIO()
                    runner = doctest.DocTestRunner(checker=BlanksAtLineEndsDoNotCount(), optionflags=0)
                    cwd = os.getcwd()
                    os.chdir(scratch)
                    try:
                        result = runner.run(test, out=report.write, clear_globs=False)
                    finally:
                        os.chdir(cwd)
                    globs = test.globs  # the page's next block sees these names (the test ran on a copy)
                    doctests += 1
                    statements += len(test.examples)
                    if result.failed:
                        failures.append("%s: %d of %d statements do not print what is shown\n%s"
                                        % (here, result.failed, len(test.examples), report.getvalue()))
                    continue
                examples += 1
                match = re.match(r"^(?:in\s+(\S+))?\s*(?:writes\s+(\S+)\s+as\s+(\S+))?\s*(?:output of:\s*(.*))?$", options)
                if not match:
                    failures.append("%s: marker options not understood: %r" % (here, options))
                    continue
                folder, written, expected_file, command = match.groups()
                cwd = os.path.join(scratch, folder) if folder else scratch
                if command:
                    pairs = [(command.strip(), "\n".join(block))]
                else:
                    pairs = commands_and_outputs(block)
                if not pairs:
                    failures.append("%s: example block without a `$ ` command" % here)
                    continue
                for command, shown in pairs:
                    commands += 1
                    printed = normalized(run(command, cwd, env))
                    if printed != normalized(shown):
                        failures.append("%s: `%s` does not print what is shown:\n%s"
                                        % (here, command, difference(normalized(shown), printed)))
                if written:
                    with open(os.path.join(cwd, written), "rb") as f_written, \
                            open(os.path.join(root, expected_file), "rb") as f_expected:
                        if f_written.read() != f_expected.read():
                            failures.append("%s: the %s written is not %s" % (here, written, expected_file))
        finally:
            shutil.rmtree(scratch)

    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("%d shell examples (%d commands) and %d Python blocks (%d statements) in %d pages: "
          "each prints what its page shows" % (examples, commands, doctests, statements, len(args.pages)))
    if skipped:
        print("%d Python blocks not run: no Python module built" % skipped)
    return 0


if __name__ == "__main__":
    sys.exit(main())
