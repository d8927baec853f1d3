#!/usr/bin/env bash
# Checks that every include in the library points down the layer stack: a file in layer L may include
# its own layer, the layers listed before L and the public header. Hosts (tools/, bindings/) may include
# the public header only. Usage: check_layers.sh SOURCE_DIR layer... (lowest first)
set -euo pipefail
root=$1
shift
layers=("$@")
status=0
for ((i = 0; i < ${#layers[@]}; i++)); do
  allowed="vendrix ${layers[*]:0:i+1}"
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$line")
    if [[ " $allowed " != *" $target "* ]]; then
      echo "$file: ${layers[i]} must not include $target (${line#*:})"
      status=1
    fi
  done < <(grep -rnE '^#include "[^"/]+/' "$root/src/${layers[i]}" || true)
done
for host in tools bindings; do
  [[ -d $root/$host ]] || continue
  while IFS= read -r line; do
    echo "$line: hosts reach the library through the public header only"
    status=1
  done < <(grep -rnE "^#include \"($(IFS='|'; echo "${layers[*]}"))/" "$root/$host" || true)
done
exit $status
