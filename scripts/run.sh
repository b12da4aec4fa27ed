#!/usr/bin/env bash
# Sets up, builds and runs the daemon under the bundled supervisor with its
# embedded default configuration. Extra arguments go to the supervisor.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

bash scripts/setup.sh
configure_build build
cmake --build build -j"$jobs" --target orvane-mail-quarantine mq-overseer mqctl
exec build/tools/overseer/mq-overseer --daemon build/orvane-mail-quarantine "$@"
