#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages.
# Idempotent: returns at once when everything is already installed.
set -euo pipefail

packages=(
  build-essential cmake ccache pkg-config git
  libboost1.81-dev libboost-system1.81-dev libboost-thread1.81-dev
  libboost-filesystem1.81-dev libboost-program-options1.81-dev
  libboost-date-time1.81-dev libboost-json1.81-dev
  libprotobuf-dev protobuf-compiler
  libsqlite3-dev sqlite3
  liburing-dev
  libssl-dev
  libidn2-dev libre2-dev
  libsystemd-dev
  libgtest-dev libgmock-dev googletest
  clang-format
  file
  clang libclang-rt-dev
  strace
  fuse3 libfuse3-dev e2fsprogs xfsprogs btrfs-progs util-linux
  lintian prometheus systemd adduser
  debootstrap systemd-container
  chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
