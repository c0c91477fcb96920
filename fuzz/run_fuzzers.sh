#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers in build/fuzz,
# then either
#   --replay            runs each target over its seed corpus once (fails on any crash)
#   --smoke [SECONDS]   replays, then fuzzes each target SECONDS (default 20)
#   --run SECONDS       fuzzes each target SECONDS, one after the other
# With no option it replays. Fuzzing starts from a scratch copy of the seed
# corpus under a temporary folder (FUZZ_WORK_DIR to choose it), so what
# libFuzzer adds never lands in the repository. Crashes are written to
# <work dir>/artifacts/<target>/. FUZZ_TARGETS picks targets (default all nine);
# FUZZ_JOBS runs that many targets at once (default 1), each printing its
# output when it ends. FUZZ_BUILD names a configured build folder that holds
# the targets instead (the sanitizer preset's, build/asan, does): they are
# brought up to date there.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=replay
seconds=20
case "${1:-}" in
  "" | --replay) mode=replay ;;
  --smoke) mode=smoke; seconds="${2:-20}" ;;
  --run)
    mode=run
    seconds="${2:?--run needs a number of seconds}"
    ;;
  *)
    echo "usage: $0 [--replay | --smoke [SECONDS] | --run SECONDS]" >&2
    exit 2
    ;;
esac

targets=(${FUZZ_TARGETS:-fuzz_reader fuzz_scoring fuzz_frame_matching fuzz_streaming fuzz_sweep fuzz_explain fuzz_formats fuzz_precision fuzz_tracking})

# clang, its libFuzzer runtime and cmake; a fresh Debian machine lacks the first two.
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v clang++ >/dev/null || need+=(clang)
if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  need+=(libclang-rt-14-dev)
fi
if [ ${#need[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
fi

build="${FUZZ_BUILD:-build/fuzz}"
[ -n "${FUZZ_BUILD:-}" ] || cmake -S . -B "$build" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DTALMIRA_BUILD_FUZZERS=ON \
  -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-g1 -O1"
cmake --build "$build" --parallel 2 --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

replay() {
  local target=$1
  echo "== replaying fuzz/corpus/$target"
  # Each file once; a crash or a failed check ends the run non-zero.
  "$build/fuzz/$target" -runs=0 "fuzz/corpus/$target"
}

fuzz() {
  local target=$1 limit=$2
  local work="${FUZZ_WORK_DIR:-$(mktemp -d -t talmira-fuzz.XXXXXX)}"
  local corpus="$work/corpus/$target" artifacts="$work/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  cp -n "fuzz/corpus/$target"/* "$corpus"/ 2>/dev/null || true
  echo "== fuzzing $target for ${limit}s in $corpus"
  "$build/fuzz/$target" -max_total_time="$limit" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=4096 -artifact_prefix="$artifacts/" "$corpus"
}

one() {
  local target=$1
  case "$mode" in
    replay) replay "$target" ;;
    smoke) replay "$target" && fuzz "$target" "$seconds" ;;
    run) fuzz "$target" "$seconds" ;;
  esac
}

jobs="${FUZZ_JOBS:-1}"
status=0
if [ "$jobs" -le 1 ]; then
  for target in "${targets[@]}"; do
    one "$target" || status=1
  done
else
  logs="$(mktemp -d -t talmira-fuzz-logs.XXXXXX)"
  declare -A running=()  # process id -> target
  finish() {
    local pid
    wait -n -p pid || status=1
    cat "$logs/${running[$pid]}.log"
    unset "running[$pid]"
  }
  for target in "${targets[@]}"; do
    [ ${#running[@]} -ge "$jobs" ] && finish
    one "$target" >"$logs/$target.log" 2>&1 &
    running[$!]=$target
  done
  while [ ${#running[@]} -gt 0 ]; do finish; done
  rm -rf "$logs"
fi
if [ "$status" -ne 0 ]; then
  echo "fuzzing found a failure" >&2
fi
exit "$status"
