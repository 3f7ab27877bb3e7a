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

# The targets: one line each, the CMake target and the directories of its
# seed inputs (the corpus and the findings are the script's own).
declare -A target_seeds
target_names=()
target() { target_names+=("$1"); target_seeds[$1]="${*:2}"; }
target fuzz_convert "$seeds" "$root/tests/fuzz/regression"
target fuzz_inspect "$seeds" "$root/tests/fuzz/regression"
target fuzz_dicom "$work/dicom-seeds"

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
# The DICOM source's seeds: exported studies of three kinds.
if [[ " ${selected[*]} " == *" fuzz_dicom "* ]]; then
  cmake --build "$build" -j2 --target make-study trevik-dicom >&2
  rm -rf "$work/dicom-seeds"
  mkdir -p "$work/dicom-seeds"
  for kind in "--divisions 4 --frames 8" "--matrix 128 --divisions 2 --frames 4" "--divisions 0 --frames 6 --reverse"; do
    # shellcheck disable=SC2086  # the options are separate words
    "$build/make-study" $kind --output "$work/dicom-seed.prj" >&2
    "$build/trevik-dicom" export "$work/dicom-seed.prj" "$work/dicom-seeds/$(echo "$kind" | tr -d ' -').dcm" >&2
  done
  # The first of them as JPEG 2000 too, where GDCM's converter is installed.
  if command -v gdcmconv > /dev/null; then
    gdcmconv --j2k "$work/dicom-seeds/divisions4frames8.dcm" "$work/dicom-seeds/j2k.dcm" >&2 || true
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
      -dict="$root/tests/fuzz/trevik.dict" -artifact_prefix="$findings/" -print_final_stats=1 \
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
