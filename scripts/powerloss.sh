#!/usr/bin/env bash
# The power-loss test, run longer than in the test command: more crash points
# and a longer storm on each file system. Needs root, /dev/fuse and loop
# devices. Prints per file system: acknowledged operations, flushes, crash
# images checked, images that lose something (with what they lost).
# Usage: scripts/powerloss.sh [crash points, default 150] [operations, default 1500]
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

configure_build build -DMQ_SANITIZE=OFF
cmake --build build -j"$jobs" --target test_powerloss

# Everything the test mounts lives under this directory: should the run be
# interrupted, whatever is still mounted there goes (its loop device with it).
work=$(mktemp -d "${TMPDIR:-/dev/shm}/mq-powerloss.XXXXXX")
cleanup() {
  findmnt -rn -o TARGET | grep "^$work/" | sort -r | xargs -r -n1 umount -l || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

export MQ_POWERLOSS_POINTS="${1:-150}" MQ_POWERLOSS_OPERATIONS="${2:-1500}" MQ_POWERLOSS_DIR="$work"
build/tests/test_powerloss --gtest_brief=1
