#!/usr/bin/env bash
# The Python module beside the command on the long workload (100,000 frames
# x 20 boxes; --quick: 10,000 x 20).
#
#   bench/python_benchmark.sh [--quick]
#
# Builds the `bench` preset (Release; it builds the module too, for Debian's
# /usr/bin/python3), writes the workload into a temporary folder (removed at
# exit) and times, each the median of 3 runs with the files in the page cache:
#   - `talmira score GT SYS --format json`, the whole process;
#   - `talmira.score(GT, SYS)` from the paths, the call inside one Python
#     process (the interpreter's start and the import are left out, as a
#     notebook or a training loop pays them once);
#   - `talmira.score(gt_frame, sys_frame)` on DataFrames already in memory
#     (read by pandas.read_csv beforehand, untimed).
# The three must give the same counts; the script fails when they do not.
set -euo pipefail

frames=100000
[ "${1:-}" = "--quick" ] && frames=10000
boxes=20
cd "$(dirname "$0")/.."
root="$(pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "Building the bench preset..." >&2
if ! cmake --workflow --preset bench >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  exit 1
fi
tool="$root/build/bench/talmira/talmira"
[ -f "$root"/build/bench/python/talmira/_talmira*.so ] || {
  echo "The bench preset built no Python module (python3-dev and pybind11-dev installed?)." >&2
  exit 1
}
echo "Generating long: $frames frames x $boxes boxes..." >&2
"$root/build/bench/bench/generate_sequence" --frames "$frames" --boxes "$boxes" --seed 1 \
  --out-dir "$work/long"

PYTHONPATH="$root/build/bench/python" /usr/bin/python3 - "$tool" "$work/long" <<'PY'
import json
import os
import statistics
import subprocess
import sys
import time

import pandas as pd

import talmira

tool, folder = sys.argv[1], sys.argv[2]
gt, sysout = os.path.join(folder, "groundtruth.csv"), os.path.join(folder, "systemoutput.csv")
size_mb = (os.path.getsize(gt) + os.path.getsize(sysout)) / 1048576
repeats = 3


def median_seconds(run):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        value = run()
        times.append(time.perf_counter() - start)
    return statistics.median(times), value


for path in (gt, sysout):  # into the page cache
    with open(path, "rb") as fh:
        while fh.read(1 << 24):
            pass

command_s, out = median_seconds(lambda: subprocess.run(
    [tool, "score", gt, sysout, "--format", "json"], check=True, stdout=subprocess.PIPE,
    stdin=subprocess.DEVNULL).stdout)
command_all = json.loads(out)["classes"][0]
paths_s, from_paths = median_seconds(lambda: talmira.score(gt, sysout))


def read_frame(path):
    frame = pd.read_csv(path, keep_default_na=False)
    frame.columns = list(talmira.COLUMNS) + ["text", "number"]
    return frame


start = time.perf_counter()
gt_frame, sys_frame = read_frame(gt), read_frame(sysout)
read_csv_s = time.perf_counter() - start
frames_s, from_frames = median_seconds(lambda: talmira.score(gt_frame, sys_frame))

if not (from_paths["All"] == from_frames["All"] == command_all):
    sys.exit("the counts differ: %r %r %r" % (command_all, from_paths["All"], from_frames["All"]))
rows = len(gt_frame) + len(sys_frame)
print("## talmira from Python, long workload")
print()
print("- %d frames x %d boxes, %d records, %.1f MB; median of %d runs, wall seconds"
      % (len(set(gt_frame["frame"])), 20, rows, size_mb, repeats))
print("- Machine: %d cores; Python %s" % (os.cpu_count(), sys.version.split()[0]))
print()
print("| Run | s | / command |")
print("|---|---:|---:|")
print("| `talmira score --format json` (process) | %.3f | 1.00 |" % command_s)
print("| `talmira.score(paths)` (call) | %.3f | %.2f |" % (paths_s, paths_s / command_s))
print("| `talmira.score(DataFrames)` (call) | %.3f | %.2f |" % (frames_s, frames_s / command_s))
print()
print("pandas.read_csv of the two files (untimed above): %.3f s" % read_csv_s)
print("All: %s" % json.dumps(from_paths["All"]))
PY
