#!/usr/bin/env bash
# `talmira stability` side by side with `talmira score` on the same long
# sequence with identities: one MOT sequence of 100,000 frames, about 20
# boxes a frame (bench/generate_tracks.py), K alternating pairs each
# (default 5):
#   1. stability (A) against score (B, on all cores, as it runs by
#      default), both with the detection matching (--gt-format mot
#      --sys-format mot, this format's rules): goal A/B at most 1.5;
#      then the same against score -j 1 (one core);
#   2. stability --rules mot (A, CLEAR's matching) against score --rules mot (B);
#   3. stability on the first quarter of the sequence, 25,000 frames (A),
#      against the whole (B): what the length costs in memory, with four
#      times the tracks (a row each in the report);
#   4. the same quarter (A) against another 100,000 frames of as many
#      tracks, each four times as long (B): the length alone (goal: the
#      two peaks nearly equal).
# stability's detection road reads both files frame by frame while it
# matches (the ground truth, listed track by track, by merging its tracks),
# each file in a thread of its own; score reads the MOT files whole.
# CLEAR's road (--rules mot) reads both whole, as talmira track does.
# Needs /usr/bin/time (Debian: time).
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
# The first 25,000 frames, for the length's cost.
awk -F, '$1 <= 25000' "$gt" > "$work/quarter-gt.txt"
awk -F, '$1 <= 25000' "$sys" > "$work/quarter-sys.txt"
# 100,000 frames of tracks four times as long: as many as the quarter's.
python3 "$root/bench/generate_tracks.py" "$work/longlife" --sequences 1 --frames 100000:100000 \
  --people 20 --life 200:600 --switch-rate 0.001
lifegt="$work/longlife/SEQ-01/gt/gt.txt"
lifesys="$work/longlife/tracker/SEQ-01.txt"
mot="--gt-format mot --sys-format mot"

echo "- $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, commit $(git -C "$root" rev-parse --short HEAD), median of $pairs alternating pairs"
identities() { cut -d, -f2 "$1" | sort -u | wc -l; }
echo "- 100,000 frames, $(wc -l < "$gt") ground-truth boxes of $(identities "$gt") identities, $(wc -l < "$sys") detections"
echo "- its first 25,000 frames: $(wc -l < "$work/quarter-gt.txt") boxes of $(identities "$work/quarter-gt.txt") identities"
echo "- 100,000 frames of longer tracks: $(wc -l < "$lifegt") boxes of $(identities "$lifegt") identities"
echo
echo "| workload | A | B | A/B | peak A | peak B |"
echo "|---|---|---|---|---|---|"
side_by_side "stability (A) vs score (B), goal 1.5" \
  "$talmira stability $mot --format json $gt $sys" "$talmira score $mot --format json $gt $sys"
side_by_side "stability (A) vs score -j 1 (B)" \
  "$talmira stability $mot --format json $gt $sys" "$talmira score -j 1 $mot --format json $gt $sys"
side_by_side "stability --rules mot (A) vs score -j 1 --rules mot (B)" \
  "$talmira stability $mot --rules mot --format json $gt $sys" \
  "$talmira score -j 1 $mot --rules mot --format json $gt $sys"
side_by_side "stability, 25,000 frames (A) vs 100,000 (B)" \
  "$talmira stability $mot --format json $work/quarter-gt.txt $work/quarter-sys.txt" \
  "$talmira stability $mot --format json $gt $sys"
side_by_side "stability, 25,000 frames (A) vs 100,000 of as many tracks (B)" \
  "$talmira stability $mot --format json $work/quarter-gt.txt $work/quarter-sys.txt" \
  "$talmira stability $mot --format json $lifegt $lifesys"
