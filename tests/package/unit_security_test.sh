#!/usr/bin/env bash
# The node's unit as systemd rates its exposure: at most 2.0 (of 10).
#   unit_security_test.sh UNIT
# Exit code 77 (skipped) without systemd-analyze.
set -u
command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze"; exit 77; }
report="$(systemd-analyze security --offline=true --no-pager "$1" 2>&1)"
score="$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")"
[ -n "$score" ] || { echo "FAIL: no exposure level in: $report" >&2; exit 1; }
awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' || { echo "FAIL: exposure $score > 2.0: $report" >&2; exit 1; }
echo "exposure $score"
