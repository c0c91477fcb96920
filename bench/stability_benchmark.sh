#!/usr/bin/env bash
# `talmira stability` side by side with `talmira score` on the same long
# sequence with identities: one MOT sequence of 100,000 frames, about 20
# boxes a frame (bench/generate_tracks.py), K alternating pairs each
# (default 5):
#   1. stability (A) against score (B), both with the detection matching
#      (--gt-format mot --sys-format mot, this format's rules): goal A/B at
#      most 1.5;
#   2. stability --rules mot (A, CLEAR's matching) against score --rules mot (B);
#   3. stability on the first half of the sequence (A) against the whole
#      (B): what the length costs in memory.
# Both read the files whole (the MOT formats are not streamed), on one
# thread (score -j 1). Needs /usr/bin/time (Debian: time).
#
#   bench/stability_benchmark.sh [--pairs K] [--build DIR]
set -euo pipefail

pairs=5
build=build/release
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    *) echo "usage: $0 [--pairs K] [--build DIR]" >&2; exit 2 ;;
  esac
done
root=$(cd "$(dirname "$0")/.." && pwd)
talmira="$(cd "$build" 2>/dev/null && pwd)/talmira/talmira"
[ -x "$talmira" ] || { echo "no $build/talmira/talmira: build it first (cmake --workflow --preset release)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# median, timed and side_by_side, on $work and $pairs.
source "$root/bench/side_by_side.sh"

python3 "$root/bench/generate_tracks.py" "$work/long" --sequences 1 --frames 100000:100000 \
  --people 20 --life 50:150 --switch-rate 0.001
gt="$work/long/SEQ-01/gt/gt.txt"
sys="$work/long/tracker/SEQ-01.txt"
# The first 50,000 frames, for the length's cost.
awk -F, '$1 <= 50000' "$gt" > "$work/half-gt.txt"
awk -F, '$1 <= 50000' "$sys" > "$work/half-sys.txt"
mot="--gt-format mot --sys-format mot"

echo "- $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, commit $(git -C "$root" rev-parse --short HEAD), median of $pairs alternating pairs"
echo "- 100,000 frames, $(wc -l < "$gt") ground-truth boxes of $(cut -d, -f2 "$gt" | sort -u | wc -l) identities, $(wc -l < "$sys") detections"
echo
echo "| workload | A | B | A/B | peak A | peak B |"
echo "|---|---|---|---|---|---|"
side_by_side "stability (A) vs score -j 1 (B)" \
  "$talmira stability $mot --format json $gt $sys" "$talmira score -j 1 $mot --format json $gt $sys"
side_by_side "stability --rules mot (A) vs score -j 1 --rules mot (B)" \
  "$talmira stability $mot --rules mot --format json $gt $sys" \
  "$talmira score -j 1 $mot --rules mot --format json $gt $sys"
side_by_side "stability, 50,000 frames (A) vs 100,000 (B)" \
  "$talmira stability $mot --format json $work/half-gt.txt $work/half-sys.txt" \
  "$talmira stability $mot --format json $gt $sys"
