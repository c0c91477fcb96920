#!/usr/bin/env bash
# COCO's average precision on a COCO-sized set, side by side with scoring the
# same files, and the growth with the set's size.
#
#   bench/ap_benchmark.sh [--pairs K] [--build DIR] [--scale F]
#
# Writes (bench/generate_coco.py) a set of 5,000 images, 36,000 annotations
# and 500,000 detections in 80 categories (times F, default 1) and one ten
# times smaller, then runs, K alternating pairs each (default 7):
#   1. `talmira ap` (A) against `talmira score --overlap iou --min-overlap 0.5`
#      (B) on the large set: the median time ratio and both peak memories;
#   2. `talmira ap` on the large set (A) against the small one (B): how the
#      time grows with ten times the images;
#   3. the same for `talmira score` (its COCO reader).
# Needs /usr/bin/time (Debian: time).
set -euo pipefail

pairs=7
build=build/release
scale=1
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --scale) scale="$2"; shift 2 ;;
    *) echo "usage: $0 [--pairs K] [--build DIR] [--scale F]" >&2; exit 2 ;;
  esac
done
root=$(cd "$(dirname "$0")/.." && pwd)
talmira="$build/talmira/talmira"
[ -x "$talmira" ] || { echo "no $talmira: build it first (cmake --workflow --preset release)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# median, timed and side_by_side, on $work and $pairs.
source "$root/bench/side_by_side.sh"

size() { awk -v s="$scale" -v n="$1" 'BEGIN { printf "%d", s * n }'; }
python3 "$root/bench/generate_coco.py" "$work/large" --images "$(size 5000)" \
  --truths "$(size 36000)" --detections "$(size 500000)"
python3 "$root/bench/generate_coco.py" "$work/small" --images "$(size 500)" \
  --truths "$(size 3600)" --detections "$(size 50000)"
echo "- $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, commit $(git -C "$root" rev-parse --short HEAD), median of $pairs alternating pairs"
echo
echo "| workload | A | B | A/B | peak A | peak B |"
echo "|---|---|---|---|---|---|"
score="score --gt-format coco --sys-format coco --overlap iou --min-overlap 0.5 --min-side 0"
large="$work/large/instances.json $work/large/results.json"
small="$work/small/instances.json $work/small/results.json"
side_by_side "$(size 500000) detections: ap (A) vs score at IoU 0.5 (B)" \
  "$talmira ap $large" "$talmira $score $large"
side_by_side "ap: $(size 5000) images (A) vs $(size 500) (B)" "$talmira ap $large" "$talmira ap $small"
side_by_side "score: $(size 5000) images (A) vs $(size 500) (B)" \
  "$talmira $score $large" "$talmira $score $small"
