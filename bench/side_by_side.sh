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
# Runs A and B in turn K times; prints the median ratio A/B and both medians.
side_by_side() {
  local label="$1" a="$2" b="$3" ratios=() peaks_a=() peaks_b=() walls_a=() walls_b=()
  eval "$a" > /dev/null; eval "$b" > /dev/null  # files into the page cache
  for _ in $(seq "$pairs"); do
    eval "timed $a"; local wa=$wall; peaks_a+=("$peak"); walls_a+=("$wall")
    eval "timed $b"; peaks_b+=("$peak"); walls_b+=("$wall")
    ratios+=("$(awk -v a="$wa" -v b="$wall" 'BEGIN { print a / b }')")
  done
  printf '| %s | %.3f s | %.3f s | %.3f | %d MiB | %d MiB |\n' "$label" "$(median "${walls_a[@]}")" \
    "$(median "${walls_b[@]}")" "$(median "${ratios[@]}")" "$(( $(median "${peaks_a[@]}") / 1024 ))" \
    "$(( $(median "${peaks_b[@]}") / 1024 ))"
}
