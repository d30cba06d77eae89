#!/usr/bin/env bash
# Sets up the machine, builds Vellum and runs its main job: the desktop
# program on a demo project. The script prepares the demo with vellum-cli: the
# sample tables of ../shared/corpus/leonhad_paradoxdriver/mtdemo copied into
# build/demo/data, the alias DEMO naming that directory, and a data
# dictionary in build/demo/dict loaded from it. Then `vellum -p build/demo/dict
# -a DEMO -d build/demo/out` opens the batch window that rebuilds every table
# of DEMO from the dictionary into build/demo/out: press Run.
#
# Without a display the same demo runs headless on Qt's offscreen platform,
# in vellum-driven (the program with the test driver, built for the tests)
# whose driver presses Run. Either way, once the program ends, the rebuilt
# tables are checked with `vellum-cli verify`.
#
#   scripts/run.sh                 the desktop demo
#   scripts/run.sh COMMAND ARGS... vellum-cli COMMAND ARGS... instead, with
#                                  relative paths taken from where you stand
set -euo pipefail
here=$PWD
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh
cmake -S . -B build > /dev/null
if (($# > 0)); then
  cmake --build build -j"$(nproc)" --target vellum-cli
  # Relative paths are the user's: from where the script was started.
  cd "$here"
  exec "$root/build/cli/vellum-cli" "$@"
fi
cmake --build build -j"$(nproc)" --target vellum vellum-driven vellum-cli

demo="$root/build/demo"
cli="$root/build/cli/vellum-cli"
rm -rf "$demo"
mkdir -p "$demo/data"
cp "$root/../shared/corpus/leonhad_paradoxdriver/mtdemo/"* "$demo/data/"
chmod u+w "$demo/data/"*
export VELLUM_CONFIG="$demo/aliases.conf"
"$cli" alias add DEMO "$demo/data" > /dev/null
"$cli" create-dictionary "$demo/dict" > /dev/null
"$cli" load -p "$demo/dict" --source "$demo/data" --as DEMO --yes-all > /dev/null
echo "Demo project: the dictionary $demo/dict describes the tables of the alias DEMO."

args=(-p "$demo/dict" -a DEMO -d "$demo/out")
status=0
if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
  echo "Starting: vellum ${args[*]} (press Run)"
  build/app/vellum "${args[@]}" || status=$?
else
  echo "No display (DISPLAY and WAYLAND_DISPLAY are not set): running the same demo headless,"
  echo "on Qt's offscreen platform, with the test driver of vellum-driven pressing Run."
  transcript="$demo/transcript.txt"
  QT_QPA_PLATFORM=offscreen VELLUM_TEST_TRANSCRIPT="$transcript" \
    build/tests/driven/vellum "${args[@]}" 2> /dev/null || status=$?
  echo "What the program showed:"
  sed 's/^/  /' "$transcript"
fi
echo "vellum ended with status $status. The rebuilt tables:"
for table in "$demo/out/"*.DB; do
  [[ -e $table ]] || { echo "  (none)"; status=1; break; }
  result=$("$cli" verify "$table" 2>&1) || status=1
  echo "  $(basename "$table"): $result"
done
exit $status
