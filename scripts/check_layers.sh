#!/usr/bin/env bash
# Fails when a Qt-free folder includes a Qt header, or when a file includes
# from a layer it may not use.
#
# Layers, bottom to top; each may include from the layers before it:
#   engine, dictionary, rebuild, loading, shell   the core, no Qt
#   widgets, report                               data-aware widgets, the report engine
#   ui                                            the windows: every */ui/ folder
#   app                                           main() and start-up
# cli/ stands beside the windows, not above them: it presents what the core
# computes and may use report/ (PDF without a display), never widgets/, a
# */ui/ folder or app/.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0

qt_free=(engine dictionary rebuild loading shell cli)
for dir in "${qt_free[@]}"; do
  [[ -d $dir ]] || continue
  # */ui/ folders are the windows and may use Qt.
  hits=$(grep -rnE '#include\s*<Q[A-Za-z]' "$dir" --include='*.h' --include='*.cpp' \
         | grep -v "/ui/" || true)
  if [[ -n $hits ]]; then
    echo "Qt header included in the Qt-free folder $dir/:"
    echo "$hits"
    status=1
  fi
done

core="engine dictionary rebuild loading shell"
declare -A may_use=(
  [engine]="engine"
  [dictionary]="engine dictionary"
  [rebuild]="engine dictionary rebuild"
  [loading]="engine dictionary rebuild loading"
  [shell]="$core"
  [widgets]="$core widgets"
  [report]="$core widgets report"
  [ui]="$core widgets report ui"
  [app]="$core widgets report ui app"
  [cli]="$core report cli"
)

# Sets `layer` to the layer of a path relative to the root: any */ui/ folder
# is "ui", else its top folder; empty for folders outside the layers (tests,
# bench, fuzz).
layer_of() {
  layer=""
  case $1 in
    */ui/*) layer=ui ;;
    *) [[ -n ${may_use[${1%%/*}]+set} ]] && layer=${1%%/*} ;;
  esac
  return 0
}

include_pattern='#[[:space:]]*include[[:space:]]*"([^"]+)"'
while IFS= read -r hit; do
  [[ $hit =~ $include_pattern ]] || continue
  included=${BASH_REMATCH[1]}
  file=${hit%%:*}
  layer_of "$file"
  from=$layer
  layer_of "$included"
  to=$layer
  [[ -z $from || -z $to ]] && continue
  if [[ " ${may_use[$from]} " != *" $to "* ]]; then
    echo "$hit"
    echo "  $from may not include from $to (it may use: ${may_use[$from]})"
    status=1
  fi
done < <(grep -rnE '^\s*#\s*include\s*"' engine dictionary rebuild loading shell widgets report app cli \
           --include='*.h' --include='*.cpp' 2>/dev/null || true)

if ((status == 0)); then echo "layer check: clean"; fi
exit $status
