#!/usr/bin/env bash
# Builds the Debian packages from the build tree, installs them with dpkg as
# a site would, and checks what got installed: the Depends fields themselves
# (every runtime package is already here, so an install alone would hide a
# missing one), lintian, the batch converter without Qt and with the build
# tree's output, the manual page, and the window started as the desktop
# entry starts it, under Xvfb. The packages are purged at the end, also on
# failure.
#   install_test.sh BUILD_DIR
# Exit code 77 (skipped) when not root, or when trevik is already installed
# here: the test would replace and then purge someone's real installation.
set -u
build="$1"
work="$(mktemp -d)"
caption="TREVIK Data Converter"
installed=0
xvfb_pid=""
program_pid=""
fail() { echo "FAIL: $*" >&2; exit 1; }

# dpkg, waiting while another package tool holds the database lock.
dpkg_waiting() {
  for _ in $(seq 1 90); do
    dpkg "$@" 2>"$work/dpkg.err" && return 0
    grep -qi "lock" "$work/dpkg.err" || break
    sleep 2
  done
  cat "$work/dpkg.err" >&2
  return 1
}
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ "$installed" = 1 ] && { dpkg_waiting --purge trevik-dicom trevik-window trevik >/dev/null || echo "FAIL: purge" >&2; }
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing packages needs root"; exit 77; }
if dpkg-query -W -f='${Status}\n' trevik trevik-window 2>/dev/null | grep -q 'ok installed'; then
  echo "SKIP: trevik is installed on this machine already"
  exit 77
fi

cd "$work" || fail "no work directory"
cpack --config "$build/CPackConfig.cmake" -B "$work" >cpack.log 2>&1 || fail "cpack: $(cat cpack.log)"
batch="$(ls trevik_*.deb)" && window="$(ls trevik-window_*.deb)" || fail "cpack made: $(ls)"

batch_depends="$(dpkg-deb -f "$batch" Depends)"
window_depends="$(dpkg-deb -f "$window" Depends)"
! grep -Eiq 'qt|libx|xcb|libgl|egl|wayland|font' <<<"$batch_depends" || fail "trevik depends on: $batch_depends"
for needed in 'trevik \(= ' 'libqt6widgets6' 'xdg-utils' 'qt6-translations-l10n'; do
  grep -Eq "(^|, )$needed" <<<"$window_depends" || fail "trevik-window lacks $needed: $window_depends"
done
# The viewer of compiled help brings a GUI toolkit of its own: suggested only.
[ "$(dpkg-deb -f "$window" Suggests)" = xchm ] && [ -z "$(dpkg-deb -f "$window" Recommends)" ] ||
  fail "trevik-window: Recommends \"$(dpkg-deb -f "$window" Recommends)\", Suggests \"$(dpkg-deb -f "$window" Suggests)\""
# trevik-dicom, where DCMTK was found: DCMTK in its package, never in trevik's.
dicom="$(ls trevik-dicom_*.deb 2>/dev/null)"
if [ -n "$dicom" ]; then
  dicom_depends="$(dpkg-deb -f "$dicom" Depends)"
  for needed in 'trevik \(= ' 'libdcmtk'; do
    grep -Eq "(^|, )$needed" <<<"$dicom_depends" || fail "trevik-dicom lacks $needed: $dicom_depends"
  done
  ! grep -qi dcmtk <<<"$batch_depends" || fail "trevik depends on: $batch_depends"
  # The window reads DICOM sources through DCMTK.
  grep -q 'libdcmtk' <<<"$window_depends" || fail "trevik-window lacks DCMTK: $window_depends"
fi
lintian --fail-on error,warning "$batch" "$window" $dicom >lintian.log 2>&1 || fail "lintian: $(cat lintian.log)"
! grep -E '^[EW]: ' lintian.log || fail "lintian warns"

installed=1
dpkg_waiting -i "$batch" "$window" $dicom >/dev/null || fail "dpkg -i"
! ldd /usr/bin/trevik | grep -i qt || fail "/usr/bin/trevik loads Qt"
! ldd /usr/bin/trevik | grep -i dcm || fail "/usr/bin/trevik loads DCMTK"
if [ -n "$dicom" ]; then
  /usr/bin/trevik-dicom --version | grep -q '^trevik-dicom ' || fail "/usr/bin/trevik-dicom --version"
  [ "$(man -w trevik-dicom)" = /usr/share/man/man1/trevik-dicom.1.gz ] || fail "man -w trevik-dicom"
  # The node as a service: installed, disabled, with its user, inbox and options.
  [ -s /lib/systemd/system/trevik-receive.service ] || fail "trevik-receive.service is not installed"
  ! ls /etc/systemd/system/*/trevik-receive.service 2>/dev/null || fail "trevik-receive.service is enabled"
  getent passwd trevik-receive >/dev/null || fail "no user trevik-receive"
  # Patient data: the inbox is the node's and the group trevik's alone.
  inbox_mode() { stat -c '%U:%G %a' /var/lib/trevik-receive/inbox; }
  [ "$(inbox_mode)" = "trevik-receive:trevik 2770" ] || fail "the inbox is $(inbox_mode), not trevik-receive:trevik 2770"
  # An upgrade from a version whose inbox was 0755 makes it private; the
  # link of a site's enable goes with the purge.
  chmod 0755 /var/lib/trevik-receive/inbox
  dpkg_waiting -i "$dicom" >/dev/null || fail "dpkg -i again (an upgrade)"
  [ "$(inbox_mode)" = "trevik-receive:trevik 2770" ] || fail "after an upgrade the inbox is $(inbox_mode)"
  systemctl enable trevik-receive.service >/dev/null 2>&1 || fail "systemctl enable trevik-receive.service"
  grep -q '^TREVIK_RECEIVE_OPTIONS=' /etc/default/trevik-receive || fail "/etc/default/trevik-receive"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /lib/systemd/system/trevik-receive.service >/dev/null 2>verify.log ||
      fail "systemd-analyze verify: $(cat verify.log)"
  fi
fi
"$build/make-study" --matrix 128 --float --divisions 4 --frames 16 --hr 72 --output study.prj >/dev/null ||
  fail "make-study"
/usr/bin/trevik study.prj installed.gsd || fail "/usr/bin/trevik ended with $?"
"$build/trevik" study.prj built.gsd || fail "the build tree's trevik ended with $?"
cmp installed.gsd built.gsd || fail "the installed converter writes another file"
if [ -n "$dicom" ]; then
  # A DICOM source handed from /usr/bin/trevik to /usr/bin/trevik-dicom.
  "$build/make-study" --divisions 4 --frames 16 --output integer.prj >/dev/null || fail "make-study"
  /usr/bin/trevik integer.prj integer.gsd || fail "/usr/bin/trevik ended with $?"
  /usr/bin/trevik-dicom export integer.prj integer.dcm || fail "trevik-dicom export ended with $?"
  /usr/bin/trevik integer.dcm dicom.gsd || fail "/usr/bin/trevik with a DICOM source ended with $?"
  cmp integer.gsd dicom.gsd || fail "the DICOM source converts to another file"
  # What the service writes into the inbox, as the unit runs it (its user,
  # group and umask): 0640, the group trevik's.
  chmod 0755 "$work" && chmod 0644 integer.dcm
  ( umask "$(sed -n 's/^UMask=//p' /lib/systemd/system/trevik-receive.service)" &&
    setpriv --reuid trevik-receive --regid trevik --clear-groups \
      /usr/bin/trevik-dicom import "$work/integer.dcm" /var/lib/trevik-receive/inbox/test.gsd ) ||
    fail "trevik-dicom import into the inbox as the service"
  [ "$(stat -c '%U:%G %a' /var/lib/trevik-receive/inbox/test.gsd)" = "trevik-receive:trevik 640" ] ||
    fail "the service writes $(stat -c '%U:%G %a' /var/lib/trevik-receive/inbox/test.gsd)"
  rm -f /var/lib/trevik-receive/inbox/test.gsd
  dpkg_waiting --purge trevik-dicom >/dev/null || fail "purge trevik-dicom"
  cp "$work/dpkg.err" purge.log
  # What a purge keeps (patient studies, the readers' group) is said, with
  # how to remove it; it is still there.
  for words in 'the system user trevik-receive' 'the group trevik ' '/var/lib/trevik-receive/inbox' \
    'rm -r /var/lib/trevik-receive' 'userdel trevik-receive' 'groupdel trevik$'; do
    grep -q -- "$words" purge.log || fail "the purge does not say \"$words\": $(cat purge.log)"
  done
  getent group trevik >/dev/null && [ -d /var/lib/trevik-receive/inbox ] || fail "the purge removed the group or the inbox"
  ! ls /etc/systemd/system/*/trevik-receive.service 2>/dev/null || fail "a purge leaves the enable link"
fi
[ "$(man -w trevik)" = /usr/share/man/man1/trevik.1.gz ] || fail "man -w trevik: $(man -w trevik 2>&1)"
if [ -x "$build/trevik-inspect" ]; then
  [ -x /usr/bin/trevik-inspect ] && [ "$(man -w trevik-inspect)" = /usr/share/man/man1/trevik-inspect.1.gz ] ||
    fail "trevik-inspect or its manual page is not installed"
fi
for file in /usr/lib/trevik/trevik.chm /usr/lib/trevik/help/index.html /usr/lib/trevik/trevik_ja.chm /usr/lib/trevik/help/ja/index.html; do
  [ -s "$file" ] || fail "$file is not installed"
done
desktop-file-validate /usr/share/applications/trevik.desktop || fail "desktop entry"
# The file types, registered by the shared MIME database's trigger.
grep -q '^application/x-gated-spect-projection:\*\.prj$' /usr/share/mime/globs ||
  fail "the projection file type is not in the shared MIME database"

# The window, started through /usr/bin/trevik as the desktop entry does.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>display 2>xvfb.log &
xvfb_pid=$!
for _ in $(seq 1 300); do
  [ -s display ] && DISPLAY=":$(cat display)" xdotool getdisplaygeometry >/dev/null 2>&1 && break
  sleep 0.1
done
export DISPLAY=":$(tr -d '\n' <display)"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
/usr/bin/trevik >out 2>err </dev/null &
program_pid=$!
window=""
for _ in $(seq 1 300); do
  window="$(xdotool search --onlyvisible --name "^${caption}\$" 2>/dev/null | head -n 1)"
  [ -n "$window" ] && break
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$window" ] || fail "no window \"$caption\" appeared: $(cat err)"
xdotool windowfocus --sync "$window" key Escape
wait "$program_pid"
code=$?
program_pid=""
[ "$code" -eq 255 ] || fail "exit code $code after Esc, expected 255: $(cat err)"
echo "both packages built, installed and used; window \"$caption\" shown; Esc gave 255"
