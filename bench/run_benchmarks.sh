#!/usr/bin/env bash
# End-to-end benchmark of `talmira` and TalmiraConsole on synthetic
# sequences, every figure a ratio measured in one run, the two commands of
# each pair alternating.
#
#   bench/run_benchmarks.sh [--quick] [--pairs K] [--only NAME[,NAME...]]
#                           [--no-python] [--no-batch] [--batch-only]
#
# Builds the `bench` preset, writes the workloads into a temporary folder
# (removed at exit) and runs each pair of commands A and B in turn, K times
# (default 7) after one untimed run of each (the files then come from the
# page cache); a figure is the median of the K ratios A/B, with their
# smallest and largest, the median seconds and the median peak memory of
# each (GNU time). The yardstick is the parsing floor, bench/parse_floor:
# both files read at once, a thread each, in 1 MiB blocks, every record's
# nine whole numbers parsed with std::from_chars and its confidence as a
# float, nothing kept. On a shared machine the seconds move with the other
# work; a ratio of commands run in turn moves much less.
#
# Figures (goal in brackets):
#   - on long, long10 and dense: `talmira score gt sys --format json` (all
#     cores) over the floor on the same files [1.25; dense 2], and
#     `TalmiraConsole gt sys result` the same [1.25; dense 2];
#   - on long and dense: `talmira sweep --exact --format csv`, `talmira
#     explain` [1.2] and, on long, `talmira view -o page.html` [1.4] over
#     that score;
#   - crowded: `talmira score` on one frame of 10,000 identical ground-truth
#     boxes against 10,000 detections shifted by 0 to 6 pixels, over the
#     floor on long [4];
#   - Python: `talmira.score(gt_frame, sys_frame)` on DataFrames already in
#     memory over `talmira.score(gt_path, sys_path)`, the calls alternating
#     in one process [1.1]; the peak is the memory the call added.
#
# Workloads (frames x boxes per frame): long 100,000 x 20, dense 100 x 5,000,
# long10 1,000,000 x 20 (2.6 GB of files), crowded 1 x 10,000.
# --quick: long is 10,000 x 20, long10 is left out, 3 pairs unless --pairs.
# --only: run only the named workloads (long, dense, long10, crowded,
#   python); crowded needs long's files and generates them.
# --no-python: leave out the Python figure (also left out when the bench
#   preset built no module).
#
# Then a dataset for `talmira batch`: 100 sequences of 2,000 frames x 20
# boxes (one generated pair listed 100 times under different names), scored
# with -j 1 and -j 2: the speed-up, and the peak memory against that of
# `talmira score -j 1` on one of the sequences. --no-batch leaves it out,
# --batch-only runs only this.
#
# The micro-benchmarks are built by the same preset:
#   build/bench/bench/talmira_micro_benchmarks
set -euo pipefail

quick=0
batch_only=0
no_batch=0
no_python=0
only=""
pairs=""
repeats=3  # the batch figures' runs
timeout_seconds=600
usage() {
  echo "Usage: $0 [--quick] [--pairs K] [--only NAME[,NAME...]] [--no-python] [--no-batch] [--batch-only]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --batch-only) batch_only=1 ;;
    --no-batch) no_batch=1 ;;
    --no-python) no_python=1 ;;
    --only)
      [ $# -ge 2 ] || usage
      only=",$2,"
      shift
      ;;
    --pairs)
      [ $# -ge 2 ] && [[ "$2" =~ ^[1-9][0-9]*$ ]] || usage
      pairs="$2"
      shift
      ;;
    *) usage ;;
  esac
  shift
done
if [ -z "$pairs" ]; then
  pairs=7
  [ "$quick" -eq 1 ] && pairs=3
fi

cd "$(dirname "$0")/.."
root="$(pwd)"

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
# median, timed, pair_figures and side_by_side, on $work and $pairs.
source "$root/bench/side_by_side.sh"

echo "Building the bench preset..." >&2
if ! cmake --workflow --preset bench >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  echo "Build failed." >&2
  exit 1
fi
# The commit as built (a change made while the script runs is not in it).
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=""
[ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ] && dirty=" (with changes not committed)"
console="$root/build/bench/TalmiraConsole"
generator="$root/build/bench/bench/generate_sequence"
floor="$root/build/bench/bench/parse_floor"
tool="$root/build/bench/talmira/talmira"

# Wall time of a command in seconds (microsecond clock), its output discarded.
seconds_of() {
  local start end
  start=$EPOCHREALTIME
  "$@" >/dev/null
  end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

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

wanted() { [ -z "$only" ] || [[ "$only" == *",$1,"* ]]; }
long_frames=100000
[ "$quick" -eq 1 ] && long_frames=10000

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

generate() {  # name frames boxes
  [ -d "$work/$1" ] && return
  echo "Generating $1: $2 frames x $3 boxes..." >&2
  "$generator" --frames "$2" --boxes "$3" --seed 1 --out-dir "$work/$1" >/dev/null
}

rows=()
notes=()
# A row of the table: label, goal, and the figures pair_figures left.
row() {
  local met=no
  awk -v r="$pair_ratio" -v g="$2" 'BEGIN { exit !(r <= g) }' && met=yes
  rows+=("$(printf '| %s | %.3f | %.3f to %.3f | %s | %s | %.3f s | %.3f s | %d MiB | %d MiB |' "$1" \
    "$pair_ratio" "$pair_low" "$pair_high" "$2" "$met" "$pair_wall_a" "$pair_wall_b" \
    "$pair_peak_a" "$pair_peak_b")")
}

# The whole program and `talmira score` over the floor, on one workload;
# the counts of one run of each kept as notes, the floor's record count too.
against_floor() {  # name goal
  local name=$1 goal=$2 gt="$work/$1/groundtruth.csv" sys="$work/$1/systemoutput.csv"
  echo "Timing $name: score, TalmiraConsole and the floor in pairs..." >&2
  pair_figures "$tool score $gt $sys --format json" "$floor $gt $sys"
  row "$name: talmira score (A) vs floor (B)" "$goal"
  pair_figures "$console $gt $sys $work/result.csv </dev/null" "$floor $gt $sys"
  row "$name: TalmiraConsole (A) vs floor (B)" "$goal"
  "$tool" score "$gt" "$sys" --format json >"$work/score.json"
  "$console" "$gt" "$sys" "$work/result.csv" </dev/null >"$work/console.txt"
  notes+=("$name (floor): $("$floor" "$gt" "$sys" | sed "s|$work/$name/||g" | tr '\n' ';' | sed 's/;$//')")
  notes+=("$name (talmira score): $(grep -A 6 '"class": "All"' "$work/score.json" | tr -d ' \n')")
  notes+=("$name (TalmiraConsole): $(grep -m 1 'All GT#' "$work/console.txt" | sed 's/^ *//')")
}

# sweep, explain and (on long) view over the score, on one workload.
against_score() {  # name
  local name=$1 gt="$work/$1/groundtruth.csv" sys="$work/$1/systemoutput.csv"
  local score="$tool score $gt $sys --format json"
  echo "Timing $name: sweep, explain and view beside the score in pairs..." >&2
  pair_figures "$tool sweep $gt $sys --exact --format csv" "$score"
  row "$name: talmira sweep --exact (A) vs score (B)" 1.2
  pair_figures "$tool explain $gt $sys" "$score"
  row "$name: talmira explain (A) vs score (B)" 1.2
  # explain's All counts are the score's.
  local explained scored
  explained=$("$tool" explain "$gt" "$sys" | awk '$1 == "All" && !seen { print $2, $3, $4, $5; seen = 1 }')
  scored=$($score | tr -d ' \n' |
    sed 's/.*"class":"All","gt":\([0-9]*\),"det":\([0-9]*\),"fn":\([0-9]*\),"fp":\([0-9]*\).*/\1 \2 \3 \4/')
  if [ "$explained" != "$scored" ]; then
    echo "talmira explain ($explained) and score ($scored) disagree on $name" >&2
    exit 1
  fi
  if [ "$name" = long ]; then
    pair_figures "$tool view $gt $sys -o $work/view.html" "$score"
    row "$name: talmira view (A) vs score (B)" 1.4
    notes+=("$name (view): page $(awk -v b="$(stat -c %s "$work/view.html")" 'BEGIN { printf "%.1f", b / 1048576 }') MB")
    rm -f "$work/view.html"
  fi
}

if wanted long || wanted crowded; then generate long "$long_frames" 20; fi
if wanted long; then
  against_floor long 1.25
  against_score long
fi
if wanted crowded; then
  echo "Timing crowded beside the floor on long in pairs..." >&2
  write_crowd "$work/crowded" 10000
  pair_figures "$tool score $work/crowded/groundtruth.csv $work/crowded/systemoutput.csv --format json" \
    "$floor $work/long/groundtruth.csv $work/long/systemoutput.csv"
  row "crowded: talmira score (A) vs floor on long (B)" 4
  notes+=("crowded (talmira score): $("$tool" score "$work/crowded/groundtruth.csv" \
    "$work/crowded/systemoutput.csv" --format json | grep -A 6 '"class": "All"' | tr -d ' \n')")
fi
if wanted python && [ "$no_python" -eq 0 ]; then
  if compgen -G "$root/build/bench/python/talmira/_talmira*.so" >/dev/null; then
    generate long "$long_frames" 20
    echo "Timing Python: DataFrames beside paths in pairs..." >&2
    python_row=$(PYTHONPATH="$root/build/bench/python" /usr/bin/python3 \
      "$root/bench/python_pairs.py" --pairs "$pairs" "$work/long")
    rows+=("$python_row")
  else
    notes+=("python: left out, the bench preset built no module (python3-dev and pybind11-dev)")
  fi
fi
rm -rf "$work/long" "$work/crowded"
if wanted dense; then
  generate dense 100 5000
  against_floor dense 2
  against_score dense
  rm -rf "$work/dense"
fi
if [ "$quick" -eq 0 ] && wanted long10; then
  generate long10 1000000 20
  against_floor long10 1.25
  rm -rf "$work/long10"
fi

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo
echo "## talmira and TalmiraConsole against the parsing floor"
echo
echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- Machine: $(nproc) cores, ${cpu:-unknown CPU}, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), Linux $(uname -r)"
echo "- Commit: $commit$dirty, build: bench preset (Release)"
echo "- Median of $pairs alternating pairs (A B A B ...) of each row's A/B, with the smallest and largest; seconds and peak memory: medians"
echo "- Load average (1 min) at the end: $(cut -d' ' -f1 /proc/loadavg)"
[ "$quick" -eq 1 ] && echo "- Quick run (--quick): long is $long_frames frames"
echo
echo "| Figure | A/B | pairs' range | goal | met | A s | B s | peak A | peak B |"
echo "|---|---:|---:|---:|---|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
echo
echo "Counts, as a check that every run read and scored the same files:"
echo
for note in "${notes[@]}"; do echo "- $note"; done

[ "$no_batch" -eq 1 ] || batch_benchmark
