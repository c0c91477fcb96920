#!/usr/bin/env bash
# Reading other formats: a generated MOTChallenge pair of 100,000 frames,
# read by the MOT reader beside the same boxes in this format.
#
#   bench/formats_benchmark.sh [--frames N] [--boxes B]
#
# Builds the `bench` preset, then in a temporary folder (removed at exit):
#   - format_reading_benchmark writes the pair (a ground truth listed track by
#     track, as the benchmark's files are, and a detector's output frame by
#     frame with decimal coordinates and scores; B objects a frame, default
#     10) and the same records in this format, and times the reading alone of
#     each file, median of 5: the MOT reader against this format's reader;
#   - end to end, median of 3, each after one untimed run so the files come
#     from the page cache: `wc -l` over the two files (the floor: every byte
#     touched once), `talmira convert` of both, `talmira score -j 1` of the
#     converted pair and `talmira score -j 1 --gt-format mot --sys-format mot`
#     of the MOT pair, whose outputs must be the same bytes.
# Prints the machine and Markdown tables.
set -euo pipefail
cd "$(dirname "$0")/.."

frames=100000
boxes=10
while [ $# -gt 0 ]; do
  case "$1" in
    --frames) frames="$2"; shift 2 ;;
    --boxes) boxes="$2"; shift 2 ;;
    *) echo "Usage: $0 [--frames N] [--boxes B]" >&2; exit 2 ;;
  esac
done

nice -n 10 cmake --workflow --preset bench > /dev/null
tool="$(pwd)/build/bench/talmira/talmira"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
echo "Pair: $frames frames x $boxes objects"
echo
echo "Reading alone (format_reading_benchmark, median of 5):"
echo
build/bench/bench/format_reading_benchmark --frames "$frames" --boxes "$boxes" \
  --out-dir "$work" --repeat 5
echo

# The median wall time of 3 runs of a command, after one untimed run.
median() {
  "$@" > /dev/null
  local times=()
  for _ in 1 2 3; do
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null
    end=$(date +%s%N)
    times+=("$(( (end - start) / 1000000 ))")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 2p
}

cd "$work"
mot=(--gt-format mot --sys-format mot --classes map.csv)
"$tool" score gt.csv det.csv -j 1 --format csv > native.csv
"$tool" score gt.txt det.txt -j 1 --format csv "${mot[@]}" > direct.csv
if ! cmp -s native.csv direct.csv; then
  echo "the MOT pair scores otherwise than its conversion" >&2
  exit 1
fi
convert_both() {
  "$tool" convert gt.txt --from mot --classes map.csv -o gt-converted.csv
  "$tool" convert det.txt --from mot --system --classes map.csv -o det-converted.csv
}
wc_ms=$(median wc -l gt.txt det.txt)
convert_ms=$(median convert_both)
native_ms=$(median "$tool" score gt.csv det.csv -j 1 --format csv)
direct_ms=$(median "$tool" score gt.txt det.txt -j 1 --format csv "${mot[@]}")
echo "End to end (median of 3, ms):"
echo
echo "| Run | ms |"
echo "|---|---:|"
echo "| wc -l gt.txt det.txt | $wc_ms |"
echo "| talmira convert gt.txt, det.txt | $convert_ms |"
echo "| talmira score -j 1, this format | $native_ms |"
echo "| talmira score -j 1, MOT read directly | $direct_ms |"
echo
awk -v a="$direct_ms" -v b="$native_ms" \
  'BEGIN { printf "score of the MOT pair / score of the same boxes in this format: %.2f (goal <= 1.5 for the reading)\n", a / b }'
