#!/usr/bin/env bash
# End-to-end benchmark of TalmiraConsole and `talmira score` on synthetic sequences.
#
#   bench/run_benchmarks.sh [--quick] [--timeout SECONDS] [--batch-only]
#                           [--only NAME[,NAME...]] [--no-batch]
#
# Builds the `bench` preset, writes the workloads into a temporary folder
# (removed at exit) and, for each, times side by side:
#   - `wc -l` over the two files: the floor, every byte touched once;
#   - the whole program, `TalmiraConsole gt sys result < /dev/null`, under
#     /usr/bin/time for its peak memory;
#   - `talmira score gt sys --format json` the same way, beside it, with the
#     cores it finds and with -j 1 (one thread, both files read whole: the
#     single-threaded road), and the speed-up of the one over the other;
#   - on long and dense, `talmira sweep gt sys --exact --format csv` (the
#     whole curve of every class, written out) beside that score, once with
#     the cores it finds and once held to one core (taskset -c 0), with the
#     naive figure for a 101-point grid: 101 times the score's time (an
#     estimate from the measured score, not 101 runs);
#   - on long, dense and long10, `talmira explain gt sys` (every class's
#     misses and false alarms by cause, the confusion matrix, the worst
#     frames; text) beside that score: its time and peak memory over the
#     score's, and a check that its All counts are the score's;
#   - on long, `talmira view gt sys -o page.html` (the default --frames:
#     the frames with errors, at most 1,000) beside that score: its time and
#     peak memory over the score's, and the page's size (goals: at most 3
#     times the score's time, a page under 20 MB without pictures).
# Each is run 3 times and the median kept; the files are read once untimed
# first, so every timed run reads them from the page cache. Prints the
# machine and a Markdown table.
#
# Workloads (frames x boxes per frame):
#   long 100,000 x 20, dense 100 x 5,000, huge 1 x 20,000,
#   dense2 100 x 10,000 and huge2 1 x 40,000 (twice dense and huge: the time
#   should double, not quadruple), long10 1,000,000 x 20 (ten times long:
#   the memory should not grow), and crowded: one frame of 10,000 identical
#   ground-truth boxes against 10,000 boxes shifted by 0 to 6 pixels (a
#   detector without non-maximum suppression).
# --quick: long is 10,000 x 20, and dense2, huge2 and long10 are left out.
# --timeout: a program run longer than this (default 600 s) is stopped and
#   reported as such; its workload's remaining runs are skipped.
# --only: run only the named workloads (e.g. --only long,dense);
# --no-batch: leave out the dataset below.
#
# Then a dataset for `talmira batch`: 100 sequences of 2,000 frames x 20
# boxes (one generated pair listed 100 times under different names), scored
# with -j 1 and -j 2: the speed-up, and the peak memory against that of
# `talmira score -j 1` on one of the sequences. --batch-only runs only this.
#
# The micro-benchmarks are built by the same preset:
#   build/bench/bench/talmira_micro_benchmarks
set -euo pipefail

quick=0
batch_only=0
no_batch=0
only=""
timeout_seconds=600
usage() {
  echo "Usage: $0 [--quick] [--timeout SECONDS] [--batch-only] [--only NAME[,NAME...]] [--no-batch]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --batch-only) batch_only=1 ;;
    --no-batch) no_batch=1 ;;
    --only)
      [ $# -ge 2 ] || usage
      only=",$2,"
      shift
      ;;
    --timeout)
      [ $# -ge 2 ] || usage
      timeout_seconds="$2"
      shift
      ;;
    *) usage ;;
  esac
  shift
done

cd "$(dirname "$0")/.."
root="$(pwd)"
repeats=3

# What a fresh Debian machine may lack: the compiler, CMake, Google Benchmark
# and GNU time (the shell's `time` keyword gives no peak memory).
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing: ${need[*]}; install them (apt-get install ${need[*]}) and run again." >&2
    exit 1
  fi
  apt-get update >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}" >&2
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "Building the bench preset..." >&2
if ! cmake --workflow --preset bench >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  echo "Build failed." >&2
  exit 1
fi
console="$root/build/bench/TalmiraConsole"
generator="$root/build/bench/bench/generate_sequence"
tool="$root/build/bench/talmira/talmira"

if [ "$quick" -eq 1 ]; then
  workloads=("long 10000 20" "dense 100 5000" "huge 1 20000" "crowded 1 10000")
else
  workloads=("long 100000 20" "dense 100 5000" "huge 1 20000" "dense2 100 10000" "huge2 1 40000"
    "long10 1000000 20" "crowded 1 10000")
fi

# One frame of `boxes` identical ground-truth boxes, and as many system boxes
# shifted by 0 to 6 pixels in x and y.
write_crowd() {
  local dir=$1 boxes=$2
  mkdir -p "$dir"
  awk -v n="$boxes" -v gt="$dir/groundtruth.csv" -v sys="$dir/systemoutput.csv" 'BEGIN {
    header = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,c14,c15"
    print header > gt
    print header > sys
    srand(1)
    for (i = 0; i < n; ++i) print "1,100,100,200,100,200,180,100,180,Car,FALSE,FALSE,1,," > gt
    for (i = 0; i < n; ++i) {
      x = 100 + int(rand() * 7); y = 100 + int(rand() * 7)
      printf "1,%d,%d,%d,%d,%d,%d,%d,%d,Car,FALSE,FALSE,0.9,,\n", x, y, x + 100, y, x + 100, y + 80, x, y + 80 > sys
    }
  }'
}

# Wall time of a command in seconds (microsecond clock), its output discarded.
seconds_of() {
  local start end
  start=$EPOCHREALTIME
  "$@" >/dev/null
  end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Runs a program `repeats` times, standard input from /dev/null and its
# output into $1; sets measured_s (median wall seconds) and measured_kib
# (median peak memory, KiB). Returns 1, with measured_s saying so, when a
# run had to be stopped after the timeout.
measure() {
  local output="$1" start end status times=() memory=()
  shift
  for _ in $(seq "$repeats"); do
    start=$EPOCHREALTIME
    status=0
    timeout "$timeout_seconds" /usr/bin/time -f '%e %M' -o "$work/time.txt" \
      "$@" </dev/null >"$output" 2>&1 || status=$?
    end=$EPOCHREALTIME
    if [ "$status" -eq 124 ]; then
      measured_s="> $timeout_seconds (stopped)"
      return 1
    fi
    if [ "$status" -ne 0 ]; then
      cat "$output" >&2
      echo "$1 failed (status $status)." >&2
      exit 1
    fi
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')")
    # GNU time's last line is "%e %M" (a line before it reports a signal).
    memory+=("$(tail -n 1 "$work/time.txt" | awk '{ print $2 }')")
  done
  measured_s=$(median "${times[@]}")
  measured_kib=$(median "${memory[@]}")
}

# ---------------------------------------------------------------------------
# Dataset: `talmira batch` on 100 sequences, -j 1 against -j 2.
# CPU seconds (user + system) of one run: with the wall time it shows
# whether the run had its cores, on a machine shared with other work.
cpu_seconds() {
  /usr/bin/time -f '%U %S' -o "$work/cpu.txt" "$@" </dev/null >/dev/null 2>&1
  tail -n 1 "$work/cpu.txt" | awk '{ printf "%.2f", $1 + $2 }'
}

batch_benchmark() {
  local dir="$work/dataset" sequences=100 frames=2000 boxes=20 load_before
  load_before=$(cut -d' ' -f1 /proc/loadavg)
  echo "Generating the dataset: $sequences sequences of $frames frames x $boxes boxes..." >&2
  "$generator" --frames "$frames" --boxes "$boxes" --seed 1 --out-dir "$dir"
  {
    echo "sequence,groundtruth,system"
    for i in $(seq "$sequences"); do echo "seq$i,groundtruth.csv,systemoutput.csv"; done
  } >"$dir/list.csv"
  wc -l "$dir/groundtruth.csv" "$dir/systemoutput.csv" >/dev/null

  echo "Running talmira score -j 1 on one sequence..." >&2
  measure "$work/one.csv" "$tool" score "$dir/groundtruth.csv" "$dir/systemoutput.csv" -j 1 \
    --format csv || return 1
  local one_s=$measured_s one_kib=$measured_kib
  echo "Running talmira batch -j 1..." >&2
  measure "$work/batch1.csv" "$tool" batch "$dir/list.csv" -j 1 --format csv || return 1
  local j1_s=$measured_s j1_kib=$measured_kib
  echo "Running talmira batch -j 2..." >&2
  measure "$work/batch2.csv" "$tool" batch "$dir/list.csv" -j 2 --format csv || return 1
  local j2_s=$measured_s j2_kib=$measured_kib
  local j1_cpu j2_cpu
  j1_cpu=$(cpu_seconds "$tool" batch "$dir/list.csv" -j 1 --format csv)
  j2_cpu=$(cpu_seconds "$tool" batch "$dir/list.csv" -j 2 --format csv)
  if ! cmp -s "$work/batch1.csv" "$work/batch2.csv"; then
    echo "talmira batch -j 1 and -j 2 differ." >&2
    exit 1
  fi

  echo
  echo "## talmira batch: $sequences sequences of $frames frames x $boxes boxes"
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, median of $repeats runs, files in the page cache"
  echo "- Load average (1 min) before: $load_before, after: $(cut -d' ' -f1 /proc/loadavg)"
  echo "- CPU seconds (user + system) of one run: -j 1 $j1_cpu, -j 2 $j2_cpu; a wall time well above"
  echo "  CPU / cores means the run waited for cores other work held"
  echo
  echo "| Run | Wall s | Peak MB | Peak / one sequence's score |"
  echo "|---|---:|---:|---:|"
  awk -v s="$one_s" -v k="$one_kib" 'BEGIN { printf "| score -j 1, one sequence | %.3f | %.1f | 1.00 |\n", s, k / 1024 }'
  awk -v s="$j1_s" -v k="$j1_kib" -v o="$one_kib" \
    'BEGIN { printf "| batch -j 1 | %.3f | %.1f | %.2f |\n", s, k / 1024, k / o }'
  awk -v s="$j2_s" -v k="$j2_kib" -v o="$one_kib" \
    'BEGIN { printf "| batch -j 2 | %.3f | %.1f | %.2f |\n", s, k / 1024, k / o }'
  echo
  awk -v a="$j1_s" -v b="$j2_s" -v k="$j2_kib" -v o="$one_kib" 'BEGIN {
    printf "Speed-up -j 2 over -j 1: %.2f (goal >= 1.8); peak memory -j 2 / one sequence: %.2f (goal <= 3)\n",
           a / b, k / o }'
  echo "Pooled All row (-j 1 and -j 2 identical): $(grep '^(all),All,' "$work/batch2.csv")"
}

if [ "$batch_only" -eq 1 ]; then
  batch_benchmark
  exit 0
fi

rows=()
notes=()
sweep_rows=()
explain_rows=()
view_rows=()
for workload in "${workloads[@]}"; do
  read -r name frames boxes <<<"$workload"
  if [ -n "$only" ] && [[ "$only" != *",$name,"* ]]; then continue; fi
  dir="$work/$name"
  echo "Generating $name: $frames frames x $boxes boxes..." >&2
  if [ "$name" = crowded ]; then
    write_crowd "$dir" "$boxes"
  else
    "$generator" --frames "$frames" --boxes "$boxes" --seed 1 --out-dir "$dir"
  fi
  gt="$dir/groundtruth.csv"
  sys="$dir/systemoutput.csv"
  bytes=$(($(stat -c %s "$gt") + $(stat -c %s "$sys")))
  size_mb=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }')

  # The floor: one untimed pass loads the page cache, then the timed ones.
  wc -l "$gt" "$sys" >/dev/null
  wc_times=()
  for _ in $(seq "$repeats"); do wc_times+=("$(seconds_of wc -l "$gt" "$sys")"); done
  wc_s=$(median "${wc_times[@]}")

  echo "Running TalmiraConsole on $name..." >&2
  if ! measure "$work/output.txt" "$console" "$gt" "$sys" "$work/result.csv"; then
    rows+=("| $name | $frames | $boxes | $size_mb | $wc_s | $measured_s | - | - | - | - | - | - | - | - | - |")
    rm -rf "$dir"
    continue
  fi
  run_s=$measured_s
  peak_kib=$measured_kib
  echo "Running talmira score on $name..." >&2
  tool_s="-"
  tool_kib=0
  if measure "$work/tool.json" "$tool" score "$gt" "$sys" --format json; then
    tool_s=$measured_s
    tool_kib=$measured_kib
  fi
  echo "Running talmira score -j 1 on $name..." >&2
  one_s="-"
  one_kib=0
  if measure "$work/tool1.json" "$tool" score "$gt" "$sys" --format json -j 1; then
    one_s=$measured_s
    one_kib=$measured_kib
    cmp -s "$work/tool.json" "$work/tool1.json" || {
      echo "talmira score -j 1 and -j $(nproc) disagree on $name" >&2
      exit 1
    }
  fi
  rows+=("$(awk -v n="$name" -v f="$frames" -v b="$boxes" -v mb="$size_mb" -v w="$wc_s" \
    -v r="$run_s" -v k="$peak_kib" -v bytes="$bytes" -v t="$tool_s" -v tk="$tool_kib" \
    -v o="$one_s" -v ok="$one_kib" 'BEGIN {
      ratio = w > 0 ? sprintf("%.1f", r / w) : "-"
      tool = t == "-" ? "- | - | -" : sprintf("%.3f | %s | %.1f", t, w > 0 ? sprintf("%.1f", t / w) : "-", tk / 1024)
      one = o == "-" || t == "-" ? "- | - | -" : sprintf("%.3f | %.2f | %.1f", o, o / t, ok / 1024)
      printf "| %s | %d | %d | %s | %.3f | %.3f | %s | %.1f | %.2f | %s | %s |", n, f, b, mb, w, r,
             ratio, k / 1024, k * 1024 / bytes, tool, one }')")
  notes+=("$name: $(grep -m 1 'All GT#' "$work/output.txt" | sed 's/^ *//')")
  notes+=("$name (talmira): $(grep -A 6 '"class": "All"' "$work/tool.json" | tr -d ' \n')")

  if { [ "$name" = long ] || [ "$name" = dense ]; } && [ "$tool_s" != "-" ]; then
    echo "Running talmira sweep --exact on $name..." >&2
    sweep_s="-"
    sweep_kib=0
    single_s="-"
    if measure "$work/sweep.csv" "$tool" sweep "$gt" "$sys" --exact --format csv; then
      sweep_s=$measured_s
      sweep_kib=$measured_kib
      notes+=("$name (sweep, All at 0): $(grep '^All,0,' "$work/sweep.csv")")
    fi
    if command -v taskset >/dev/null &&
      measure "$work/sweep.csv" taskset -c 0 "$tool" sweep "$gt" "$sys" --exact --format csv; then
      single_s=$measured_s
    fi
    sweep_rows+=("$(awk -v n="$name" -v t="$tool_s" -v tk="$tool_kib" -v s="$sweep_s" \
      -v sk="$sweep_kib" -v one="$single_s" -v rows="$(($(wc -l <"$work/sweep.csv") - 1))" 'BEGIN {
        sweep = s == "-" ? "- | -" : sprintf("%.3f | %.2f", s, s / t)
        single = one == "-" ? "- | -" : sprintf("%.3f | %.2f", one, one / t)
        memory = s == "-" ? "- | -" : sprintf("%.1f | %.2f", sk / 1024, sk / tk)
        naive = 101 * t
        printf "| %s | %.3f | %s | %s | %.1f | %s | %d | %.1f | %s |", n, t, sweep, single,
               tk / 1024, memory, rows, naive, s == "-" ? "-" : sprintf("%.0f", naive / s) }')")
  fi
  if { [ "$name" = long ] || [ "$name" = dense ] || [ "$name" = long10 ]; } &&
    [ "$tool_s" != "-" ]; then
    echo "Running talmira explain on $name..." >&2
    if measure "$work/explain.txt" "$tool" explain "$gt" "$sys"; then
      # The All row of the counts table against the score's All counts.
      explained=$(awk '$1 == "All" { print $2, $3, $4, $5; exit }' "$work/explain.txt")
      scored=$(tr -d ' \n' <"$work/tool.json" |
        sed 's/.*"class":"All","gt":\([0-9]*\),"det":\([0-9]*\),"fn":\([0-9]*\),"fp":\([0-9]*\).*/\1 \2 \3 \4/')
      if [ "$explained" != "$scored" ]; then
        echo "talmira explain ($explained) and score ($scored) disagree on $name" >&2
        exit 1
      fi
      notes+=("$name (explain): All GT Det FN FP $explained; $(grep -A 12 '^Points lost' "$work/explain.txt" |
        awk '$1 == "All" { printf "%s %s %s; ", $2 == "false" ? "false alarm" : $2, $(NF - 2), $(NF - 1) }')")
      explain_rows+=("$(awk -v n="$name" -v t="$tool_s" -v tk="$tool_kib" -v e="$measured_s" \
        -v ek="$measured_kib" 'BEGIN {
          printf "| %s | %.3f | %.3f | %.2f | %.1f | %.1f | %.2f |", n, t, e, e / t, tk / 1024,
                 ek / 1024, ek / tk }')")
    else
      explain_rows+=("| $name | $tool_s | $measured_s | - | - | - | - |")
    fi
  fi
  if [ "$name" = long ] && [ "$tool_s" != "-" ]; then
    echo "Running talmira view on $name..." >&2
    if measure "$work/view.txt" "$tool" view "$gt" "$sys" -o "$work/view.html"; then
      view_rows+=("$(awk -v n="$name" -v t="$tool_s" -v tk="$tool_kib" -v v="$measured_s" \
        -v vk="$measured_kib" -v bytes="$(stat -c %s "$work/view.html")" \
        -v held="$(grep -c '<template class="frame"' "$work/view.html")" 'BEGIN {
          printf "| %s | %.3f | %.3f | %.2f | %.1f | %.1f | %.2f | %d | %.1f |", n, t, v, v / t,
                 tk / 1024, vk / 1024, vk / tk, held, bytes / 1048576 }')")
    else
      view_rows+=("| $name | $tool_s | $measured_s | - | - | - | - | - | - |")
    fi
    rm -f "$work/view.html"
  fi
  rm -rf "$dir"  # long10 alone is 2.7 GB
done

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
echo
echo "## TalmiraConsole end-to-end benchmark"
echo
echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- Machine: $(nproc) cores, ${cpu:-unknown CPU}, Linux $(uname -r)"
echo "- Commit: $commit (working tree as built), build: bench preset (Release)"
echo "- Times: median of $repeats runs, wall seconds, files in the page cache"
[ "$quick" -eq 1 ] && echo "- Quick run (--quick)"
echo
echo "Program: TalmiraConsole (all cores). score: talmira score --format json (all cores);"
echo "-j 1: the same on one thread, files read whole; speed-up: -j 1 time / score time."
echo
echo "| Workload | Frames | Boxes/frame | Input MB | wc -l s | Program s | Program / wc | Peak MB | Peak / input | score s | score / wc | score peak MB | -j 1 s | speed-up | -j 1 peak MB |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
echo
echo "Counts (class All), as a check that every run scored the same sequence:"
echo
for note in "${notes[@]}"; do echo "- $note"; done
if [ ${#sweep_rows[@]} -gt 0 ]; then
  echo
  echo "### talmira sweep --exact beside talmira score"
  echo
  echo "Goals: sweep / score at most 1.5 (time and peak) on long and on dense."
  echo "\"1 core\": the sweep held to one core with taskset. Naive: 101 x the score's median"
  echo "time, an estimate of scoring a 101-point grid one threshold at a time."
  echo
  echo "| Workload | score s | sweep s | sweep / score | sweep 1 core s | 1 core / score | score peak MB | sweep peak MB | sweep peak / score peak | curve rows | naive 101-point s (est.) | naive / sweep |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  printf '%s\n' "${sweep_rows[@]}"
fi

if [ ${#explain_rows[@]} -gt 0 ]; then
  echo
  echo "### talmira explain beside talmira score"
  echo
  echo "Goals: explain / score at most 1.5 (time and peak) on long. Both with the cores they"
  echo "find: files whose frame numbers only grow are explained while they are read."
  echo
  echo "| Workload | score s | explain s | explain / score | score peak MB | explain peak MB | explain peak / score peak |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  printf '%s\n' "${explain_rows[@]}"
fi

if [ ${#view_rows[@]} -gt 0 ]; then
  echo
  echo "### talmira view beside talmira score"
  echo
  echo "Goals on long: view / score at most 3 (time); the page under 20 MB (no pictures)."
  echo "view: the default --frames (frames with errors, at most 1,000 held)."
  echo
  echo "| Workload | score s | view s | view / score | score peak MB | view peak MB | view peak / score peak | frames held | page MB |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
  printf '%s\n' "${view_rows[@]}"
fi

[ "$no_batch" -eq 1 ] || batch_benchmark
