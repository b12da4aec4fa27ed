#!/usr/bin/env bash
# Builds the Debian package and checks it: lintian must report no error and
# no warning (the package needs no overrides), and systemd-analyze verify
# must pass the unit as installed. Skips
# a check, saying so, when its tool is missing.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

deb="$(bash scripts/package.sh | tail -1)"
status=0
if command -v lintian >/dev/null; then
  echo "== lintian $deb"
  lintian --fail-on error,warning --display-level '>=warning' "$deb" || status=1
else
  echo "== lintian: not installed, package not checked (apt install lintian)"
fi
if command -v systemd-analyze >/dev/null; then
  root="$(mktemp -d)"
  trap 'rm -rf "$root"' EXIT
  # A root of this machine's units and shell with the package on top: the
  # unit's dependencies and every program it runs must be found in it.
  mkdir -p "$root/lib/systemd/system" "$root/bin"
  cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
  cp -L /bin/sh "$root/bin/sh"
  dpkg-deb --extract "$deb" "$root"
  for unit in "$root"/lib/systemd/system/orvane-mail-quarantine{,-web}.service; do
    echo "== systemd-analyze verify $(basename "$unit")"
    # Any message is a finding.
    out="$(systemd-analyze verify --man=no --root="$root" "$unit" 2>&1)" || status=1
    if [[ -n $out ]]; then
      echo "$out"
      status=1
    fi
  done
else
  echo "== systemd-analyze: not installed, unit not verified"
fi
exit $status
