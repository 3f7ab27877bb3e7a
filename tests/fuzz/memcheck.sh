#!/usr/bin/env bash
# memcheck.sh CONVERTER SAMPLES_DIR: converts every sample study (*.prj) in
# SAMPLES_DIR once with CONVERTER under valgrind. Fails on any memory error,
# any leak of any kind, a non-zero exit code or a missing output. Exits 77
# (skipped) when valgrind is not installed.
set -euo pipefail
converter="$1"
samples="$2"

if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind is not installed; skipping" >&2
  exit 77
fi

shopt -s nullglob
studies=("$samples"/*.prj)
if [ ${#studies[@]} -eq 0 ]; then
  echo "no sample studies in $samples" >&2
  exit 1
fi

scratch="$(mktemp -d "${TMPDIR:-/tmp}/trevik-memcheck-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

status=0
for study in "${studies[@]}"; do
  output="$scratch/$(basename "$study" .prj).gsd"
  echo "== valgrind: $converter $study $output"
  if valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=all \
       --show-leak-kinds=all -q "$converter" "$study" "$output"; then
    if [ ! -s "$output" ]; then
      echo "no output written for $study" >&2
      status=1
    fi
  else
    echo "valgrind reported a problem (or the conversion failed) for $study" >&2
    status=1
  fi
done
exit $status
