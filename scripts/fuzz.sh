#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# runs each for SECONDS seconds (default 60) on a copy of its seed corpus.
#   scripts/fuzz.sh [SECONDS [TARGET ...]]
# First every saved regression input (fuzz/regressions/<target>/) is run once.
# fuzz/seeds/ is never modified: each target works on a copy in a temporary
# directory. Exits non-zero when any target crashes, leaks, times out or
# breaks an engine contract; the inputs that did so are kept in
# build-fuzz/crashes/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(db_reader px_reader mb_reader xy_reader val_reader journal_reader rollback_journal alias_config)
if (($# > 1)); then targets=("${@:2}"); fi

scripts/setup.sh
cmake -S . -B build-fuzz -DVELLUM_FUZZ=ON -DVELLUM_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_targets

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
  binary=build-fuzz/fuzz/fuzz_$target
  corpus=$work/$target/corpus
  artifacts=$work/$target/artifacts
  log=$work/$target/log
  mkdir -p "$corpus" "$artifacts"
  cp fuzz/seeds/"$target"/* "$corpus"/
  status=0
  regressions=(fuzz/regressions/"$target"/*)
  if [[ -e ${regressions[0]} ]]; then
    "$binary" -timeout=10 "${regressions[@]}" > "$log" 2>&1 || status=$?
  fi
  if ((status == 0)); then
    "$binary" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/" -print_final_stats=1 >> "$log" 2>&1 || status=$?
  fi
  if ((status != 0)); then
    echo "== $target: FAILED (exit $status)"
    tail -n 60 "$log"
    mkdir -p build-fuzz/crashes/"$target"
    cp "$artifacts"/* build-fuzz/crashes/"$target"/ 2> /dev/null || true
    failed+=("$target")
  else
    runs=$(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    echo "== $target: clean ($runs runs in ${seconds}s, corpus of $(ls "$corpus" | wc -l) inputs)"
  fi
done
if ((${#failed[@]})); then
  echo "fuzzing failed: ${failed[*]} (inputs in build-fuzz/crashes/)"
  exit 1
fi
echo "fuzzing: clean"
