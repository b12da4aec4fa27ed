# Sourced by the scripts: common build settings.
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Cache hits across checkouts in different folders.
export CCACHE_BASEDIR="$repo_root"
export CCACHE_NOHASHDIR=1
jobs="$(nproc 2>/dev/null || echo 2)"

# configure_build DIR [cmake args...]
configure_build() {
  local dir="$1"
  shift
  cmake -S "$repo_root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}
