#!/usr/bin/env bash
# The desktop integration as a desktop reads it, without installing: the
# desktop entry validates, the file types name synthesised studies and
# converter outputs (by name, and by content where the name says nothing),
# and the entry is the application for projection files.
#   desktop_test.sh SOURCE_DIR BUILD_DIR
# Exit code 77 (skipped) when the desktop utilities are missing.
set -u
source_dir="$1"
build="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in desktop-file-validate update-mime-database update-desktop-database xdg-mime gio; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

desktop-file-validate "$source_dir/packaging/trevik.desktop" || fail "the desktop entry does not validate"
grep -qx 'Exec=trevik %f' "$source_dir/packaging/trevik.desktop" || fail "the desktop entry does not hand on its file"

# A data directory of our own, as /usr/share would hold it after the install.
data="$work/share"
mkdir -p "$data/mime/packages" "$data/applications" "$work/home" "$work/config"
cp "$source_dir/packaging/trevik.xml" "$data/mime/packages/trevik.xml"
cp "$source_dir/packaging/trevik.desktop" "$data/applications/trevik.desktop"
update-mime-database "$data/mime" 2>"$work/mime.log" || fail "update-mime-database: $(cat "$work/mime.log")"
update-desktop-database "$data/applications" || fail "update-desktop-database"
export XDG_DATA_DIRS="$data:/usr/share" XDG_DATA_HOME="$work/home" XDG_CONFIG_HOME="$work/config"
# xdg-mime asks gio on this desktop; elsewhere it may ask file(1), which
# knows no shared database.
export XDG_CURRENT_DESKTOP=GNOME

cd "$work" || fail "no work directory"
"$build/make-study" --matrix 128 --float --output study.prj >/dev/null || fail "make-study"
"$build/trevik" study.prj study.gsd || fail "trevik ended with $?"
cp study.prj camera-file
cp study.gsd converted
head -c 4096 /dev/zero >zeros.bin
printf 'PROJCS["a text file of another program"]\n' >other.txt

expect_type() {
  local type
  type="$(xdg-mime query filetype "$1" 2>&1)"
  [ "$type" = "$2" ] || fail "$1 is $type, expected $2"
  echo "$1: $type"
}
expect_type study.prj application/x-gated-spect-projection
expect_type study.gsd application/x-gated-spect-data
expect_type camera-file application/x-gated-spect-projection
expect_type converted application/x-gated-spect-data
# Zero bytes alone are not taken for a projection file.
expect_type zeros.bin application/octet-stream
expect_type other.txt text/plain

app="$(xdg-mime query default application/x-gated-spect-projection 2>&1)"
[ "$app" = trevik.desktop ] || fail "projection files open with '$app', expected trevik.desktop"
# A converter output is no source: the entry does not claim it.
app="$(xdg-mime query default application/x-gated-spect-data 2>&1)"
[ -z "$app" ] || fail "Gated SPECT data files open with '$app'"
echo "desktop entry valid; types and default application as expected"
