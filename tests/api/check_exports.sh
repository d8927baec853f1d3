#!/usr/bin/env bash
# The functions libvendrix.so exports, the list in the linker version script and the functions the
# public header declares must be the same set: an internal symbol that leaks out, an export that went
# missing, or a declaration a host would fail to link against, fails.
# Usage: check_exports.sh LIBRARY VERSION_SCRIPT HEADER
set -euo pipefail
lib=$1 map=$2 header=$3
listed=$(sed -n '/global:/,/local:/p' "$map" | grep -oE '^[[:space:]]*[A-Za-z_][A-Za-z0-9_]*;' | tr -d ' ;' | sort)
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sed 's/@.*//' | sort)
declared=$(grep -E '^VENDRIX_API ' "$header" | sed -E 's/^([^(]*[^A-Za-z0-9_(])?([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\(.*/\2/' | sort)
status=0
diff -u --label "version script" --label "exported" <(echo "$listed") <(echo "$exported") || status=1
diff -u --label "version script" --label "declared" <(echo "$listed") <(echo "$declared") || status=1
[[ $status == 0 ]] && echo "exports match: $(echo "$listed" | wc -l) functions listed, exported and declared"
exit $status
