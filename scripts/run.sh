#!/usr/bin/env bash
# Sets up the machine, builds Vellum and runs vellum-cli with the given
# arguments (by default: describe a sample table of the shared corpus).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh
cmake -S . -B build > /dev/null
cmake --build build -j"$(nproc)" --target vellum-cli
if (($# == 0)); then
  set -- describe "$root/../shared/corpus/leonhad_paradoxdriver/db/CUSTOMER"
fi
exec build/cli/vellum-cli "$@"
