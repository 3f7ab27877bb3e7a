#!/usr/bin/env bash
# The batch converter stays lean: its text (code and read-only data, as
# `size` counts it) within the budget, and none of what the batch path never
# calls linked in: C++ streams and locales (which bring character-set
# conversion and time formatting), scanf, strftime, the quality control.
# $1: the static trevik; $2: the budget in bytes.
set -euo pipefail
program="$1"
budget="$2"
command -v size > /dev/null && command -v nm > /dev/null || exit 77
text=$(size "$program" | awk 'NR == 2 { print $1 }')
echo "text of $program: $text bytes (budget $budget)"
status=0
if [ "$text" -gt "$budget" ]; then
  echo "FAIL: over the budget by $((text - budget)) bytes" >&2
  status=1
fi
# Symbols that mark a part of a library the batch path does not need.
unwanted='^(iconv_open|strftime|__vfscanf_internal|__isoc99_sscanf|_ZNSt8ios_base4InitC[12]Ev|_ZN6trevik2qc.*)$'
found=$(nm "$program" | awk '{ print $NF }' | grep -E "$unwanted" || true)
if [ -n "$found" ]; then
  echo "FAIL: linked in although the batch path never calls it:" >&2
  echo "$found" >&2
  status=1
fi
exit $status
