#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, writes the seed corpus, and
# fuzzes each target in turn for its share of a bounded time, one worker on
# one core. Fails on any crash, broken check, leak, timeout or sanitizer
# report.
#
# Environment:
#   TREVIK_FUZZ_SECONDS  total fuzzing time, shared evenly by the targets run
#                        (default 120)
#   TREVIK_FUZZ_TARGETS  the targets to run, separated by spaces (default all)
#   TREVIK_FUZZ_BUILD    build directory (default build-fuzz in the checkout)
#   Extra arguments are passed on to every target (e.g. -runs=1000).
#
# Each target keeps its corpus in build-fuzz/fuzz/corpus/TARGET between runs,
# so a long campaign resumes where the last one ended. Inputs that make a
# target fail are left in build-fuzz/fuzz/findings/TARGET/ (the path is
# printed); copy each into tests/fuzz/regression/ with its fix.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${TREVIK_FUZZ_BUILD:-$root/build-fuzz}"
seconds="${TREVIK_FUZZ_SECONDS:-120}"
work="$build/fuzz"
seeds="$work/seeds"

# The targets: one line each, the CMake target, its dictionary and the
# directories of its seed inputs (the corpus and the findings are the
# script's own).
declare -A target_seeds target_dict
target_names=()
target() { target_names+=("$1"); target_dict[$1]="$2"; target_seeds[$1]="${*:3}"; }
target fuzz_convert "$root/tests/fuzz/trevik.dict" "$seeds" "$root/tests/fuzz/regression"
target fuzz_inspect "$root/tests/fuzz/trevik.dict" "$seeds" "$root/tests/fuzz/regression"
target fuzz_dicom "$root/tests/fuzz/dicom.dict" "$work/dicom-seeds" "$root/tests/fuzz/regression/dicom"

read -r -a selected <<< "${TREVIK_FUZZ_TARGETS:-${target_names[*]}}"
for t in "${selected[@]}"; do
  [ -n "${target_seeds[$t]+set}" ] || { echo "run-fuzz.sh: no fuzz target $t (${target_names[*]})" >&2; exit 2; }
done

echo "== fuzz build in $build" >&2
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTREVIK_FUZZ=ON -DTREVIK_WINDOW=OFF >&2
cmake --build "$build" -j2 --target "${selected[@]}" fuzz-seeds >&2

rm -rf "$seeds"
"$build/tests/fuzz/fuzz-seeds" "$seeds" >&2
# The DICOM source's seeds: small objects of every kind the tests build.
if [[ " ${selected[*]} " == *" fuzz_dicom "* ]]; then
  cmake --build "$build" -j2 --target fuzz-dicom-seeds >&2
  rm -rf "$work/dicom-seeds"
  "$build/tests/fuzz/fuzz-dicom-seeds" "$work/dicom-seeds" >&2
  # The first of them as JPEG 2000 too, where GDCM's converter is installed.
  if command -v gdcmconv > /dev/null; then
    first=$(find "$work/dicom-seeds" -name '*.dcm' | sort | head -n 1)
    [[ -z $first ]] || gdcmconv --j2k "$first" "$work/dicom-seeds/j2k.dcm" >&2 || true
  fi
fi

# The targets write their inputs and outputs as files; a memory file system
# keeps that off the disk where there is one.
scratch="${TMPDIR:-/tmp}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch=/dev/shm; fi

share=$((seconds / ${#selected[@]}))
[ "$share" -ge 1 ] || share=1
failed=0
for t in "${selected[@]}"; do
  corpus="$work/corpus/$t"
  findings="$work/findings/$t"
  mkdir -p "$corpus" "$findings"
  before="$(find "$findings" -type f | wc -l)"
  echo "== fuzzing $t for ${share}s (new corpus inputs in $corpus)" >&2
  status=0
  # shellcheck disable=SC2086  # the seed directories are separate words
  TMPDIR="$scratch" \
  ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    "$build/tests/fuzz/$t" -max_total_time="$share" -timeout=30 -rss_limit_mb=2048 -max_len=70000 \
      -dict="${target_dict[$t]}" -artifact_prefix="$findings/" -print_final_stats=1 \
      "$@" "$corpus" ${target_seeds[$t]} || status=$?
  after="$(find "$findings" -type f | wc -l)"
  if [ "$status" -ne 0 ] || [ "$after" -gt "$before" ]; then
    echo "FUZZING $t FAILED (exit code $status). Inputs that failed are in $findings/:" >&2
    ls -l "$findings" >&2 || true
    echo "Replay one with: $build/tests/fuzz/$t FILE" >&2
    failed=1
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "== fuzzing found nothing" >&2
