#!/usr/bin/env bash
# Fails on any C++ source that clang-format (the repository's .clang-format)
# would change; `clang-format -i FILE` mends one.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard -- '*.cpp' '*.h' ':!proto/*' ':!third_party/*' |
  xargs -r clang-format --dry-run --Werror
