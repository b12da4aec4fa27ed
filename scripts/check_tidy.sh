#!/usr/bin/env bash
# Runs clang-tidy (the checks of the repository's .clang-tidy) over every
# .cpp of src/, tools/ and bench/, or over the files named:
#   scripts/check_tidy.sh [FILE...]
# Fails on any finding and prints them, clang's own warnings under the
# build's -Wall -Wextra -Werror included. Needs build/compile_commands.json
# (the plain build's; MQ_TIDY_BUILD names another build folder).
#
# Why a cache: clang-tidy takes 20 to 70 s over a file that includes
# Boost.Asio (most of it matching in system headers), and the whole tree
# about half an hour on two loaded cores. So, like ccache, a clean result is
# kept under a hash of the translation unit as the preprocessor writes it
# (clang++ -E with the file's own flags from compile_commands.json, the
# checkout's path taken out), its flags, .clang-tidy and the tool versions:
# a file whose preprocessed text did not change is not analysed again,
# whichever header or checkout it came from. Only clean results are kept, so
# a finding is reported on every run until it is mended. The cache lives
# outside the repository, in
# ${MQ_TIDY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mq-tidy}; its entries are
# empty files, so it needs no pruning to speak of.
set -euo pipefail
source "$(dirname "$0")/env.sh"
# The files named, relative to the checkout.
files=()
for f in "$@"; do files+=("$(realpath -m --relative-to="$repo_root" "$f")"); done
cd "$repo_root"

build="$(cd "${MQ_TIDY_BUILD:-build}" && pwd)"
database="$build/compile_commands.json"
[[ -f $database ]] || {
  echo "check_tidy: no $database (configure the build first)" >&2
  exit 2
}
cache="${MQ_TIDY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mq-tidy}"
mkdir -p "$cache"

if ((${#files[@]} == 0)); then
  mapfile -t files < <(git ls-files -co --exclude-standard -- 'src/*.cpp' 'tools/*.cpp' 'bench/*.cpp')
fi

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

# What does not depend on the file: the checks and the tool that runs them.
common_key="$( (
  cat .clang-tidy
  clang-tidy --version
  clang++ --version
) | sha256sum | cut -d' ' -f1)"

# tidy_one FILE: analyses one file unless its clean result is cached;
# leaves FILE's findings in $out when there are any.
tidy_one() {
  local file="$1" name key command
  name="$(printf '%s' "$file" | tr '/' '_')"
  # The file's command with clang++ as the compiler, -E for -c and no -o.
  command="$(python3 - "$database" "$repo_root/$file" <<'PY'
import json, shlex, sys
database, wanted = sys.argv[1], sys.argv[2]
for entry in json.load(open(database)):
    if entry["file"] == wanted:
        args = entry.get("arguments") or shlex.split(entry["command"])
        args = args[1:]
        kept, skip = [], False
        for a in args:
            if skip:
                skip = False
            elif a == "-o":
                skip = True
            elif a != "-c":
                kept.append(a)
        print(entry["directory"])
        print(shlex.join(["clang++", "-E"] + kept))
        break
PY
)"
  if [[ -z $command ]]; then
    echo "$file: not in $database" >"$out/$name.fail"
    return 0
  fi
  key="$( (
    echo "$common_key"
    printf '%s\n' "${command#*$'\n'}" | sed "s|$repo_root|.|g"
    (cd "${command%%$'\n'*}" && eval "${command#*$'\n'}" 2>/dev/null) | sed "s|$repo_root|.|g"
  ) | sha256sum | cut -d' ' -f1)" || key=""
  if [[ -n $key && -e $cache/${key:0:2}/$key ]]; then
    touch "$cache/${key:0:2}/$key"
    return 0
  fi
  local start=$SECONDS
  if clang-tidy -p "$build" --quiet "$file" >"$out/$name.log" 2>&1; then
    if [[ -n $key ]]; then
      mkdir -p "$cache/${key:0:2}"
      : >"$cache/${key:0:2}/$key"
    fi
  else
    mv "$out/$name.log" "$out/$name.fail"
  fi
  echo "$file: $((SECONDS - start)) s" >>"$out/times"
}
export -f tidy_one
export build database cache out common_key repo_root

start=$SECONDS
printf '%s\0' "${files[@]}" | xargs -0 -r -n1 -P"$jobs" bash -c 'set -o pipefail; tidy_one "$1"' _
analysed=0
[[ -f $out/times ]] && analysed=$(wc -l <"$out/times")
echo "check_tidy: ${#files[@]} file(s), $analysed analysed, the rest cached, $((SECONDS - start)) s"

shopt -s nullglob
failed=("$out"/*.fail)
if ((${#failed[@]} > 0)); then
  # The findings alone, without clang-tidy's counts of what it suppressed.
  grep -hv -e '^[0-9]* warnings\? generated\.$' -e '^Suppressed [0-9]* warnings' \
    -e '^Use -header-filter=' -e 'warnings\? treated as errors$' "${failed[@]}" || true
  echo "check_tidy: ${#failed[@]} file(s) not clean" >&2
  exit 1
fi
