#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite.
#   scripts/test.sh            normal build in build/
#   scripts/test.sh --sanitize ASan + UBSan build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=build
flags=()
if [[ ${1:-} == --sanitize ]]; then
  build=build-asan
  flags+=(-DVELLUM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
# CI sets VELLUM_WERROR=1: a compiler warning fails the build.
if [[ ${VELLUM_WERROR:-} == 1 ]]; then flags+=(-DVELLUM_WERROR=ON); fi
scripts/check_layers.sh
scripts/check_format.sh
cmake -S . -B "$build" "${flags[@]}" > /dev/null
cmake --build "$build" -j"$(nproc)"
# Parameterised tests name their cases (a name generator, and PrintTo for the
# case's struct), so the test list never shows the bytes of a struct.
if ctest --test-dir "$build" -N | grep -E 'object <'; then
  echo "Parameterised tests above show bytes, not names: give their cases a PrintTo"
  exit 1
fi
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
