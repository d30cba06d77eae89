#!/usr/bin/env bash
# Runs clang-tidy (the repository's .clang-tidy) over the core, the command
# line, the data-aware components (widgets/), the report engine (report/),
# the windows (*/ui/) and the desktop program (app/), using the compile
# commands of a configured build; fails on any finding and names it.
#   scripts/check_tidy.sh [BUILD_DIR]   default: build
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
command -v run-clang-tidy > /dev/null || { echo "clang-tidy is missing (scripts/setup.sh)"; exit 1; }
[[ -f $build/compile_commands.json ]] || { echo "no $build/compile_commands.json: configure $build first"; exit 1; }
mapfile -t files < <(git ls-files -- 'engine/*.cpp' 'dictionary/*.cpp' 'rebuild/*.cpp' \
                       'loading/*.cpp' 'shell/*.cpp' 'cli/*.cpp' 'widgets/*.cpp' 'report/*.cpp' \
                       'app/*.cpp')
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The compile commands are GCC's: clang does not know all its warning options.
run-clang-tidy -quiet -p "$build" -extra-arg=-Wno-unknown-warning-option -j "$(nproc)" "${files[@]/#/$PWD/}" > "$log" 2>&1 || true
if grep -E '(warning|error): ' "$log" | sort -u | grep .; then
  echo "clang-tidy findings above (fix them, or justify a NOLINT on the line)"
  exit 1
fi
echo "tidy check: clean (${#files[@]} files)"
