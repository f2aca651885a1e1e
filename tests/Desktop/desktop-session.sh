#!/usr/bin/env bash
# The real program on a virtual X display without a window manager: a start at login stays silent, a
# second launch hands over to the running copy (which shows its menu as a window, there being no tray) and
# exits 0, the window's rows act as the menu's, the tray icon comes with a tray host that starts late, goes
# when it goes and comes back with it, and SIGTERM during a recording (a session's end) saves it.
#   desktop-session.sh PROGRAM
set -euo pipefail
program=$1
work=$(mktemp -d)
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do [ -f "$log" ] && { echo "--- ${log##*/}" >&2; tail -n 40 "$log" >&2; }; done
  exit 1
}
# Waits up to `seconds` for the command to succeed.
within() {
  local seconds=$1 deadline
  shift
  deadline=$((SECONDS + seconds))
  until "$@"; do [ $SECONDS -lt "$deadline" ] || return 1; sleep 0.2; done
}

export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state \
  XDG_DATA_HOME=$work/data QT_QPA_PLATFORM=xcb QUILLORA_AUDIO_BACKEND=simulated LANG=C.UTF-8
unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER WAYLAND_DISPLAY
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
setpriv --pdeathsig KILL Xvfb -displayfd 3 -screen 0 1024x700x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
within 10 test -s "$work/display" || fail "no virtual display"
export DISPLAY=:$(head -n 1 "$work/display")

# The program's visible windows: "x y width height title".
windows() {
  local id
  for id in $(xdotool search --onlyvisible --class quillora 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    echo "$X $Y $WIDTH $HEIGHT $(xdotool getwindowname "$id")"
  done
}
titled() { windows | grep -q " $1\$"; }
tray_icon() { windows | awk '$2 < 40 && $4 <= 40 { found = 1 } END { exit !found }'; }
no_tray_icon() { ! tray_icon; }
start_trayer() {
  setpriv --pdeathsig KILL trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
    --transparent false --tint 0x333333 2>/dev/null &
  trayer_pid=$!
  pids+=("$trayer_pid")
}

# At login, no tray host yet: nothing shows, and starting at login is on from this first run.
setpriv --pdeathsig KILL "$program" --autostart >"$work/first.log" 2>&1 &
first=$!
pids+=("$first")
within 10 test -S "$XDG_RUNTIME_DIR/quillora.socket" || fail "the program did not start"
sleep 1.5
[ -z "$(windows)" ] || fail "a start at login showed windows: $(windows)"
grep -q -- '--autostart' "$XDG_CONFIG_HOME/autostart/com.tandrevel.Quillora.desktop" ||
  fail "the first run did not turn on starting at login"

# A launch at login while it runs: silent, exits 0. A launch from the applications menu: exits 0, and the
# running copy shows the menu as a window.
timeout 10 "$program" --autostart || fail "the second start at login ended with $?"
sleep 1
[ -z "$(windows)" ] || fail "a second start at login showed windows"
timeout 10 "$program" || fail "the second launch ended with $?"
within 5 titled Quillora || fail "the running copy did not show its window"
kill -0 "$first" || fail "the running copy ended"

# The window's first row is the menu's "Avvia registrazione": it starts a recording, and then stops it.
read -r x y _ <<<"$(windows | grep ' Quillora$')"
xdotool mousemove --sync $((x + 60)) $((y + 22)) click 1
within 10 titled "In registrazione" || fail "the window's first row did not start a recording"
xdotool mousemove --sync $((x + 60)) $((y + 22)) click 1
within 10 bash -c "! xdotool search --onlyvisible --name '^In registrazione$' >/dev/null" ||
  fail "the window's first row did not stop the recording"
ls "$HOME"/Music/Quillora/*.m4a >/dev/null || fail "no recording was saved"
# A second recording runs until the session's end (SIGTERM, below).
xdotool mousemove --sync $((x + 60)) $((y + 22)) click 1
within 10 titled "In registrazione" || fail "the window's first row did not start a second recording"

# A tray host that comes late, goes, and comes back.
no_tray_icon || fail "a tray icon without a tray host"
start_trayer
within 5 tray_icon || fail "no tray icon once the tray host came"
kill "$trayer_pid"
within 5 no_tray_icon || fail "the tray icon stayed after the tray host went"
start_trayer
within 5 tray_icon || fail "no tray icon once the tray host came back"

kill -TERM "$first"
wait "$first" || fail "the program ended with $? on SIGTERM"
# Ended during a recording, the program still saved it, finished into an ordinary MP4 (no fragments left).
[ "$(grep -c ' Stop: ' "$XDG_STATE_HOME/Quillora/quillora.log")" = 2 ] || fail "the recording was not stopped at the end"
for file in "$HOME"/Music/Quillora/*.m4a; do
  ! grep -q moof "$file" || fail "$file was not finished into an ordinary MP4"
done
echo "desktop session: all checks passed"
