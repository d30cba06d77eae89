#!/usr/bin/env bash
# Fails when a Qt-free folder includes a Qt header, or when a folder includes
# from a folder above it in the layer order.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
qt_free=(engine dictionary rebuild loading shell cli)
for dir in "${qt_free[@]}"; do
  [[ -d $dir ]] || continue
  # */ui/ folders are the windows and may use Qt.
  hits=$(grep -rnE '#include\s*<Q[A-Za-z]' "$dir" --include='*.h' --include='*.cpp' \
         | grep -v "^$dir/ui/" | grep -v "/ui/" || true)
  if [[ -n $hits ]]; then
    echo "Qt header included in the Qt-free folder $dir/:"
    echo "$hits"
    status=1
  fi
done
# Layer order, bottom to top: a folder may include only from folders before it.
order=(engine dictionary rebuild loading shell widgets report cli app)
for ((i = 0; i < ${#order[@]}; i++)); do
  dir=${order[$i]}
  [[ -d $dir ]] || continue
  for ((j = i + 1; j < ${#order[@]}; j++)); do
    above=${order[$j]}
    hits=$(grep -rnE "#include\s*\"$above/" "$dir" --include='*.h' --include='*.cpp' || true)
    if [[ -n $hits ]]; then
      echo "$dir/ includes from $above/, which is above it:"
      echo "$hits"
      status=1
    fi
  done
done
if ((status == 0)); then echo "layer check: clean"; fi
exit $status
