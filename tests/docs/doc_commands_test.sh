#!/usr/bin/env bash
# Every command that README.md and the guides in docs/ show in a code block
# as build/PROGRAM (with trevik-dicom, its subcommand) still takes the
# options shown there: its --help exits 0 and lists each of them. And the
# README stays short, with the quick start at its top.
#   doc_commands_test.sh SOURCE_DIR BUILD_DIR
set -u
source_dir="$1"
build="$2"
failures=0
checked=0

# The commands of a Markdown file's code blocks, a continued line joined.
commands_of() {
  awk '/^```/ { block = !block; next }
       block { line = line $0; if (line ~ /\\$/) { sub(/\\$/, " ", line); next } print line; line = "" }' "$1" |
    grep -o 'build/[a-z][a-z-]*[^|;&#>]*'
}

shopt -s nullglob
for doc in "$source_dir/README.md" "$source_dir"/docs/*.md; do
  while read -r program rest; do
    name="${program#build/}"
    [ -x "$build/$name" ] && [ ! -d "$build/$name" ] || continue
    command=("$build/$name")
    read -r -a words <<<"$rest"
    if [ "$name" = trevik-dicom ] && [ "${#words[@]}" -gt 0 ] && [[ "${words[0]}" != -* ]]; then
      command+=("${words[0]}")
    fi
    help="$("${command[@]}" --help 2>&1)" || {
      echo "FAIL: ${doc#"$source_dir"/}: ${command[*]#"$build"/} --help ends with $?" >&2
      failures=$((failures + 1))
      continue
    }
    for word in "${words[@]}"; do
      word="${word#[}"  # an optional one, [--keep DIR]
      [[ "$word" == --?* ]] || continue
      option="${word%%[=\]]*}"
      checked=$((checked + 1))
      if ! grep -q -- "$option\\b" <<<"$help"; then
        echo "FAIL: ${doc#"$source_dir"/}: ${command[*]#"$build"/} shows $option, which its --help does not list" >&2
        failures=$((failures + 1))
      fi
    done
  done < <(commands_of "$doc")
done
# The README starts short: at most 250 lines, the quick start in its first 40.
readme="$source_dir/README.md"
[ "$(wc -l <"$readme")" -le 250 ] || { echo "FAIL: README.md has $(wc -l <"$readme") lines" >&2; failures=$((failures + 1)); }
head -n 40 "$readme" | grep -q '^\./run ' && head -n 40 "$readme" | grep -q '^\./test' ||
  { echo "FAIL: README.md: no quick start in its first 40 lines" >&2; failures=$((failures + 1)); }
echo "$checked options of documented commands checked; $failures failures"
[ "$checked" -gt 0 ] && [ "$failures" -eq 0 ]
