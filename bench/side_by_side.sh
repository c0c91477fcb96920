# Timing two commands side by side, for the benchmark scripts: sourced, with
# `work` (a scratch folder) and `pairs` (how many alternating pairs) set.
# Needs /usr/bin/time (Debian: time).

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Runs a command once; sets wall (seconds) and peak (KiB).
timed() {
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/peak" "$@" > /dev/null
  end=$(date +%s.%N)
  wall=$(awk -v s="$start" -v e="$end" 'BEGIN { print e - s }')
  peak=$(tail -1 "$work/peak")
}
# Runs A and B in turn K times, after one untimed run of each (the files
# into the page cache). Sets pair_ratio (the median of the pairs' ratios
# A/B), pair_low and pair_high (the smallest and largest of them),
# pair_wall_a and pair_wall_b (median seconds), pair_peak_a and pair_peak_b
# (median peak memory, MiB).
pair_figures() {
  local a="$1" b="$2" ratios=() peaks_a=() peaks_b=() walls_a=() walls_b=()
  eval "$a" > /dev/null; eval "$b" > /dev/null
  for _ in $(seq "$pairs"); do
    eval "timed $a"; local wa=$wall; peaks_a+=("$peak"); walls_a+=("$wall")
    eval "timed $b"; peaks_b+=("$peak"); walls_b+=("$wall")
    ratios+=("$(awk -v a="$wa" -v b="$wall" 'BEGIN { print a / b }')")
  done
  pair_ratio=$(median "${ratios[@]}")
  pair_low=$(printf '%s\n' "${ratios[@]}" | sort -g | head -1)
  pair_high=$(printf '%s\n' "${ratios[@]}" | sort -g | tail -1)
  pair_wall_a=$(median "${walls_a[@]}")
  pair_wall_b=$(median "${walls_b[@]}")
  pair_peak_a=$(( $(median "${peaks_a[@]}") / 1024 ))
  pair_peak_b=$(( $(median "${peaks_b[@]}") / 1024 ))
}
# The same, printed as a row: label, both medians, the ratio, both peaks.
side_by_side() {
  pair_figures "$2" "$3"
  printf '| %s | %.3f s | %.3f s | %.3f | %d MiB | %d MiB |\n' "$1" "$pair_wall_a" "$pair_wall_b" \
    "$pair_ratio" "$pair_peak_a" "$pair_peak_b"
}
