#!/usr/bin/env bash
# The real window program on a desktop as a user has it: a virtual X server
# (Xvfb) with a real window manager (openbox) and a notification area
# (trayer), in a network namespace of its own where the machine allows one.
#   $1  the scenario:
#       exit      20 runs with "Run in tray" and the GPS data window on, ended
#                 in turn by SIGTERM and by the tray menu's Exit: each ends
#                 within 15 s with status 0, says it stopped, and leaves the
#                 settings saved with the GPS data window still on
#       minimise  in the tray, minimising hides the window without leaving
#                 a frame behind, and one double-click on the icon brings it back
#       second    a second start raises the running window and ends at once
#       options-800x600, options-1600x1000-1.5
#                 on a screen of that size (and that scale factor), the options
#                 dialog opened from the main window lies wholly on the screen
#   $2  the nivra program
set -euo pipefail
scenario=$1
program=$(realpath "$2")

screen=1024x768
case $scenario in
options-*)
  screen=$(echo "$scenario" | cut -d- -f2)
  scale=$(echo "$scenario" | cut -d- -f3)
  [ -n "$scale" ] && export QT_SCALE_FACTOR=$scale
  ;;
esac

if [ "${NIVRA_DESKTOP_INSIDE:-}" != 1 ]; then
  export NIVRA_DESKTOP_INSIDE=1
  # The listeners' ports stay inside a namespace of their own when one can
  # be had; Xvfb runs in it too, so the X connection needs no network.
  # The display's number starts from the process id: the test before may
  # still be ending its server on the number xvfb-run would pick first (99),
  # and a server that ends removes the socket file of that number. Without
  # -noreset the server starts over whenever its last client leaves, and
  # refuses the next one meanwhile.
  display=$((100 + $$ % 800))
  if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n bash -c 'ip link set lo up && exec xvfb-run -a -n "$4" -s "-screen 0 ${1}x24 -noreset" "$0" "$2" "$3"' \
      "$0" "$screen" "$scenario" "$program" "$display"
  fi
  exec xvfb-run -a -n "$display" -s "-screen 0 ${screen}x24 -noreset" "$0" "$scenario" "$program"
fi

work=$(mktemp -d)
helpers=()
cleanup() {
  for p in "${helpers[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
export NIVRA_REGISTRY="$work/registry.reg" XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$work/run"

fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/nivra.log" ] && sed 's/^/  nivra: /' "$work/nivra.log" >&2
  exit 1
}

# Waits up to $1 tenths of a second for the rest of the line to succeed.
waitFor() {
  local tenths=$1
  shift
  for _ in $(seq 1 "$tenths"); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

visible() { xdotool search --onlyvisible --name "$1"; }

openbox --sm-disable >"$work/openbox.log" 2>&1 &
helpers+=($!)
waitFor 100 xprop -root _NET_SUPPORTING_WM_CHECK || fail "openbox did not start"
trayer --edge top --align right --widthtype pixel --width 120 --height 28 --SetDockType true \
  >"$work/trayer.log" 2>&1 &
helpers+=($!)
waitFor 100 xdotool search --class trayer || fail "trayer did not start: $(cat "$work/trayer.log")"

# Settings of a user who runs in the tray with the GPS data window.
settings() {
  cat >"$NIVRA_REGISTRY" <<REG
Windows Registry Editor Version 5.00

[Software]

[Software\\Nivra]
"RunInTray"=dword:00000001
"ShowGpsData"=dword:00000001
"DemoMode"=dword:00000000
"AutoConnect"=dword:00000000
REG
}

pid=
start() {
  "$program" --dir "$work" --bind 127.0.0.1 --earth none >"$work/nivra.log" 2>&1 &
  pid=$!
  waitFor 200 grep -q "is running in its window" "$work/nivra.log" || fail "nivra did not start"
}

# The tray icon: a small window of the program's, titled "Nivra", that
# trayer holds (the main window has the same title but is larger).
trayIcon() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$pid" --name '^Nivra$' 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    if [ "$WIDTH" -le 48 ] && [ "$HEIGHT" -le 48 ]; then
      echo "$w"
      return 0
    fi
  done
  return 1
}

# The main window while it is on the screen.
mainWindow() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$pid" --name '^Nivra$' 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w")"
    if [ "$WIDTH" -gt 48 ]; then
      echo "$w"
      return 0
    fi
  done
  return 1
}
noMainWindow() { ! mainWindow; }

doubleClickTray() {
  local icon
  icon=$(trayIcon) || fail "no tray icon"
  xdotool mousemove --window "$icon" 5 5 click --repeat 2 --delay 80 1
}

# Opens the tray icon's menu with the right button and picks Exit, the last entry.
trayExit() {
  local icon
  icon=$(trayIcon)
  [ -n "$icon" ] || fail "no tray icon"
  xdotool mousemove --window "$icon" 5 5 click 3
  sleep 0.5
  xdotool key Up Return
}

# Waits up to 15 s for the program to end and sets `status` to its exit
# status, or to "hung". (Not in a subshell: only this shell can wait for it.)
status=
ended() {
  for _ in $(seq 1 150); do
    if ! kill -0 "$pid" 2>/dev/null; then
      status=0
      wait "$pid" || status=$?
      return 0
    fi
    sleep 0.1
  done
  status=hung
}

case $scenario in
exit)
  for run in $(seq 1 20); do
    settings
    touch -d '2000-01-01' "$NIVRA_REGISTRY"
    touch "$work/started"
    start
    # In the tray the main window stays hidden; the data window shows.
    waitFor 100 visible '^Nivra GPS Data - ' || fail "run $run: no GPS data window"
    how=SIGTERM
    if [ $((run % 2)) -eq 0 ]; then
      how="the tray's Exit"
      waitFor 50 trayIcon || fail "run $run: no tray icon"
      trayExit
    else
      kill -TERM "$pid"
    fi
    ended
    if [ "$status" = hung ]; then
      kill -KILL "$pid" 2>/dev/null || true
      fail "run $run: still running 15 s after $how"
    fi
    [ "$status" = 0 ] || fail "run $run: exit status $status after $how"
    grep -q "Nivra: stopped." "$work/nivra.log" || fail "run $run: no end of the shutdown"
    [ "$NIVRA_REGISTRY" -nt "$work/started" ] || fail "run $run: the settings were not saved"
    grep -q '"ShowGpsData"=dword:00000001' "$NIVRA_REGISTRY" ||
      fail "run $run: the exit switched the GPS data window off"
    echo "run $run: ended by $how, saved"
  done
  ;;
minimise)
  settings
  sed -i 's/"ShowGpsData"=dword:00000001/"ShowGpsData"=dword:00000000/' "$NIVRA_REGISTRY"
  start
  waitFor 100 trayIcon || fail "no tray icon"
  sleep 1 # the first tick hides the window once more
  noMainWindow || fail "the main window shows at start-up in the tray"
  doubleClickTray
  waitFor 50 mainWindow || fail "a double-click on the icon did not show the window"
  main=$(mainWindow)
  xdotool windowminimize "$main"
  # Hidden, frame and all: nothing of the window stays on the screen.
  waitFor 50 noMainWindow || fail "minimising left the window (or its frame) on the screen"
  sleep 0.5
  noMainWindow || fail "the minimised window came back on the screen by itself"
  doubleClickTray
  waitFor 50 mainWindow || fail "one double-click did not bring the minimised window back"
  if grep -q "called on mapped window" "$work/nivra.log"; then
    fail "the window system was asked to change a window it still showed"
  fi
  kill -TERM "$pid"
  ended
  [ "$status" = 0 ] || fail "the program did not end cleanly: $status"
  ;;
second)
  settings
  sed -i 's/"ShowGpsData"=dword:00000001/"ShowGpsData"=dword:00000000/' "$NIVRA_REGISTRY"
  start
  waitFor 100 trayIcon || fail "no tray icon"
  sleep 1
  noMainWindow || fail "the main window shows at start-up in the tray"
  first=$pid
  # The same settings again: the running window comes to the front, and the
  # second start ends at once without a window of its own.
  started=$(date +%s)
  second=0
  timeout 20 "$program" --dir "$work" --bind 127.0.0.1 --earth none >"$work/second.log" 2>&1 ||
    second=$?
  [ "$second" = 0 ] || fail "the second start ended with $second: $(cat "$work/second.log")"
  [ $(($(date +%s) - started)) -le 5 ] || fail "the second start took more than 5 s"
  grep -q "already running" "$work/second.log" || fail "the second start said: $(cat "$work/second.log")"
  waitFor 50 mainWindow || fail "the running window did not come to the front"
  [ "$(xdotool search --onlyvisible --name '^Nivra$' | wc -l)" -le 2 ] ||
    fail "a second main window opened"
  kill -0 "$first" || fail "the first program ended"
  kill -TERM "$first"
  ended
  [ "$status" = 0 ] || fail "the program did not end cleanly: $status"
  ;;
options-*)
  rm -f "$NIVRA_REGISTRY"
  start
  waitFor 100 mainWindow || fail "no main window"
  sleep 1 # the first tick
  main=$(mainWindow)
  eval "$(xdotool getwindowgeometry --shell "$main")"
  # The options button is the last button, above the status line.
  xdotool mousemove --window "$main" $((WIDTH / 2)) $((HEIGHT - 38)) click 1
  waitFor 100 visible '^Nivra Options$' || fail "no options dialog"
  sleep 0.5
  dialog=$(visible '^Nivra Options$' | head -1)
  eval "$(xdotool getwindowgeometry --shell "$dialog")"
  echo "options dialog at ${X},${Y}, ${WIDTH}x${HEIGHT} on a ${screen} screen"
  sw=${screen%x*}
  sh=${screen#*x}
  [ "$X" -ge 0 ] && [ "$Y" -ge 0 ] && [ $((X + WIDTH)) -le "$sw" ] && [ $((Y + HEIGHT)) -le "$sh" ] ||
    fail "the options dialog (${X},${Y} ${WIDTH}x${HEIGHT}) does not fit the ${screen} screen"
  kill -TERM "$pid"
  ended
  [ "$status" = 0 ] || fail "the program did not end cleanly: $status"
  ;;
*)
  fail "unknown scenario $scenario"
  ;;
esac
echo "PASS: $scenario"
