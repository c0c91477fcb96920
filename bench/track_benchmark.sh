#!/usr/bin/env bash
# The tracking measures (`talmira track`: HOTA, CLEAR, Identity) on a
# MOT17-sized dataset, side by side with scoring the same files, and on one
# long sequence of many identities.
#
#   bench/track_benchmark.sh [--pairs K] [--build DIR] [--jobs N]
#
# Writes (bench/generate_tracks.py) 21 MOT17-like sequences (about 337,000
# ground-truth and 230,000 tracker boxes) and one sequence of 100,000 frames
# with 20,000 identities on each side (about 20 boxes a frame, each person
# seen for 50 to 150 frames), then runs, K alternating pairs each (default 5):
#   1. `talmira track` on each of the 21 sequences, one after the other (A),
#      against `talmira score -j N --gt-format mot --sys-format mot --rules
#      mot` on the same files (B): the median ratio of the total times (goal:
#      at most 2) and the peak memory of each side's largest run;
#   2. `talmira track` on the long sequence (A) against the same score (B):
#      the time and the peak memory (goal: at most 300 MB for A).
# `talmira track` runs on one thread (it has no -j); the score on N (default
# 2). Needs /usr/bin/time (Debian: time).
set -euo pipefail

pairs=5
build=build/release
jobs=2
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    *) echo "usage: $0 [--pairs K] [--build DIR] [--jobs N]" >&2; exit 2 ;;
  esac
done
root=$(cd "$(dirname "$0")/.." && pwd)
talmira="$(cd "$build" 2>/dev/null && pwd)/talmira/talmira"
[ -x "$talmira" ] || { echo "no $build/talmira/talmira: build it first (cmake --workflow --preset release)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# median, timed and side_by_side, on $work and $pairs.
source "$root/bench/side_by_side.sh"

python3 "$root/bench/generate_tracks.py" "$work/mot"
python3 "$root/bench/generate_tracks.py" "$work/long" --sequences 1 --frames 100000:100000 \
  --people 20 --life 50:150 --missed-people 0.15 --switch-rate 0.001 --tracker-ids 20000

# Each side as one command over the whole dataset: /usr/bin/time gives the
# peak of its largest run.
score="score -j $jobs --gt-format mot --sys-format mot --rules mot --format json"
for side in track score; do
  command="track --format json"
  [ "$side" = score ] && command="$score"
  {
    echo '#!/bin/sh'
    echo 'set -e'
    for gt in "$work"/mot/SEQ-*/gt/gt.txt; do
      name=$(basename "$(dirname "$(dirname "$gt")")")
      echo "\"$talmira\" $command \"$gt\" \"$work/mot/tracker/$name.txt\""
    done
  } >"$work/$side-all"
  chmod +x "$work/$side-all"
done

boxes() { cat "$@" | wc -l; }
ids() { cut -d, -f2 "$@" | sort -u | wc -l; }
long_gt="$work/long/SEQ-01/gt/gt.txt"
long_sys="$work/long/tracker/SEQ-01.txt"
echo "- $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, commit $(git -C "$root" rev-parse --short HEAD), median of $pairs alternating pairs"
echo "- dataset: 21 sequences, $(boxes "$work"/mot/SEQ-*/gt/gt.txt) ground-truth and $(boxes "$work"/mot/tracker/*.txt) tracker boxes"
echo "- long: 100,000 frames, $(boxes "$long_gt") ground-truth boxes of $(ids "$long_gt") identities, $(boxes "$long_sys") tracker boxes of $(ids "$long_sys") identities"
echo
echo "| workload | A | B | A/B | peak A | peak B |"
echo "|---|---|---|---|---|---|"
side_by_side "21 sequences: track (A) vs score -j $jobs (B)" "$work/track-all" "$work/score-all"
side_by_side "long, 20,000 ids a side: track (A) vs score -j $jobs (B)" \
  "$talmira track --format json $long_gt $long_sys" "$talmira $score $long_gt $long_sys"
