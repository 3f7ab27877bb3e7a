#!/usr/bin/env bash
# Starts the real program the way a user does and checks it from outside.
#   smoke.sh display PROGRAM    under a private Xvfb: the window appears with
#                               its caption, Esc ends the run with 255
#   smoke.sh nodisplay PROGRAM  no display at all: exit code 1, one line on
#                               standard error, nothing on standard output
# Exit code 77 when the X tools are missing (the test is then skipped).
set -u
mode="$1"
program="$2"
work="$(mktemp -d)"
xvfb_pid=""
program_pid=""
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

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

  "$program" >"$work/out" 2>"$work/err" </dev/null &
  program_pid=$!
  caption="TOSHIBA TREVIK Data Converter"
  window=""
  for _ in $(seq 1 300); do
    window="$(xdotool search --onlyvisible --name "^${caption}\$" 2>/dev/null | head -n 1)"
    [ -n "$window" ] && break
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$window" ] || fail "no window appeared: $(cat "$work/err")"
  name="$(xprop -id "$window" _NET_WM_NAME)"
  [ "$name" = "_NET_WM_NAME(UTF8_STRING) = \"$caption\"" ] || fail "window name: $name"

  xdotool windowfocus --sync "$window" key Escape
  wait "$program_pid"
  code=$?
  program_pid=""
  [ "$code" -eq 255 ] || fail "exit code $code after Esc, expected 255: $(cat "$work/err")"
  echo "window \"$caption\" shown, Esc ended the run with 255"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
exit 0
