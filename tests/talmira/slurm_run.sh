#!/usr/bin/env bash
# Runs the Slurm recipe of docs/datasets.md on a real Slurm cluster of one node: a
# controller (slurmctld), a compute daemon (slurmd) and munge, configured in a
# temporary folder and run in network and process namespaces of their own
# (only a loopback, so no port of the machine is taken and nothing outside
# can reach them; every process of the cluster ends when the script does).
# The job script and the submission are taken from that page as they are
# printed there; the merged result must be the bytes of one
# `talmira batch` run over the same LIST, plain (with a sequence that fails,
# so that one shard exits 1 and `afterany` must still start the merge) and
# with --sweep (every job must succeed). A job that ends otherwise than
# expected fails the test with its log.
#
#   tests/talmira/slurm_run.sh TALMIRA EXAMPLES_DIR PAGE
#
# Exits 77 (skipped) when this machine cannot run the daemons: not root (slurmd
# starts jobs as their user), Slurm or munge not installed, or no network and
# process namespaces to be had. TALMIRA_REQUIRE_SLURM=1 (set by .ci/run) makes that a
# failure instead. No cgroups are needed: processes are tracked by their
# parent (proctrack/linuxproc) and tasks are not confined (task/none).
set -euo pipefail

talmira="$(realpath "$1")"
examples="$(realpath "$2")"
readme="$(realpath "$3")"
self="$(realpath "$0")"

skip() {
  echo "Slurm test skipped: $*"
  if [ "${TALMIRA_REQUIRE_SLURM:-0}" = 1 ]; then
    echo "FAIL: TALMIRA_REQUIRE_SLURM=1, so this machine must run the Slurm test" >&2
    exit 1
  fi
  exit 77
}

# The fenced block that follows the line `<!-- MARKER -->` on the page.
readme_block() {
  awk -v marker="<!-- $1 -->" '
    $0 == marker { state = 1; next }
    state == 1 && /^```/ { state = 2; next }
    state == 1 && NF > 0 { exit }
    state == 2 && /^```/ { exit }
    state == 2 { print }' "$readme"
}

if [ "${TALMIRA_SLURM_IN_NAMESPACE:-0}" != 1 ]; then
  for marker in "slurm recipe: shard.sbatch" "slurm recipe: submit"; do
    if [ -z "$(readme_block "$marker")" ]; then
      echo "FAIL: $readme has no block after <!-- $marker -->" >&2
      exit 1
    fi
  done
  [ "$(id -u)" -eq 0 ] || skip "it needs root (slurmd starts each job as its user)"
  for command in slurmctld slurmd sbatch squeue sinfo scontrol scancel munged unshare ip python3; do
    command -v "$command" >/dev/null ||
      skip "$command is not installed (tools/install-deps --for tests installs slurm-wlm, munge and iproute2)"
  done
  # A network namespace of its own (only its loopback), and a process
  # namespace whose first process is this script again.
  namespaces=(--net --pid --fork --mount-proc --kill-child=SIGTERM)
  unshare "${namespaces[@]}" true 2>/dev/null ||
    skip "no network and process namespaces can be made here (unshare ${namespaces[*]})"
  TALMIRA_SLURM_IN_NAMESPACE=1 exec unshare "${namespaces[@]}" -- "$self" "$@"
fi

# ---------------------------------------------------------------------------
# In the namespace: the cluster, then the recipe.

# This script is the first process of its namespaces, so that whatever is
# left in them when it ends (a daemon, a job step) ends with it.
if [ $$ -ne 1 ]; then
  echo "FAIL: the cluster must run in namespaces of its own (run the script without" \
    "TALMIRA_SLURM_IN_NAMESPACE)" >&2
  exit 1
fi

start_time=$EPOCHREALTIME
seconds_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }

ip link set lo up || skip "cannot bring up the loopback interface of the namespace"
# glibc's AI_ADDRCONFIG, which Slurm resolves names with, ignores 127.0.0.1
# only: a second loopback address lets 127.0.0.1 resolve in a namespace that
# has no other interface.
ip addr add 127.0.0.2/8 dev lo || skip "cannot add a loopback address in the namespace"

work="$(mktemp -d /tmp/talmira-slurm.XXXXXX)"
chmod 755 "$work" # munged wants every folder above its socket open to all
daemons=()

cleanup() {
  local status=$?
  if [ ${#daemons[@]} -gt 0 ]; then
    # Jobs first, while the controller can still cancel them, then the
    # daemons; a job step still left ends with this script, the first
    # process of the namespace.
    timeout 10 scancel --user root 2>/dev/null || true
    kill "${daemons[@]}" 2>/dev/null || true
    wait "${daemons[@]}" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

show_logs() {
  local log
  for log in slurmctld.log slurmd.log munge/munged.log slurmctld.console slurmd.console \
    munge/munged.console; do
    log="$work/$log"
    [ -s "$log" ] || continue
    # A daemon's console repeats its log; it is wanted only when the log is not.
    if [[ "$log" == *.console ]] && [ -s "${log%.console}.log" ]; then
      continue
    fi
    echo "--- last lines of $log" >&2
    tail -n 25 "$log" >&2
  done
}

fail() {
  echo "FAIL: $*" >&2
  show_logs
  exit 1
}

# munge with a key, socket and log of its own; the socket's folder must be
# open to all, the key's closed to all but its owner.
mkdir -m 755 "$work/socket"
mkdir -m 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge/munge.key"
munge_socket="$work/socket/munge.socket"
munged --foreground --key-file="$work/munge/munge.key" --socket="$munge_socket" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" \
  --seed-file="$work/munge/munged.seed" 2>"$work/munge/munged.console" &
daemons+=($!)
for _ in $(seq 100); do
  [ -S "$munge_socket" ] && break
  sleep 0.1
done
[ -S "$munge_socket" ] || {
  show_logs
  skip "munged did not start"
}

# Two free ports of the namespace's loopback, found now.
read -r controller_port node_port < <(python3 -c '
import socket
held = [socket.socket() for _ in range(2)]
for s in held:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')

node="$(hostname -s)"
mkdir -m 755 "$work/spool" "$work/state"
cat >"$work/slurm.conf" <<EOF
ClusterName=talmira
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$controller_port
SlurmdPort=$node_port
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$munge_socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
# Start the next shards as soon as others end, not up to 3 s later.
SchedulerParameters=batch_sched_delay=0
# Finished jobs stay listed (scontrol) until the test has checked them.
MinJobAge=3600
ReturnToService=2
# The recipe asks for 4 CPUs a shard; the node claims 8 whatever the machine
# has, so that two shards run at once as on a real node.
SlurmdParameters=config_overrides
NodeName=$node NodeAddr=127.0.0.1 CPUs=8 State=UNKNOWN
PartitionName=shards Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$work/slurm.conf"

# In the foreground, so that their ids are known; what they print before
# their log files are open goes to a file of its own.
slurmctld -D -f "$SLURM_CONF" >"$work/slurmctld.console" 2>&1 &
daemons+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/slurmd.console" 2>&1 &
daemons+=($!)
node_state=""
for _ in $(seq 300); do
  node_state="$(sinfo -h -N -o %t 2>/dev/null || true)"
  [ "$node_state" = idle ] && break
  for pid in "${daemons[@]}"; do
    kill -0 "$pid" 2>/dev/null || {
      show_logs
      skip "a Slurm daemon stopped at its start"
    }
  done
  sleep 0.1
done
[ "$node_state" = idle ] || {
  show_logs
  skip "the node did not become idle in 30 s (state: ${node_state:-none})"
}
echo "Slurm cluster up in $(seconds_since "$start_time") s: node $node, ports $controller_port and $node_port"

# ---------------------------------------------------------------------------
# The data: 20 sequences, the example pair with the system output cut at
# different lengths (so that each sequence's counts and curves differ), names
# that CSV must quote.
mkdir "$work/data" "$work/bin"
cp "$examples/groundtruth.csv" "$work/data/"
for i in $(seq 20); do
  head -n $((5 + 2 * i)) "$examples/systemoutput.csv" >"$work/data/system$i.csv"
done
ln -s "$talmira" "$work/bin/talmira"

# Writes a run folder's LIST: the 20 sequences, and with `lost` one more
# whose system output does not exist, at position 5.
write_list() {
  {
    echo "sequence,groundtruth,system"
    for i in $(seq 20); do
      if [ "$2" = lost ] && [ "$i" -eq 6 ]; then
        echo "lost,../data/groundtruth.csv,../data/nowhere.csv"
      fi
      if [ $((i % 3)) -eq 0 ]; then
        echo "\"street, take $i\",../data/groundtruth.csv,../data/system$i.csv"
      else
        echo "cam$i,../data/groundtruth.csv,../data/system$i.csv"
      fi
    done
  } >"$1/dataset.csv"
}

# A field of a job's line in `scontrol show job -o`.
field() {
  local pattern=" $2=([^ ]*)"
  if [[ " $1" =~ $pattern ]]; then
    echo "${BASH_REMATCH[1]}"
  fi
}

# Runs the page's recipe in a new folder: $1 the folder's name, $2 `lost`
# or `all-good`, $3 options for every shard, given after the script's name.
run_recipe() {
  local name=$1 kind=$2 options=$3 dir="$work/$1" started submit_out merge_job
  mkdir "$dir"
  write_list "$dir" "$kind"
  readme_block "slurm recipe: shard.sbatch" >"$dir/shard.sbatch"
  readme_block "slurm recipe: submit" >"$dir/submit.sh"
  if [ -n "$options" ]; then
    grep -q 'sbatch --parsable shard.sbatch)' "$dir/submit.sh" ||
      fail "the page's submission does not run 'sbatch --parsable shard.sbatch'"
    sed -i "s/sbatch --parsable shard.sbatch)/sbatch --parsable shard.sbatch $options)/" \
      "$dir/submit.sh"
  fi
  started=$EPOCHREALTIME
  (cd "$dir" && PATH="$work/bin:$PATH" bash -eu submit.sh >submit.out 2>submit.err) ||
    fail "$name: the submission failed: $(cat "$dir/submit.err")"
  submit_out="$(cat "$dir/submit.out")"
  merge_job="$(sed -n 's/^Submitted batch job \([0-9]*\)$/\1/p' <<<"$submit_out")"
  [ -n "$merge_job" ] || fail "$name: no merge job in the submission's output: $submit_out"

  # Every job of this folder has ended when the queue is empty.
  local waited=0
  while [ -n "$(squeue -h -o %i)" ]; do
    if [ $waited -ge 1800 ]; then
      squeue >&2
      fail "$name: jobs still queued or running after 180 s"
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  local elapsed
  elapsed="$(seconds_since "$started")"

  # Each job's end: shards exit 0, but the one holding the missing sequence
  # exits 1, and then merge exits 1 too (it reports the failure).
  local lines line task state code shards=0 bad=0 last_end="" merge_start=""
  local expected_failed_task=$(((5 % 16) + 1))
  lines="$(scontrol show job -o | grep " WorkDir=$dir " || true)"
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    state="$(field "$line" JobState)"
    code="$(field "$line" ExitCode)"
    task="$(field "$line" ArrayTaskId)"
    local want_state=COMPLETED want_code=0:0
    if [ "$(field "$line" JobId)" = "$merge_job" ]; then
      merge_start="$(field "$line" StartTime)"
      if [ "$kind" = lost ]; then
        want_state=FAILED want_code=1:0
      fi
    else
      shards=$((shards + 1))
      local end
      end="$(field "$line" EndTime)"
      if [[ "$end" > "$last_end" ]]; then
        last_end="$end"
      fi
      if [ "$kind" = lost ] && [ "$task" = "$expected_failed_task" ]; then
        want_state=FAILED want_code=1:0
      fi
    fi
    if [ "$state" != "$want_state" ] || [ "$code" != "$want_code" ]; then
      bad=1
      echo "FAIL: $name: job $(field "$line" JobId) (array task ${task:-none}) ended $state," \
        "exit $code; expected $want_state, exit $want_code. Its log:" >&2
      cat "$(field "$line" StdOut)" >&2 || true
    fi
  done <<<"$lines"
  [ "$bad" -eq 0 ] || fail "$name: a job did not end as expected"
  [ "$shards" -eq 16 ] || fail "$name: $shards shard jobs ran; the array has 16"
  [ -n "$merge_start" ] || fail "$name: merge job $merge_job is not listed"
  [[ "$merge_start" > "$last_end" || "$merge_start" == "$last_end" ]] ||
    fail "$name: merge started at $merge_start, before the last shard ended ($last_end)"

  # The merged bytes against one run on this machine, in the recipe's JSON
  # and, merged here from the same parts, in text and CSV.
  local form single_status
  for form in json text csv; do
    single_status=0
    (cd "$dir" && "$talmira" batch dataset.csv $options -j 2 --format "$form" \
      >"single.$form" 2>/dev/null) || single_status=$?
    [ "$single_status" -eq "$([ "$kind" = lost ] && echo 1 || echo 0)" ] ||
      fail "$name: the single run exited $single_status"
    if [ "$form" != json ]; then
      (cd "$dir" && "$talmira" merge part*.json --format "$form" -o "scores.$form" 2>/dev/null) ||
        true
    fi
    if ! cmp "$dir/single.$form" "$dir/scores.$form"; then
      diff "$dir/single.$form" "$dir/scores.$form" >&2 || true
      fail "$name: the merge of the Slurm jobs' parts differs from the single run ($form)"
    fi
  done
  if [ "$kind" = lost ]; then
    grep -qx "talmira merge: 1 of 21 sequences failed; they are left out of the totals" \
      "$dir/slurm-$merge_job.out" || {
      cat "$dir/slurm-$merge_job.out" >&2
      fail "$name: the merge job's log does not report the failed sequence"
    }
  fi
  echo "$name: 16 shards and the merge ran in $elapsed s; the merge equals the single run" \
    "in json, text and csv"
}

run_recipe plain lost ""
grep '^(all),All,' "$work/plain/scores.csv"
run_recipe sweep all-good "--sweep"
grep -m 1 '^All,' "$work/sweep/scores.csv"
echo "Slurm recipe run as docs/datasets.md prints it, plain and with --sweep, in" \
  "$(seconds_since "$start_time") s"
