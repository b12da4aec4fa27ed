#!/usr/bin/env bash
# The packaged service under a real systemd: boots one in a container
# (systemd-nspawn on a minimal Debian root), installs the .deb and drives the
# service as an administrator would: start, start and reload back to back,
# the sockets' directory, metrics, reload, kill -9 of the daemon and of the
# supervisor, a hung supervisor and the watchdog, the web view's readiness,
# stop, the journal's priorities, purge.
#
# Never boots systemd on this machine: its boot would clean this machine's
# /tmp and start its services. The container has its own network (loopback
# only), a copy-on-write layer over the cached root that is thrown away at
# the end, and its own cgroup, removed at the end.
#
# The root is made once with debootstrap (about 90 s, 250 MB) under
# $MQ_LIVE_ROOT_DIR (default /var/cache/orvane-mq-test) and reused; the
# package's dependencies are installed into it when missing.
#
# Usage: scripts/live_systemd.sh [DEB]   (default: builds it, scripts/package.sh)
# Exit 0 when every check passed or the machine cannot run it (the reason is
# printed: "skipped: ..."), 1 when a check failed.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

scale="${MQ_TEST_TIME_SCALE:-1}"
limit=$((15 * scale)) # seconds, the longest single wait
base="${MQ_LIVE_ROOT_DIR:-/var/cache/orvane-mq-test}"
unit=orvane-mail-quarantine.service
name="mqtest$$"

skip() {
  echo "== live systemd: skipped: $*"
  exit 0
}

# ---- can this machine? ----
[[ $(id -u) -eq 0 ]] || skip "not root (systemd-nspawn and debootstrap need root)"
for tool in systemd-nspawn debootstrap unshare nsenter chroot setsid; do
  command -v "$tool" >/dev/null || skip "$tool not installed (scripts/setup.sh installs debootstrap systemd-container)"
done
# shellcheck disable=SC1091
. /etc/os-release
[[ ${ID:-} == debian && -n ${VERSION_CODENAME:-} ]] ||
  skip "this machine is not Debian: the package's dependencies would not match a Debian root"
suite="$VERSION_CODENAME"
# The container gets a cgroup of its own, in each hierarchy systemd uses.
if [[ $(stat -fc %T /sys/fs/cgroup) == cgroup2fs ]]; then
  hierarchies=(/sys/fs/cgroup)
elif [[ -d /sys/fs/cgroup/systemd && -d /sys/fs/cgroup/unified ]]; then
  hierarchies=(/sys/fs/cgroup/systemd /sys/fs/cgroup/unified)
else
  skip "cgroup layout: neither cgroup2 on /sys/fs/cgroup nor the named systemd and unified hierarchies"
fi
host_systemd=0
[[ -d /run/systemd/system ]] && host_systemd=1

deb="${1:-}"
if [[ -z $deb ]]; then
  deb="$(bash scripts/package.sh | tail -1)"
fi
[[ -f $deb ]] || {
  echo "== live systemd: no package $deb"
  exit 1
}

# ---- the root, made once ----
mkdir -p "$base"
exec 9>"$base/lock"
flock -w 600 9 || skip "another run holds $base/lock"
root="$base/$suite"
if [[ ! -x $root/lib/systemd/systemd ]]; then
  echo "== live systemd: making a $suite root in $root (debootstrap, once)"
  rm -rf "$root.new"
  if ! debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,adduser,procps,curl \
    "$suite" "$root.new" >"$base/debootstrap.log" 2>&1; then
    rm -rf "$root.new"
    skip "debootstrap of $suite failed (no network to the archive?): $(tail -1 "$base/debootstrap.log")"
  fi
  mv "$root.new" "$root"
fi
# The package's dependencies, from the archive when missing (the container
# has no network): apt-get satisfy does nothing when they are installed.
depends="$(dpkg-deb --field "$deb" Depends)"
if ! chroot "$root" apt-get satisfy -s "$depends" 2>/dev/null | grep -q '^0 upgraded, 0 newly installed'; then
  echo "== live systemd: installing the package's dependencies into the root"
  chroot "$root" apt-get update -qq >"$base/apt.log" 2>&1 ||
    skip "cannot update the root's package lists (no network?): $(tail -1 "$base/apt.log")"
  # Reachable archive, dependencies that cannot be met: the package is wrong.
  if ! DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get satisfy -y -qq --no-install-recommends \
    "$depends" >>"$base/apt.log" 2>&1; then
    echo "== live systemd: FAILED: the package's dependencies cannot be installed: $(tail -3 "$base/apt.log")"
    exit 1
  fi
  chroot "$root" apt-get clean
fi

# ---- boot ----
run="$base/run.$$"
mkdir -p "$run"/{upper,work,merged,pkg}
cp "$deb" "$run/pkg/package.deb"
cgroup_dirs=()
for h in "${hierarchies[@]}"; do cgroup_dirs+=("$h/$name"); done
nspawn=""
launcher=""
cleanup() {
  [[ -n $nspawn ]] || nspawn="$(pgrep -f "^systemd-nspawn -b -D $run/merged -M $name " | head -1)"
  [[ -n $nspawn || -z $launcher ]] || kill -TERM "$launcher" 2>/dev/null
  if [[ -n $nspawn ]] && kill -0 "$nspawn" 2>/dev/null; then
    kill -TERM "$nspawn" 2>/dev/null || true # a clean poweroff
    for _ in $(seq $((limit * 10))); do
      kill -0 "$nspawn" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$nspawn" 2>/dev/null || true
  fi
  for d in "${cgroup_dirs[@]}"; do
    [[ -d $d ]] && find "$d" -depth -type d -exec rmdir {} \; 2>/dev/null
  done
  rm -rf "$run"
}
trap cleanup EXIT

# In a mount namespace of its own: the copy-on-write layer, and a tmpfs on
# /run/systemd, since nspawn cannot remove its propagation folder from a /run
# on disk. On a machine run by systemd, nspawn makes its own scope.
if [[ $host_systemd -eq 1 ]]; then
  keep_unit=""
  cgroup_join=":"
else
  keep_unit="--keep-unit"
  cgroup_join=""
  for d in "${cgroup_dirs[@]}"; do
    mkdir -p "$d"
    cgroup_join+="echo \$\$ >$d/cgroup.procs; "
  done
fi
setsid bash -c "$cgroup_join
  exec unshare -m --propagation private sh -c '
    mount -t overlay overlay -o lowerdir=$root,upperdir=$run/upper,workdir=$run/work $run/merged &&
    mount -t tmpfs -o mode=755 tmpfs /run/systemd &&
    exec systemd-nspawn -b -D $run/merged -M $name --register=no $keep_unit --private-network \
      --bind-ro=$run/pkg:/srv/pkg'" </dev/null >"$run/console.log" 2>&1 &
launcher=$!

# From here on a check that fails is counted and the run goes on.
set +e
failures=0
ok() { echo "== live systemd: ok: $*"; }
fail() {
  echo "== live systemd: FAILED: $*"
  failures=$((failures + 1))
}
# Polls `cmd` until it succeeds, at most $limit s.
wait_for() {
  for _ in $(seq $((limit * 20))); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.05
  done
  return 1
}

# nspawn by its machine name (setsid may fork), the container's PID 1 as its child.
pid1=""
find_pid1() {
  nspawn="$(pgrep -f "^systemd-nspawn -b -D $run/merged -M $name " | head -1)"
  [[ -n $nspawn ]] || return 1
  pid1="$(ps -o pid= --ppid "$nspawn" | tr -d ' ' | head -1)"
  [[ -n $pid1 ]] && nsenter -t "$pid1" -a systemctl is-system-running 2>/dev/null | grep -qx 'running\|degraded'
}
if ! wait_for find_pid1; then
  echo "== live systemd: the container did not boot; its console:"
  tail -30 "$run/console.log"
  exit 1
fi
c() { nsenter -t "$pid1" -a "$@"; }
ok "systemd $(c systemctl --version | head -1 | cut -d' ' -f2) booted ($(c systemctl is-system-running))"

journal() { c journalctl -u "$unit" --no-pager -o cat "$@"; }
# Waits for a journal line of the unit matching the extended regex $1, from
# the line count $2 on (what was there before the action).
journal_lines() { journal | wc -l; }
has_line() { journal | tail -n +"$(($2 + 1))" | grep -Eq "$1"; }
wait_line() {
  if wait_for has_line "$1" "$2"; then ok "$3"; else fail "$3: no line /$1/ in the journal"; fi
}
scrape() { c curl -fsS --max-time 10 http://127.0.0.1:9467/metrics; }
metric_is() { scrape | grep -qx "$1 $2"; }
main_pid() { c systemctl show -P MainPID "$unit"; }
# kill -9 of one process of the container: never of 0 or "", which would be
# the caller's process group on this machine.
kill_9() { [[ $1 =~ ^[0-9]+$ && $1 -gt 1 ]] && c kill -9 "$1"; }
daemon_pid() { c pgrep -P "$(main_pid)"; } # the supervisor's one child

# ---- install: the maintainer scripts enable and start it ----
before=0
if c env DEBIAN_FRONTEND=noninteractive dpkg -i /srv/pkg/package.deb >"$run/dpkg.log" 2>&1; then
  ok "dpkg -i"
else
  fail "dpkg -i: $(tail -5 "$run/dpkg.log")"
fi
[[ $(c systemctl is-enabled "$unit" 2>&1) == enabled ]] && ok "enabled by postinst" || fail "not enabled after install"
wait_line "daemon ready with configuration revision 1" "$before" "started by postinst, daemon ready"

# ---- systemctl stop: the daemon ends with 107, the unit cleanly ----
before=$(journal_lines)
c systemctl stop "$unit"
[[ $(c systemctl is-active "$unit" 2>&1) == inactive ]] && ok "systemctl stop: inactive" ||
  fail "systemctl stop: $(c systemctl is-active "$unit" 2>&1)"
wait_line "^Exit with status 107 " "$before" "stop: the daemon logged its status 107"
wait_line "daemon exited with status 107 " "$before" "stop: the supervisor logged status 107"
result="$(c systemctl show -P Result "$unit") $(c systemctl show -P ExecMainStatus "$unit")"
[[ $result == "success 0" ]] && ok "stop: Result=success, status 0" || fail "stop: Result and status $result"

# ---- systemctl start ----
before=$(journal_lines)
c systemctl start "$unit" && ok "systemctl start" || fail "systemctl start"
wait_line "daemon ready with configuration revision 1" "$before" "start: daemon ready"
# How the daemon opens message files under the unit's system call filter.
opens="$(journal | grep -Eo 'Message files are opened (through io_uring|on a thread: .*)' | tail -1)"
[[ -n $opens ]] && ok "under the unit's filter: $opens" || fail "no line saying how message files are opened"

# ---- Type=notify: start returns once the sockets answer, and a reload
# right after it, or queued behind it, kills nothing ----
stat_now() { c mqctl --client-socket /run/orvane-mail-quarantine/client.sock stat >/dev/null 2>&1; }
c systemctl stop "$unit"
c systemctl reset-failed "$unit"
not_ready=0
failed=0
for i in $(seq 50); do
  # Every other round the reload is asked for while the start job runs.
  if ((i % 2)); then
    c systemctl start "$unit" || fail "round $i: systemctl start"
    stat_now || not_ready=$((not_ready + 1))
  else
    c systemctl start --no-block "$unit"
  fi
  c systemctl reload "$unit" || fail "round $i: systemctl reload"
  state="$(c systemctl is-active "$unit")/$(c systemctl show -P Result "$unit")"
  state+="/$(c systemctl show -P NRestarts "$unit")"
  [[ $state == active/success/0 ]] || failed=$((failed + 1))
  c systemctl stop "$unit"
  [[ $(c systemctl show -P Result "$unit") == success ]] || failed=$((failed + 1))
  # The unit's start limit (30 in 10 minutes) would count these: reset it,
  # which also sets NRestarts back to 0.
  c systemctl reset-failed "$unit"
done
[[ $not_ready -eq 0 ]] && ok "25 starts: the client socket answered as each returned" ||
  fail "$not_ready of 25 starts returned before the client socket answered"
if [[ $failed -eq 0 ]]; then
  ok "50 rounds of start and reload back to back: each active, Result=success, NRestarts 0"
else
  fail "start and reload back to back: $failed failures ($(journal |
    grep -E 'signal 1|SIGHUP|status=|Failed' | tail -3 | tr '\n' ' '))"
fi
c systemctl start "$unit" || fail "systemctl start after those"

# ---- an administrator's restarts in a row are not refused as a start limit ----
restarts=0
for _ in 1 2 3 4 5 6 7; do
  c systemctl restart "$unit" 2>/dev/null && restarts=$((restarts + 1))
done
[[ $restarts -eq 7 ]] && ok "7 restarts in a row" || fail "only $restarts of 7 restarts in a row: $(c systemctl show -P Result "$unit")"
wait_for c systemctl is-active -q "$unit" && wait_for metric_is mail_quarantine_up 1 ||
  fail "not up after the restarts"

# ---- a stop while it starts is a stop, not a failure ----
failed=0
for _ in 1 2 3 4 5; do
  c systemctl restart "$unit" && c systemctl stop "$unit"
  [[ $(c systemctl show -P Result "$unit") == success ]] || failed=$((failed + 1))
done
[[ $failed -eq 0 ]] && ok "stop right after start, 5 times: Result=success" ||
  fail "stop right after start: $failed of 5 failed ($(journal | grep -E 'status=|killed by' | tail -2 | tr '\n' ' '))"
c systemctl start "$unit" || fail "systemctl start after those"
wait_for metric_is mail_quarantine_up 1 || fail "not up again"

# ---- the sockets' directory: 0750, group orvane-mq ----
dir_mode="$(c stat -c '%a %U %G' /run/orvane-mail-quarantine 2>&1)"
[[ $dir_mode == "750 root orvane-mq" ]] && ok "/run/orvane-mail-quarantine $dir_mode" ||
  fail "/run/orvane-mail-quarantine is $dir_mode, wants 750 root orvane-mq"
for s in sorter client; do
  c test -S "/run/orvane-mail-quarantine/$s.sock" && ok "$s.sock there" || fail "no $s.sock"
done
# A member of the group reaches the daemon; another user does not. From a
# folder without ./var, so that mqctl falls back to the service's sockets.
mqctl_as() { c sh -c "cd /srv && exec setpriv --reuid=$1 --regid=$2 --clear-groups mqctl stat"; }
if out="$(mqctl_as orvane-mq orvane-mq 2>&1)"; then
  ok "mqctl stat as orvane-mq"
else
  fail "mqctl stat as orvane-mq: $out"
fi
if out="$(mqctl_as nobody nogroup 2>&1)"; then
  fail "nobody reached the daemon: $out"
else
  ok "nobody does not reach the daemon: $(tail -1 <<<"$out")"
fi

# ---- metrics ----
# A probe's result is kept for a second: wait for one that saw the daemon.
metrics_ready() { metric_is mail_quarantine_up 1 && metric_is mail_quarantine_queue_probe_success 1; }
if wait_for metrics_ready; then
  ok "metrics on 127.0.0.1:9467: up 1, probe 1"
else
  fail "metrics: $(scrape 2>&1 | grep -E '^mail_quarantine_(up|queue_probe_success) ' | tr '\n' ' ')"
fi

# ---- systemctl reload: SIGHUP reaches the daemon, it asks for the
# configuration again, same processes ----
pids="$(main_pid)/$(daemon_pid)"
before=$(journal_lines)
c systemctl reload "$unit" && ok "systemctl reload" || fail "systemctl reload"
wait_line "^SIGHUP received, config will be ordered from Overseer" "$before" "reload: the daemon got SIGHUP"
wait_line "daemon ready with configuration revision 2" "$before" "reload: configuration revision 2 applied"
wait_for metric_is mail_quarantine_config_revision 2 && ok "reload: metrics show revision 2" ||
  fail "reload: metrics do not show revision 2"
[[ $(main_pid)/$(daemon_pid) == "$pids" ]] && ok "reload: same processes $pids" ||
  fail "reload: processes $pids became $(main_pid)/$(daemon_pid)"
# A configuration change takes effect on reload: debug lines appear.
debug_lines() { journal -p debug..debug | wc -l; }
more_debug() { [[ $(debug_lines) -gt $1 ]]; }
c sed -i 's/LOG_LEVEL_INFO/LOG_LEVEL_DEBUG/' /etc/orvane-mail-quarantine/config.json
before=$(journal_lines)
debug_before=$(debug_lines)
c systemctl reload "$unit"
wait_line "daemon ready with configuration revision 3" "$before" "reload: changed configuration applied"
# The daemon logs each request at debug level: a scrape makes some.
scrape_logs_debug() { scrape >/dev/null && more_debug "$1"; }
wait_for scrape_logs_debug "$debug_before" && ok "reload: the daemon logs at debug level now" ||
  fail "reload: no debug line after LOG_LEVEL_DEBUG"
c sed -i 's/LOG_LEVEL_DEBUG/LOG_LEVEL_INFO/' /etc/orvane-mail-quarantine/config.json
c systemctl reload "$unit"

# ---- kill -9 of the daemon: the supervisor starts it again ----
old="$(daemon_pid)"
before=$(journal_lines)
kill_9 "$old" || fail "kill -9 of the daemon: no daemon ('$old')"
wait_line "daemon killed by signal 9 \(SIGKILL\); restarting in 1 s" "$before" "kill -9 of the daemon: restart logged"
new_daemon() { local p; p="$(daemon_pid)" && [[ $p != "$old" ]]; }
if wait_for new_daemon && wait_for metric_is mail_quarantine_up 1; then
  ok "kill -9 of the daemon: new daemon $(daemon_pid), up again"
else
  fail "kill -9 of the daemon: no new daemon up"
fi
metric_is 'mail_quarantine_restarts_total{reason="killed"}' 1 && ok "metrics count the restart" ||
  fail "metrics: $(scrape | grep restarts_total | tr '\n' ' ')"

# ---- kill -9 of the supervisor: systemd restarts the unit (RestartSec=10s) ----
old_main="$(main_pid)"
old="$(daemon_pid)"
before=$(journal_lines)
kill_9 "$old_main" || fail "kill -9 of the supervisor: no main process ('$old_main')"
new_main() { local p; p="$(main_pid)" && [[ $p != 0 && $p != "$old_main" ]] && c systemctl is-active -q "$unit"; }
if wait_for new_main; then
  ok "kill -9 of the supervisor: systemd restarted the unit (pid $(main_pid))"
else
  fail "kill -9 of the supervisor: not restarted ($(c systemctl is-active "$unit" 2>&1))"
fi
c test -d "/proc/$old" && fail "the old daemon $old outlived its supervisor" || ok "the old daemon did not outlive its supervisor"
wait_line "daemon ready with configuration revision 1" "$before" "after the unit's restart, daemon ready"

# ---- a supervisor that hangs: the watchdog ends it, systemd restarts the
# unit (a drop-in shortens the watchdog for the test) ----
dropin="/run/systemd/system/$unit.d"
c mkdir -p "$dropin"
c sh -c "printf '[Service]\nWatchdogSec=2s\n' >$dropin/watchdog.conf"
c systemctl daemon-reload
c systemctl restart "$unit" || fail "restart with WatchdogSec=2s"
old_main="$(main_pid)"
restarts_before="$(c systemctl show -P NRestarts "$unit")"
before=$(journal_lines)
[[ $old_main =~ ^[0-9]+$ && $old_main -gt 1 ]] && c kill -STOP "$old_main"
# Two seconds of watchdog, the abort, RestartSec=10s and the start.
restarted() { new_main && [[ $(c systemctl show -P NRestarts "$unit") -gt $restarts_before ]]; }
if limit=$((60 * scale)) wait_for restarted; then
  ok "SIGSTOP of the supervisor: the watchdog ended it, systemd restarted the unit (pid $(main_pid))"
else
  fail "SIGSTOP of the supervisor: not restarted ($(c systemctl is-active "$unit" 2>&1), NRestarts $(c systemctl show -P NRestarts "$unit"))"
fi
wait_line "Watchdog timeout" "$before" "the journal names the watchdog"
wait_for stat_now && ok "the restarted unit answers" || fail "the restarted unit does not answer"
c rm -rf "$dropin"
c systemctl daemon-reload

# ---- the web view: start returns once its port answers ----
web=orvane-mail-quarantine-web.service
web_answers() { c curl -sS --max-time 10 -o /dev/null http://127.0.0.1:9468/login; }
if c systemctl start "$web" && web_answers; then
  ok "$web: its port answered as start returned"
else
  fail "$web: start, then its port: $(c systemctl is-active "$web" 2>&1)"
fi
c systemctl stop "$web"
[[ $(c systemctl show -P Result "$web") == success ]] && ok "$web stopped: Result=success" ||
  fail "$web stopped: Result=$(c systemctl show -P Result "$web")"

# ---- the journal's priorities ----
# The supervisor's "<N>" prefixes and the daemon's syslog lines (through
# /dev/log, facility mail) keep their priorities.
# PRIORITY (or another field, $2) of the unit's first entry whose message
# contains $1, from journalctl -o verbose: an entry starts unindented.
field_of() {
  c journalctl -u "$unit" --no-pager -o verbose | awk -v pat="$1" -v field="${2:-PRIORITY}=" '
    function check() { if (m && !done) { print f; done = 1 } }
    /^[^ ]/ { check(); f = ""; m = 0; next }
    { sub(/^ +/, "") }
    index($0, field) == 1 { f = substr($0, length(field) + 1) }
    index($0, "MESSAGE=") == 1 && index($0, pat) { m = 1 }
    END { check() }'
}
for row in "4|daemon killed by signal 9 (SIGKILL); restarting in" "5|re-read /etc/orvane-mail-quarantine/config.json" \
  "6|started /usr/sbin/orvane-mail-quarantine" "5|SIGHUP received, config will be ordered from Overseer" \
  "5|Exit with status 107"; do
  want="${row%%|*}"
  text="${row#*|}"
  got="$(field_of "$text")"
  [[ $got == "$want" ]] && ok "PRIORITY=$want: $text" || fail "PRIORITY of \"$text\" is '$got', wants $want"
done
facility="$(field_of "SIGHUP received" SYSLOG_FACILITY)"
[[ $facility == 2 ]] && ok "the daemon logs with facility mail" || fail "the daemon's facility is '$facility', wants 2 (mail)"
warnings="$(journal -p warning)"
if grep -q "restarting in" <<<"$warnings" && ! grep -q "^started " <<<"$warnings"; then
  ok "journalctl -p warning: the restart, not the informational lines"
else
  fail "journalctl -p warning shows: $(head -5 <<<"$warnings")"
fi

# ---- purge: stopped, account and spool gone ----
if c env DEBIAN_FRONTEND=noninteractive dpkg --purge orvane-mail-quarantine >"$run/dpkg.log" 2>&1; then
  ok "dpkg --purge"
else
  fail "dpkg --purge: $(tail -5 "$run/dpkg.log")"
fi
c pgrep -x mq-overseer >/dev/null && fail "mq-overseer still runs after purge" || ok "purge: nothing runs"
c getent passwd orvane-mq >/dev/null && fail "purge: the account is left" || ok "purge: account gone"
c test -e /var/spool/orvane-mail-quarantine && fail "purge: the spool is left" || ok "purge: spool gone"

if [[ $failures -ne 0 ]]; then
  echo "== live systemd: $failures check(s) failed; the unit's journal:"
  c journalctl -u "$unit" -p info --no-pager -o short-monotonic | tail -60
  exit 1
fi
echo "== live systemd: every check passed"
