#!/usr/bin/env bash
# Starts the real program the way a user does and checks it from outside.
#   smoke.sh display PROGRAM    under a private Xvfb: the window appears with
#                               its caption, Esc ends the run with 255
#   smoke.sh close PROGRAM      the same with openbox: closing the window
#                               through the window manager ends the run with 0
#   smoke.sh nodisplay PROGRAM  no display at all: exit code 1, one line on
#                               standard error, nothing on standard output
#   smoke.sh file PROGRAM       started with a source that does not exist:
#                               the window's error box appears over it, and
#                               OK ends the run with 1, the load's code
#   smoke.sh helpja PROGRAM     under LANG=ja_JP.UTF-8: Help (Alt+H) opens
#                               the Japanese pages (a stand-in xdg-open
#                               records what it is asked to open)
# Exit code 77 when the X tools are missing (the test is then skipped); the
# close test fails instead, so that it runs wherever tools/setup.sh has run.
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
display|close|file|helpja)
  for tool in Xvfb xdotool xprop xdpyinfo; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  [ "$mode" = display ] || { command -v openbox && command -v wmctrl; } >/dev/null ||
    fail "openbox and wmctrl are needed (tools/setup.sh installs them)"
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
  if [ "$mode" = close ]; then
    # Its default configuration; up once it names its check window on the root.
    XDG_CONFIG_HOME="$work/config" openbox --sm-disable >"$work/wm.log" 2>&1 &
    wm_pid=$!
    for _ in $(seq 1 300); do
      xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
      sleep 0.1
    done
    xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id' || fail "openbox is not up: $(cat "$work/wm.log")"
  fi

  [ "$mode" = file ] && set -- "$work/missing.prj" || set --
  if [ "$mode" = helpja ]; then
    # The desktop has no viewer of compiled help; its opener only records.
    mkdir "$work/bin"
    printf '#!/bin/sh\nexit 0\n' >"$work/bin/xdg-mime"
    printf '#!/bin/sh\necho "$1" >>"%s/opened"\n' "$work" >"$work/bin/xdg-open"
    chmod +x "$work/bin/xdg-mime" "$work/bin/xdg-open"
    export PATH="$work/bin:$PATH" LANG=ja_JP.UTF-8
    unset LANGUAGE LC_ALL LC_MESSAGES
  fi
  "$program" "$@" >"$work/out" 2>"$work/err" </dev/null &
  program_pid=$!
  caption="TREVIK Data Converter"
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

  if [ "$mode" = file ]; then
    # The box carries the application title.
    for _ in $(seq 1 300); do
      box="$(xdotool search --onlyvisible --name "^TREVIK Data Cpnverter\$" 2>/dev/null | head -n 1)"
      [ -n "$box" ] && break
      sleep 0.1
    done
    xdotool windowfocus --sync "$box" key Return || fail "no error box for the missing source"
    action="OK on the error box" expected=1
  elif [ "$mode" = helpja ]; then
    xdotool windowfocus --sync "$window" key alt+h
    for _ in $(seq 1 100); do [ -s "$work/opened" ] && break; sleep 0.1; done
    opened="$(cat "$work/opened" 2>/dev/null)"
    case "$opened" in */help/ja/index.html) ;; *) fail "Help opened \"$opened\", not help/ja/index.html" ;; esac
    [ -f "$opened" ] || fail "$opened does not exist"
    xdotool windowfocus --sync "$window" key Escape
    action="Help, which opened $opened, then Esc" expected=255
  elif [ "$mode" = close ]; then
    for _ in $(seq 1 300); do wmctrl -l | grep -qF "$caption" && break; sleep 0.1; done
    wmctrl -F -c "$caption" || fail "wmctrl finds no window: $(wmctrl -l 2>&1)"
    action="closing it through the window manager" expected=0
  else
    xdotool windowfocus --sync "$window" key Escape
    action="Esc" expected=255
  fi
  wait "$program_pid"
  code=$?
  program_pid=""
  [ "$code" -eq "$expected" ] || fail "exit code $code after $action, expected $expected: $(cat "$work/err")"
  echo "window \"$caption\" shown, $action ended the run with $expected"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
exit 0
