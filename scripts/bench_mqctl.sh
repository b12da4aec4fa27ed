#!/usr/bin/env bash
# Times mqctl on a large queue: `list --count --domain example.org` and
# `shape`, with mqctl's peak resident memory (/usr/bin/time -v).
#   scripts/bench_mqctl.sh [COUNT] [--index]
# COUNT entries (default 100000) go straight into queue.db of a fresh spool
# (one recipient each, one in ten at example.org, all smtp-accepted, due
# times spread over two days); the daemon then runs under mq-overseer.
# --index adds an index on (status, next_access_ts, id) first, for trees
# whose schema has no paging index yet (without it every page of a walk scans
# the whole table).
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

count="${1:-100000}"
index=0
[ "${2:-}" = "--index" ] && index=1
build="${MQ_BUILD_DIR:-build-release}"
if [ ! -x "$build/tools/mqctl/mqctl" ]; then
  configure_build "$build" -DCMAKE_BUILD_TYPE=Release -DMQ_TESTS=OFF -DMQ_BENCH=OFF
fi
cmake --build "$build" -j"$jobs" --target orvane-mail-quarantine mq-overseer mqctl >/dev/null

state="$(mktemp -d /tmp/mqctl-bench.XXXXXX)"
overseer=""
cleanup() {
  [ -n "$overseer" ] && kill "$overseer" 2>/dev/null && wait "$overseer" 2>/dev/null || true
  rm -rf "$state"
}
trap cleanup EXIT

start() {
  "$build/tools/overseer/mq-overseer" --daemon "$build/orvane-mail-quarantine" --state-dir "$state" \
    >"$state/overseer.log" 2>&1 &
  overseer=$!
  for _ in $(seq 1 600); do
    grep -q "Ready for service" "$state/overseer.log" && return 0
    sleep 0.2
  done
  echo "the daemon did not start" >&2
  cat "$state/overseer.log" >&2
  exit 1
}
stop() {
  kill "$overseer"
  wait "$overseer" 2>/dev/null || true
  overseer=""
}

# The schema comes from the daemon itself.
start
stop
db="$state/spool/queue.db"
now="$(date +%s)"
echo "filling $db with $count entries"
sqlite3 "$db" <<SQL
PRAGMA synchronous=OFF;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $count)
INSERT INTO entry(id, session_id_string, message_filename, message_size, received_ts, next_access_ts, status, attempts)
SELECT i, 'S' || i, 'f' || i, 1000, $now - 86400, $now - 3600 + (i * 7919) % 172800, 1, i % 7 FROM n;
INSERT INTO smtp_sender(entry_id, sender) SELECT id, 's' || (id % 1000) || '@x' || (id % 20) || '.org' FROM entry;
INSERT INTO smtp_recipient(entry_id, recipient)
SELECT id, 'u' || id || '@' || CASE WHEN id % 10 = 0 THEN 'example.org' ELSE 'd' || (id % 50) || '.test' END FROM entry;
COMMIT;
SQL
if [ "$index" = 1 ]; then
  sqlite3 "$db" "CREATE INDEX IF NOT EXISTS bench_paging ON entry(status, next_access_ts, id);"
fi
start

measure() {
  local name="$1"
  shift
  /usr/bin/time -v "$build/tools/mqctl/mqctl" --state-dir "$state" --timeout 0 "$@" >"$state/out" 2>"$state/time"
  local wall rss user sys
  wall="$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$state/time")"
  rss="$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$state/time")"
  user="$(sed -n 's/.*User time (seconds): //p' "$state/time")"
  sys="$(sed -n 's/.*System time (seconds): //p' "$state/time")"
  # mqctl's own CPU time tells its share; the rest is the daemon's paging.
  printf '%-40s wall %8s  mqctl CPU %6.2f s  max RSS %5.1f MiB  -> %s\n' "$name" "$wall" \
    "$(echo "$user + $sys" | bc -l)" "$(echo "$rss / 1024" | bc -l)" "$(head -c 40 "$state/out" | head -1)"
}
echo "mqctl on $count entries (index: $index, load: $(cut -d" " -f1-3 /proc/loadavg))"
measure "list --count --domain example.org" list smtp-accepted --count --domain example.org
measure "list --all --count --domain example.org" list --all --count --domain example.org
measure "shape" shape
