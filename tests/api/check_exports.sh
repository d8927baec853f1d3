#!/usr/bin/env bash
# Compares the functions libvendrix.so exports with the list in the linker version script: the two
# must be equal, so an internal symbol that leaks out, or an export that went missing, fails.
set -euo pipefail
lib=$1 map=$2
expected=$(sed -n '/global:/,/local:/p' "$map" | grep -oE '^[[:space:]]*[A-Za-z_][A-Za-z0-9_]*;' | tr -d ' ;' | sort)
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sed 's/@.*//' | sort)
if [[ "$expected" != "$actual" ]]; then
  echo "exports differ (< expected, > actual):"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports match: $(echo "$actual" | wc -l) symbols"
