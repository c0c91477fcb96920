#!/usr/bin/env bash
# Runs `talmira batch` as shards through GNU parallel, as the recipe of docs/datasets.md
# does, and checks that `talmira merge` of the parts gives the bytes of one
# single run, in every format. Exits 77 (skipped) when parallel is missing.
#
#   tests/talmira/sharded_run.sh TALMIRA EXAMPLES_DIR
set -euo pipefail
talmira="$1"
examples="$2"
if ! command -v parallel >/dev/null || ! parallel --version 2>/dev/null | grep -q 'GNU parallel'; then
  echo "GNU parallel is not installed; skipped."
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Seven sequences: the example pair three times, three times with the system
# output cut short (names with a comma, to be quoted in CSV), and one whose
# system output is missing.
cp "$examples/groundtruth.csv" "$examples/systemoutput.csv" "$work/"
head -n 30 "$examples/systemoutput.csv" >"$work/short.csv"
{
  echo "sequence,groundtruth,system"
  for i in 1 2 3; do echo "full $i,groundtruth.csv,systemoutput.csv"; done
  for i in 1 2 3; do echo "\"short, $i\",groundtruth.csv,short.csv"; done
  echo "lost,groundtruth.csv,nowhere.csv"
} >"$work/list.csv"

shards=3
status=0
parallel --will-cite --halt never "$talmira" batch "$work/list.csv" -c 0.5 -q \
  --shard {}/$shards -o "$work/part{}.json" ::: $(seq $shards) 2>"$work/parallel.err" || status=$?
# The missing sequence fails one shard (status 1): parallel reports one failed job.
if [ "$status" -ne 1 ]; then
  cat "$work/parallel.err" >&2
  echo "FAIL: parallel exited $status, expected 1 (one shard holds the missing sequence)" >&2
  exit 1
fi

for format in text csv json; do
  single_status=0
  "$talmira" batch "$work/list.csv" -c 0.5 -j 2 --format "$format" >"$work/single.$format" \
    2>/dev/null || single_status=$?
  merge_status=0
  "$talmira" merge "$work"/part*.json --format "$format" -o "$work/merged.$format" \
    2>"$work/merge.err" || merge_status=$?
  if [ "$single_status" -ne 1 ] || [ "$merge_status" -ne 1 ]; then
    echo "FAIL: statuses single $single_status, merge $merge_status; expected 1 and 1" >&2
    exit 1
  fi
  if ! cmp "$work/single.$format" "$work/merged.$format"; then
    diff "$work/single.$format" "$work/merged.$format" >&2 || true
    echo "FAIL: merge differs from the single run ($format)" >&2
    exit 1
  fi
  if [ "$(tail -n 1 "$work/merge.err")" != \
    "talmira merge: 1 of 7 sequences failed; they are left out of the totals" ]; then
    cat "$work/merge.err" >&2
    echo "FAIL: merge's last message" >&2
    exit 1
  fi
done
# The pooled All row: three full runs and three short ones, a sum that is not
# the same as any one sequence's.
grep '^(all),All,' "$work/merged.csv"
echo "merge of $shards shards run by GNU parallel equals the single run in text, csv and json"

# The same with --sweep: each part carries its pooled exact curves, and merge
# sums them into the single run's curves, plot and page.
status=0
parallel --will-cite --halt never "$talmira" batch "$work/list.csv" --sweep --exact -q \
  --shard {}/$shards -o "$work/sweep{}.json" ::: $(seq $shards) 2>"$work/parallel.err" || status=$?
if [ "$status" -ne 1 ]; then
  cat "$work/parallel.err" >&2
  echo "FAIL: parallel --sweep exited $status, expected 1" >&2
  exit 1
fi
for format in text csv json; do
  rm -f "$work"/single.svg "$work"/single.html "$work"/merged.svg "$work"/merged.html
  "$talmira" batch "$work/list.csv" --sweep --exact -j 2 --format "$format" \
    --plot "$work/single.svg" --report "$work/single.html" >"$work/single.$format" 2>/dev/null || true
  "$talmira" merge "$work"/sweep*.json --format "$format" -o "$work/merged.$format" \
    --plot "$work/merged.svg" --report "$work/merged.html" 2>/dev/null || true
  for file in "$format" svg html; do
    if ! cmp "$work/single.$file" "$work/merged.$file"; then
      echo "FAIL: merge --sweep differs from the single run ($format, $file)" >&2
      exit 1
    fi
  done
done
grep '^All,' "$work/merged.csv" | head -n 2
echo "merge of $shards --sweep shards equals the single run in text, csv, json, plot and page"

# The same with --explain: each part carries its sequences' causes, pair sums
# and confusion matrices, and merge sums them into the single run's.
status=0
parallel --will-cite --halt never "$talmira" batch "$work/list.csv" --explain -c 0.4 --near 0.2 -q \
  --shard {}/$shards -o "$work/explain{}.json" ::: $(seq $shards) 2>"$work/parallel.err" || status=$?
if [ "$status" -ne 1 ]; then
  cat "$work/parallel.err" >&2
  echo "FAIL: parallel --explain exited $status, expected 1" >&2
  exit 1
fi
for format in text csv json; do
  single_status=0
  "$talmira" batch "$work/list.csv" --explain -c 0.4 --near 0.2 -j 2 --format "$format" \
    >"$work/single.$format" 2>/dev/null || single_status=$?
  merge_status=0
  "$talmira" merge "$work"/explain*.json --format "$format" -o "$work/merged.$format" \
    2>/dev/null || merge_status=$?
  if [ "$single_status" -ne 1 ] || [ "$merge_status" -ne 1 ]; then
    echo "FAIL: --explain statuses single $single_status, merge $merge_status; expected 1 and 1" >&2
    exit 1
  fi
  if ! cmp "$work/single.$format" "$work/merged.$format"; then
    diff "$work/single.$format" "$work/merged.$format" >&2 || true
    echo "FAIL: merge --explain differs from the single run ($format)" >&2
    exit 1
  fi
done
grep '^(all),All,miss,' "$work/merged.csv"
echo "merge of $shards --explain shards equals the single run in text, csv and json"
