#!/usr/bin/env bash
# Reads the compiled help back with an independent reader (extract_chmLib,
# Debian libchm-bin): every page of help/ is in it unchanged, the contents
# list every page, and no page links to one that is missing.
#   chm_test.sh BUILT.chm HELP_SOURCE_DIR
set -u
chm="$1"
sources="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

extract_chmLib "$chm" "$work/out" >"$work/log" 2>&1 || fail "extract_chmLib $chm: $(cat "$work/log")"
contents="$work/out/trevik.hhc"
[ -f "$contents" ] || fail "no contents (trevik.hhc) in $chm"
pages=0
for page in "$sources"/*.html; do
  name="$(basename "$page")"
  cmp -s "$page" "$work/out/$name" || fail "$name is missing from $chm or differs from its source"
  grep -q "<param name=\"Local\" value=\"$name\">" "$contents" || fail "the contents do not list $name"
  for link in $(grep -o 'href="[^"#:]*"' "$page" | cut -d '"' -f 2); do
    [ -f "$work/out/$link" ] || fail "$name links to $link, which is not in $chm"
  done
  pages=$((pages + 1))
done
[ "$pages" -ge 7 ] || fail "only $pages pages in $sources"
echo "$chm: $pages pages, each listed in the contents, every link resolved"
