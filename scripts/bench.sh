#!/usr/bin/env bash
# Builds the daemon and the benchmark in Release (build-release) and runs the
# whole set: a table on standard output, the figures as JSON
# (build-release/bench-results.json, or the file named by MQ_BENCH_JSON) and
# the table in Markdown beside it (.md). Extra arguments go to mq-bench (for
# example --runs 5, --scale 0.5, --only put,get; see mq-bench --help).
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

bash scripts/setup.sh
cmake -S "$repo_root" -B build-release -DCMAKE_BUILD_TYPE=Release -DMQ_TESTS=OFF -DMQ_BENCH=ON >/dev/null
cmake --build build-release -j"$jobs" --target orvane-mail-quarantine mq-bench

json="${MQ_BENCH_JSON:-$repo_root/build-release/bench-results.json}"
markdown="${json%.json}.md"
exec build-release/bench/mq-bench --json "$json" --markdown "$markdown" "$@"
