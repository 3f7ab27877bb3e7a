#!/usr/bin/env bash
# Starts the real program the way a user does and checks it from outside.
#   smoke.sh display PROGRAM    under a private Xvfb: the window appears with
#                               its caption, Esc ends the run with 255
#   smoke.sh close PROGRAM      under a private Xvfb with openbox: closing the
#                               window through the window manager (wmctrl -c)
#                               ends the run with 0
#   smoke.sh nodisplay PROGRAM  no display at all: exit code 1, one line on
#                               standard error, nothing on standard output
# Exit code 77 when the X tools of the display mode are missing (the test is
# then skipped); the close mode fails instead, so that it always runs where
# tools/setup.sh has installed its packages.
set -u
mode="$1"
program="$2"
work="$(mktemp -d)"
xvfb_pid=""
wm_pid=""
program_pid=""
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
caption="TREVIK Data Converter"

# Starts a private Xvfb and points DISPLAY at it once it takes connections.
start_xvfb() {
  # Xvfb picks a free display number itself and writes it to descriptor 3.
  # Without -noreset it resets whenever its last client leaves, and refuses
  # connections meanwhile: the program's own display check is such a client.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 1 300); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  export DISPLAY=":$(tr -d '\n' <"$work/display")"
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
  # The server may announce its number before it takes connections.
  for _ in $(seq 1 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  xdpyinfo >/dev/null 2>&1 || fail "Xvfb on $DISPLAY takes no connections: $(cat "$work/xvfb.log")"
}

# Starts the program and sets `window` to its visible top-level window.
start_program() {
  "$program" >"$work/out" 2>"$work/err" </dev/null &
  program_pid=$!
  window=""
  for _ in $(seq 1 300); do
    window="$(xdotool search --onlyvisible --name "^${caption}\$" 2>/dev/null | head -n 1)"
    [ -n "$window" ] && break
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$window" ] || fail "no window appeared: $(cat "$work/err")"
}

# The program's exit code once it has ended, within 30 seconds.
program_code() {
  for _ in $(seq 1 300); do
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$program_pid" 2>/dev/null && fail "the program is still running: $(cat "$work/err")"
  wait "$program_pid"
  local code=$?
  program_pid=""
  return "$code"
}

case "$mode" in
nodisplay)
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" >"$work/out" 2>"$work/err" </dev/null
  code=$?
  [ "$code" -eq 1 ] || fail "exit code $code, expected 1"
  [ ! -s "$work/out" ] || fail "standard output is not empty: $(cat "$work/out")"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "standard error is not one line: $(cat "$work/err")"
  [ "$(tail -c 1 "$work/err" | od -An -c | tr -d ' ')" = '\n' ] || fail "standard error does not end its line"
  # A display that names no running server is no display either.
  env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY="unix:$work/none" "$program" a >"$work/out" 2>"$work/err" </dev/null
  code=$?
  [ "$code" -eq 1 ] || fail "unreachable display: exit code $code, expected 1"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "unreachable display: standard error is not one line: $(cat "$work/err")"
  echo "no display: exit code 1, one line: $(cat "$work/err")"
  ;;
display)
  for tool in Xvfb xdotool xprop xdpyinfo; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  start_xvfb
  start_program
  name="$(xprop -id "$window" _NET_WM_NAME)"
  [ "$name" = "_NET_WM_NAME(UTF8_STRING) = \"$caption\"" ] || fail "window name: $name"

  xdotool windowfocus --sync "$window" key Escape
  program_code
  code=$?
  [ "$code" -eq 255 ] || fail "exit code $code after Esc, expected 255: $(cat "$work/err")"
  echo "window \"$caption\" shown, Esc ended the run with 255"
  ;;
close)
  for tool in Xvfb xdotool xprop xdpyinfo openbox wmctrl; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (tools/setup.sh installs it)"
  done
  start_xvfb
  # openbox with its default configuration, no session manager.
  XDG_CONFIG_HOME="$work/config" openbox --sm-disable >"$work/wm.log" 2>&1 &
  wm_pid=$!
  # The window manager is up once it names its check window on the root.
  for _ in $(seq 1 300); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    kill -0 "$wm_pid" 2>/dev/null || break
    sleep 0.1
  done
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' ||
    fail "openbox did not start: $(cat "$work/wm.log")"

  start_program
  # Closed once the window manager lists it among its windows.
  for _ in $(seq 1 300); do
    wmctrl -l 2>/dev/null | grep -qF "$caption" && break
    sleep 0.1
  done
  wmctrl -F -c "$caption" || fail "wmctrl does not find the window: $(wmctrl -l 2>&1)"
  program_code
  code=$?
  [ "$code" -eq 0 ] || fail "exit code $code after closing through the window manager, expected 0: $(cat "$work/err")"
  echo "window closed through openbox, the run ended with 0"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
exit 0
