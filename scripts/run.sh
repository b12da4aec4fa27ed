#!/usr/bin/env bash
# Sets up, builds and runs the daemon under the bundled supervisor with its
# embedded default configuration (spool directory and both sockets under
# $XDG_STATE_HOME/orvane-mail-quarantine, else ./var). Extra arguments go to
# the supervisor: --config FILE (protobuf JSON of ov.MailQuarantineConfig),
# --verbose, --state-dir DIR. SIGHUP re-reads the file, Ctrl-C stops.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

bash scripts/setup.sh
configure_build build
cmake --build build -j"$jobs" --target orvane-mail-quarantine mq-overseer mqctl
exec build/tools/overseer/mq-overseer --daemon build/orvane-mail-quarantine "$@"
