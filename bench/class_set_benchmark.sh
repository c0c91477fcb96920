#!/usr/bin/env bash
# Classes of another dataset, many of them: the same boxes scored in 1,203
# classes (as LVIS has) and in ten, side by side.
#
#   bench/class_set_benchmark.sh [--frames N] [--pairs K] [--build DIR] [--baseline TALMIRA]
#
# Writes (bench/generate_class_sets.py) a MOT-layout pair of N frames x 20
# boxes (default 100,000) whose labels 1..1203 are mapped by one class map
# onto 1,203 classes and by another onto ten, then runs `talmira score` with
# each map in turn, K pairs (default 7), and prints the median of the
# pairs' time ratios (1,203 over ten; a frame's work should follow the
# classes in it, not the set's size) and both peak memories. With
# --baseline, also the long workload of this format (100,000 x 20, from
# generate_sequence) scored by this build and by TALMIRA in turn: the ratio
# of this build's time to the other's. Needs /usr/bin/time (Debian: time).
set -euo pipefail

frames=100000
pairs=7
build=build/release
baseline=""
while [ $# -gt 0 ]; do
  case "$1" in
    --frames) frames="$2"; shift 2 ;;
    --pairs) pairs="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --baseline) baseline="$2"; shift 2 ;;
    *) echo "usage: $0 [--frames N] [--pairs K] [--build DIR] [--baseline TALMIRA]" >&2; exit 2 ;;
  esac
done
root=$(cd "$(dirname "$0")/.." && pwd)
talmira="$build/talmira/talmira"
[ -x "$talmira" ] || { echo "no $talmira: build it first (cmake --workflow --preset release)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# median, timed and side_by_side, on $work and $pairs.
source "$root/bench/side_by_side.sh"

python3 "$root/bench/generate_class_sets.py" --frames "$frames" --boxes 20 --out-dir "$work"
echo "- $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, commit $(git -C "$root" rev-parse --short HEAD), median of $pairs alternating pairs"
echo
echo "| workload | A | B | A/B | peak A | peak B |"
echo "|---|---|---|---|---|---|"
mot="--gt-format mot --sys-format mot"
side_by_side "$frames x 20 boxes: 1,203 classes (A) vs 10 (B)" \
  "$talmira score $work/gt.txt $work/det.txt $mot --classes $work/map1203.csv --format json" \
  "$talmira score $work/gt.txt $work/det.txt $mot --classes $work/map10.csv --format json"
if [ -n "$baseline" ]; then
  generator="$root/build/bench/bench/generate_sequence"
  [ -x "$generator" ] || cmake --build --preset bench --target generate_sequence > /dev/null
  "$generator" --frames 100000 --boxes 20 --seed 1 --out-dir "$work/long" > /dev/null
  side_by_side "long, this format: this build (A) vs $baseline (B)" \
    "$talmira score $work/long/groundtruth.csv $work/long/systemoutput.csv --format csv" \
    "$baseline score $work/long/groundtruth.csv $work/long/systemoutput.csv --format csv"
fi
