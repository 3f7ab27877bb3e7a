#!/usr/bin/env bash
# Builds the fuzz target with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, writes the seed corpus, and
# fuzzes the batch path for a bounded time with one worker, then the DICOM
# source (a quarter of the time, seeded with exported studies). Fails on
# any crash, broken check, leak, timeout or sanitizer report.
#
# Environment:
#   TREVIK_FUZZ_SECONDS  total fuzzing time (default 120), a quarter of it
#                        for the DICOM source
#   TREVIK_FUZZ_BUILD    build directory (default build-fuzz in the checkout)
#   Extra arguments are passed on to the fuzz target (e.g. -runs=1000).
#
# Inputs that make the target fail are left in build-fuzz/fuzz/findings/
# (the path is printed); copy each into tests/fuzz/regression/ with its fix.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${TREVIK_FUZZ_BUILD:-$root/build-fuzz}"
seconds="${TREVIK_FUZZ_SECONDS:-120}"
work="$build/fuzz"
seeds="$work/seeds"
corpus="$work/corpus"
findings="$work/findings"

echo "== fuzz build in $build" >&2
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTREVIK_FUZZ=ON -DTREVIK_WINDOW=OFF >&2
cmake --build "$build" -j2 --target fuzz_convert fuzz-seeds fuzz_dicom make-study trevik-dicom >&2
dicom_seconds=$((seconds / 4))
seconds=$((seconds - dicom_seconds))

target="$build/tests/fuzz/fuzz_convert"
rm -rf "$seeds"
mkdir -p "$corpus" "$findings"
"$build/tests/fuzz/fuzz-seeds" "$seeds" >&2

# The target writes a source and an output file for every input; a memory
# file system keeps that off the disk where there is one.
scratch="${TMPDIR:-/tmp}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch=/dev/shm; fi

before="$(find "$findings" -type f | wc -l)"
echo "== fuzzing for ${seconds}s (new corpus inputs in $corpus)" >&2
status=0
failed=0
TMPDIR="$scratch" \
ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
  "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -dict="$root/tests/fuzz/trevik.dict" -artifact_prefix="$findings/" -print_final_stats=1 \
    "$@" "$corpus" "$seeds" "$root/tests/fuzz/regression" || status=$?

after="$(find "$findings" -type f | wc -l)"
if [ "$status" -ne 0 ] || [ "$after" -gt "$before" ]; then
  echo "FUZZING FAILED (exit code $status). Inputs that failed are in $findings/:" >&2
  ls -l "$findings" >&2 || true
  echo "Replay one with: $target FILE" >&2
  failed=1
fi

# The DICOM source, seeded with exported studies of three kinds.
dicom="$work/dicom"
rm -rf "$dicom/seeds"
mkdir -p "$dicom/seeds" "$dicom/corpus" "$dicom/findings"
for kind in "--divisions 4 --frames 8" "--matrix 128 --divisions 2 --frames 4" "--divisions 0 --frames 6 --reverse"; do
  # shellcheck disable=SC2086
  "$build/make-study" $kind --output "$dicom/seed.prj" >&2
  "$build/trevik-dicom" export "$dicom/seed.prj" "$dicom/seeds/$(echo "$kind" | tr -d ' -').dcm" >&2
done
echo "== fuzzing the DICOM source for ${dicom_seconds}s" >&2
ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
  "$build/tests/fuzz/fuzz_dicom" -max_total_time="$dicom_seconds" -timeout=30 -rss_limit_mb=2048 \
    -artifact_prefix="$dicom/findings/" "$@" "$dicom/corpus" "$dicom/seeds" ||
  { echo "DICOM FUZZING FAILED. Inputs that failed are in $dicom/findings/" >&2; failed=1; }
[ "$failed" = 0 ] || exit 1
echo "== fuzzing found nothing" >&2
