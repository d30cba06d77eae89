#!/usr/bin/env bash
# Fails when a C++ file of the repository differs from what clang-format
# (with the repository's .clang-format) makes of it, and names the files.
# scripts/check_format.sh --fix formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format > /dev/null || { echo "clang-format is missing (scripts/setup.sh)"; exit 1; }
mapfile -t files < <(git ls-files -- '*.h' '*.cpp')
if [[ ${1:-} == --fix ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
# One run over every file; each difference is reported as
# "FILE:LINE:COLUMN: error: code should be clang-formatted".
mapfile -t unformatted < <(clang-format --dry-run --Werror "${files[@]}" 2>&1 \
                           | grep -oE '^[^:]+:[0-9]+:[0-9]+: error' | cut -d: -f1 | sort -u || true)
if ((${#unformatted[@]})); then
  echo "Not formatted with clang-format (scripts/check_format.sh --fix formats them):"
  printf '  %s\n' "${unformatted[@]}"
  exit 1
fi
echo "format check: clean"
