#!/usr/bin/env bash
# A dataset of 200 sequences scored on a Dask cluster of two worker processes
# on this machine (talmira.batch(..., client=client)) beside `talmira batch
# -j 2` over the same LIST: what spreading the sequences over Dask costs where
# the command alone would do.
#
#   bench/dask_benchmark.sh [--quick]
#
# Builds the `bench` preset (Release, with the Python module for Debian's
# /usr/bin/python3), writes four generated pairs of 2,000 frames x 20 boxes
# (--quick: 200 frames) into a temporary folder (removed at exit) and lists
# each 50 times under different names, so that the files stay in the page
# cache. Times, each the median of 3 runs:
#   - `talmira batch LIST -j 2 --format csv`, the whole process;
#   - talmira.batch(LIST, jobs=2) in one Python process (no Dask);
#   - talmira.batch(LIST, client=client) on a LocalCluster of two worker
#     processes of one thread each, on the loopback address; the cluster's
#     start and the first call (the workers import the module) are timed
#     apart;
# plain and with --sweep. Every result must be the command's CSV, byte for
# byte; the script fails otherwise. The timing itself is
# bench/dask_benchmark.py. Needs python3-distributed.
set -euo pipefail

frames=2000
[ "${1:-}" = "--quick" ] && frames=200
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
/usr/bin/python3 -c 'import distributed' 2>/dev/null || {
  echo "Dask's distributed is missing (apt-get install python3-distributed)." >&2
  exit 1
}

echo "Generating 4 pairs of $frames frames x $boxes boxes..." >&2
for seed in 1 2 3 4; do
  "$root/build/bench/bench/generate_sequence" --frames "$frames" --boxes "$boxes" \
    --seed "$seed" --out-dir "$work/pair$seed"
done
{
  echo "sequence,groundtruth,system"
  for i in $(seq 200); do
    seed=$(((i - 1) % 4 + 1))
    echo "seq$i,pair$seed/groundtruth.csv,pair$seed/systemoutput.csv"
  done
} >"$work/list.csv"
cat "$work"/pair*/*.csv >/dev/null # into the page cache

# The timing is in Python; a file of its own, since Dask's worker processes
# start by importing the main module again.
PYTHONPATH="$root/build/bench/python" /usr/bin/python3 "$root/bench/dask_benchmark.py" "$tool" \
  "$work/list.csv" "$frames" "$boxes"
