#!/usr/bin/env bash
# Builds the Debian package (Release build in build-package/, CPack's DEB
# generator) and prints its name. Install it with
#   sudo apt install ./build-package/orvane-mail-quarantine_*.deb
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$repo_root"

bash scripts/setup.sh
dir=build-package
cmake -S "$repo_root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DMQ_TESTS=OFF -DMQ_BENCH=OFF -DMQ_SANITIZE=OFF >/dev/null
cmake --build "$dir" -j"$jobs"
(cd "$dir" && cpack -G DEB >/dev/null)
deb="$(ls -t "$dir"/orvane-mail-quarantine_*.deb | head -1)"
dpkg-deb --field "$deb" Package Version Architecture Depends
echo "$deb"
