#!/usr/bin/env bash
# The desktop entry and the file types as a desktop reads them, without an
# install: types by name and by content, the entry opens projection files.
#   desktop_test.sh SOURCE_DIR BUILD_DIR   (77: desktop utilities missing)
set -u
src="$1" build="$2" work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in desktop-file-validate update-mime-database update-desktop-database xdg-mime gio; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
desktop-file-validate "$src/packaging/trevik.desktop" || fail "desktop entry"
mkdir -p "$work/share/mime/packages" "$work/share/applications" && cd "$work" || fail "no work directory"
# xdg-mime asks gio on this desktop (elsewhere file(1), which knows no database).
export XDG_DATA_DIRS="$work/share:/usr/share" XDG_DATA_HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
  XDG_CURRENT_DESKTOP=GNOME
cp "$src/packaging/trevik.xml" share/mime/packages/ && cp "$src/packaging/trevik.desktop" share/applications/
update-mime-database "$work/share/mime" && update-desktop-database share/applications || fail "database update"
"$build/make-study" --output study.prj >/dev/null && "$build/trevik" study.prj study.gsd || fail "no study"
cp study.prj camera-file && cp study.gsd converted && head -c 4096 /dev/zero >zeros
for expected in study.prj=projection camera-file=projection study.gsd=data converted=data zeros=; do
  type="$(xdg-mime query filetype "${expected%%=*}")"
  want="application/x-gated-spect-${expected#*=}"
  [ -n "${expected#*=}" ] || want=application/octet-stream
  [ "$type" = "$want" ] || fail "${expected%%=*} is $type, expected $want"
done
[ "$(xdg-mime query default application/x-gated-spect-projection)" = trevik.desktop ] || fail "no default"
[ -z "$(xdg-mime query default application/x-gated-spect-data)" ] || fail "an output is taken for a source"
echo "desktop entry valid; file types and default application as expected"
