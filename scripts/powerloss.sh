#!/usr/bin/env bash
# The power-loss replay, run longer than in the test command: more crash
# points, a storm long enough for the log to reach its limit and start over
# at least twice (a reader holds its snapshot meanwhile), the four file
# systems side by side. Needs root, /dev/fuse and loop devices.
#
# Usage: scripts/powerloss.sh [--loaded] [--plants | --plant NAME...]
#                             [points, default 48] [operations, default 3000]
#   --loaded  busy loops on every CPU for the whole run
#   --plants  after the daemon as built, the same with each fault the replay
#             must catch planted into it: queue.db never synced
#             (queue_db_no_sync), the log synced only at checkpoints
#             (synchronous_normal); each must lose entries
#   --plant   only these (repeatable; "none" is the daemon as built)
# Prints per file system and daemon: acknowledged operations, restarts of the
# log, crash images checked (beside a restart) and those that lose something,
# and harness faults. Exits non-zero when a check failed.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

loaded=0
plants=()
while [[ $# -gt 0 && $1 == --* ]]; do
  case $1 in
    --loaded) loaded=1 ;;
    --plants) plants=(none queue_db_no_sync synchronous_normal) ;;
    --plant) plants+=("$2"); shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[[ ${#plants[@]} -gt 0 ]] || plants=(none)

configure_build build -DMQ_SANITIZE=OFF
cmake --build build -j"$jobs" --target test_powerloss

# Everything the test mounts or attaches lives under this directory: should
# the run be interrupted, what is still mounted there is unmounted, then the
# loop devices are detached, then the recorder's file systems go; a step
# that fails is reported, never forced.
work=$(mktemp -d "${TMPDIR:-/dev/shm}/mq-powerloss.XXXXXX")
busy=()
cleanup() {
  trap - EXIT INT TERM
  [[ ${#busy[@]} -gt 0 ]] && kill "${busy[@]}" 2>/dev/null
  local status=0 target device
  for target in $(findmnt -rn -o TARGET,FSTYPE | awk -v w="$work/" 'index($1, w) == 1 && $2 !~ /^fuse/ {print $1}' | sort -r); do
    umount "$target" || status=1
  done
  for device in $(losetup -n -l -O NAME,BACK-FILE | awk -v w="$work/" 'index($2, w) == 1 {print $1}'); do
    losetup -d "$device" || status=1
  done
  for target in $(findmnt -rn -o TARGET | grep "^$work/" | sort -r); do
    umount "$target" || status=1
  done
  if [[ $status -eq 0 ]]; then rm -rf "$work"; else echo "harness fault: left $work behind" >&2; fi
}
trap cleanup EXIT INT TERM

if [[ $loaded -eq 1 ]]; then
  for _ in $(seq "$(nproc)"); do
    (while :; do :; done) &
    busy+=($!)
  done
fi

export MQ_POWERLOSS_POINTS="${1:-48}" MQ_POWERLOSS_OPERATIONS="${2:-3000}" MQ_POWERLOSS_DIR="$work"
export MQ_POWERLOSS_HOLD=1 MQ_POWERLOSS_RESTARTS=2
# Four replays side by side, perhaps beside busy loops: a journal's recovery
# at mount can take longer than a test's usual wait.
export MQ_TEST_TIME_SCALE="${MQ_TEST_TIME_SCALE:-3}"
failed=0
for plant in "${plants[@]}"; do
  export MQ_POWERLOSS_PLANT="${plant#none}"
  # One file system each: the run waits on the disk, rarely on a CPU.
  pids=()
  for shard in 0 1 2 3; do
    GTEST_TOTAL_SHARDS=4 GTEST_SHARD_INDEX=$shard build/tests/test_powerloss --gtest_brief=1 \
      >"$work/run-$shard.log" 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
  cat "$work"/run-*.log
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $failed
