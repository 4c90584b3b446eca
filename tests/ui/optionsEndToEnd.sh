#!/usr/bin/env bash
# End to end: the real program in its window on a virtual X server. The user
# opens the options dialog from the main window, adds the vehicle
# "Ann@peer.example" with the keyboard (Alt+N, name, Tab, host, Alt+A) and
# leaves with Escape; the program is stopped. The vehicle must be in the
# registry file then, and still there after a second run has loaded and saved
# the list again.
#   $1  the nivra program
set -euo pipefail
program=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bind="127.0.$(($$ % 200 + 20)).$(($$ / 200 % 200 + 20))"

fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/nivra.log" ] && cat "$work/nivra.log" >&2
  exit 1
}

# Waits up to 20 s for a command to succeed.
waitFor() {
  for _ in $(seq 1 200); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

cat >"$work/session" <<'INNER'
#!/usr/bin/env bash
set -euo pipefail
program=$1 work=$2 bind=$3
export NIVRA_REGISTRY="$work/registry.reg"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
waitFor() {
  for _ in $(seq 1 200); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}
# The server takes clients before the program tries it (on a loaded machine
# the first connection can come before it does).
waitFor xdotool getdisplaygeometry || { echo "the X server $DISPLAY takes no client"; exit 1; }
"$program" --dir "$work" --bind "$bind" --earth none >"$work/nivra.log" 2>&1 &
pid=$!
stop() { kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
trap stop EXIT

waitFor xdotool search --onlyvisible --name '^Nivra$' || { echo "no main window"; exit 1; }
sleep 1 # the first ticks of the window's timer
main=$(xdotool search --onlyvisible --name '^Nivra$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$main")"
# The options button is the last button, above the status line.
xdotool mousemove --window "$main" $((WIDTH / 2)) $((HEIGHT - 38)) click 1
waitFor xdotool search --onlyvisible --name '^Nivra Options$' || { echo "no options dialog"; exit 1; }
dialog=$(xdotool search --onlyvisible --name '^Nivra Options$' | head -1)
sleep 0.5
xdotool key --window "$dialog" alt+n
sleep 0.3
xdotool type --window "$dialog" "Ann"
xdotool key --window "$dialog" Tab
xdotool type --window "$dialog" "peer.example"
sleep 0.3
xdotool key --window "$dialog" alt+a
sleep 0.5
# The key's release may find the dialog gone already.
xdotool key --window "$dialog" Escape 2>/dev/null || true
for _ in $(seq 1 100); do
  xdotool search --onlyvisible --name '^Nivra Options$' >/dev/null 2>&1 || break
  sleep 0.1
done
INNER
chmod +x "$work/session"

# The display's number starts from the process id, not at 99: the test
# before may still be ending its server there.
xvfb-run -a -n $((100 + $$ % 800)) -s "-screen 0 1280x800x24 -noreset" "$work/session" "$program" "$work" "$bind" ||
  fail "the window session did not run"
grep -q '"name"="Ann@peer.example"' "$work/registry.reg" ||
  fail "the added vehicle is not in the registry file after exit"

# A second run (headless) loads the list and saves it again on the way out.
NIVRA_REGISTRY="$work/registry.reg" "$program" --headless --dir "$work" --bind "$bind" \
  --earth none >"$work/nivra.log" 2>&1 &
pid=$!
waitFor grep -q "Stop with Ctrl+C" "$work/nivra.log" || fail "the second run did not start"
kill -TERM "$pid"
wait "$pid" || fail "the second run did not end cleanly"
grep -q '"name"="Ann@peer.example"' "$work/registry.reg" ||
  fail "the added vehicle is gone after a restart"
grep -q '"uName"="Ann"' "$work/registry.reg" || fail "the vehicle's user name is gone"
echo "PASS: Ann@peer.example added in the dialog, kept across a restart"
