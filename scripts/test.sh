#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: a plain build (and
# clang-tidy over its sources), one under
# AddressSanitizer and UndefinedBehaviorSanitizer, one under ThreadSanitizer
# (the threaded areas), the package (checked, then installed under a live
# systemd in a container), then a short run of every fuzz target.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

bash scripts/setup.sh

# The sources as clang-format writes them, before anything is built.
bash scripts/check_format.sh

configure_build build -DMQ_SANITIZE=OFF -DMQ_WERROR=ON
cmake --build build -j"$jobs"

# clang-tidy's checks (.clang-tidy) over src/, tools/ and bench/, on the
# plain build's compile_commands.json; a finding fails the run.
status=0
bash scripts/check_tidy.sh || status=1

configure_build build-sanitize -DMQ_SANITIZE=ON -DMQ_BENCH=OFF
cmake --build build-sanitize -j"$jobs"

# Any sanitizer report fails the run.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# How many tests a run skipped and why (the skip messages, counted), so a
# green run as a normal user does not hide the tests that need root.
report_skipped() {
  local junit="$1" count
  [[ -f $junit ]] || return 0
  count=$(grep -c 'status="notrun"' "$junit" || true)
  echo "== skipped: $count test(s)"
  awk '/: Skipped$/ { if ((getline reason) > 0) print reason }' "$junit" | sort | uniq -c
}

echo "== tests (plain build)"
ctest --test-dir build --output-on-failure -j"$jobs" --output-junit "$repo_root/build/junit.xml" || status=1
report_skipped build/junit.xml
echo "== tests (sanitizer build, every wait limit times 3)"
MQ_TEST_TIME_SCALE=3 ctest --test-dir build-sanitize --output-on-failure -j"$jobs" \
  --output-junit "$repo_root/build-sanitize/junit.xml" || status=1
report_skipped build-sanitize/junit.xml
# ---- ThreadSanitizer and fuzzing (after the two builds above) ----
# A third build under ThreadSanitizer, tests of the threaded areas only
# (mq-web's: pages, actions and counts on several threads at once);
# tests/tsan.supp says why each suppression is a false report.
configure_build build-tsan -DMQ_TSAN=ON -DMQ_BENCH=OFF
cmake --build build-tsan -j"$jobs" --target test_net test_util test_store test_sorter test_client test_service test_web
echo "== tests (thread sanitizer build)"
for t in test_net test_util test_store test_sorter test_client test_service test_web; do
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$repo_root/tests/tsan.supp" \
    MQ_TEST_TIME_SCALE=4 "build-tsan/tests/$t" --gtest_brief=1 || status=1
done
echo "== package (lintian, systemd-analyze verify)"
bash scripts/check_package.sh || status=1
echo "== the package under a live systemd (in a container)"
bash scripts/live_systemd.sh "$(ls -t build-package/orvane-mail-quarantine_*.deb | head -1)" || status=1
echo "== fuzzing (20 s a target)"
bash scripts/fuzz.sh 20 || status=1
exit $status
