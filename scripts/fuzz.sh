#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) in build-fuzz and runs
# each for SECONDS (default 20) from its seed corpus tests/fuzz/corpus/<t>.
# New inputs go to build-fuzz/corpus/<t>; a crashing input is kept as
# build-fuzz/crashes/<t>-crash-* and fails the run.
# Seeds are records as the targets read them (flag byte, 1- or 2-byte length, bytes), bodies from protoc --encode.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

seconds="${1:-20}"
targets=(link protocol config http text selection)

CC=clang CXX=clang++ configure_build build-fuzz -DMQ_FUZZ=ON -DMQ_TESTS=OFF -DMQ_BENCH=OFF
if ! cmake --build build-fuzz -j"$jobs" --target "${targets[@]/#/fuzz_}" >build-fuzz/build.log 2>&1; then
  tail -n 60 build-fuzz/build.log
  exit 1
fi

status=0
mkdir -p build-fuzz/crashes
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  log="build-fuzz/fuzz_$t.log"
  echo "== fuzz_$t (${seconds}s)"
  # The targets log nothing useful: their output is closed (-close_fd_mask),
  # libFuzzer's own lines and any crash report still reach the log.
  if build-fuzz/tests/fuzz/"fuzz_$t" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$t-" \
    "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
    grep -aE '^#[0-9]+[[:space:]]+DONE' "$log" || true
  else
    tail -n 80 "$log"
    echo "== fuzz_$t: FAILED (input in build-fuzz/crashes/)"
    status=1
  fi
done
exit $status
