#!/usr/bin/env bash
# Makes the README's pictures of the window (docs/window-*.png) from the real program under Xvfb:
# waiting, connected (with the phone's name), trust required, support missing and busy.
# Run by hand after a build: bash scripts/make-screenshots.sh [build]. Needs xvfb-run,
# dbus-run-session, xdotool and ImageMagick (scripts/install-deps.sh installs them).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
if [ -z "${RUVO_SCREENSHOT_INNER:-}" ]; then
    RUVO_SCREENSHOT_INNER=1 exec xvfb-run -a -s "-screen 0 1024x768x24" dbus-run-session -- bash "$0" "$build"
fi

work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME="$work/home" RUVO_PHONE_HUB="$work/hub" GSK_RENDERER=cairo GTK_A11Y=none
mkdir -p "$HOME"
phone="$build/ruvo-phone"

# Starts the assistant with the given environment and arguments, and waits for its window.
start() {
    env "$@" "$build/ruvo" --no-report 2>"$work/stderr" &
    pid=$!
    for _ in $(seq 100); do
        window=$(xdotool search --onlyvisible --name '^zive$' 2>/dev/null | head -1) && [ -n "$window" ] && return
        sleep 0.2
    done
    echo "no window" >&2
    exit 1
}
stop() { kill -TERM "$pid"; wait "$pid" || true; }
wait_line() { for _ in $(seq 150); do grep -q "$1" "$work/stderr" && return; sleep 0.2; done; echo "no line $1" >&2; exit 1; }
# The window as drawn, a moment after the state showed.
take() {
    sleep 1
    import -window root "$work/root.png"
    eval "$(xdotool getwindowgeometry --shell "$window")"
    convert "$work/root.png" -crop "680x527+$X+$Y" +repage "$here/docs/window-$1.png"
    echo "docs/window-$1.png"
}

start
wait_line "panel: waiting"
take waiting
"$phone" init "$work/phone" --name "Lin 的 iPhone" >/dev/null
"$phone" plug "$work/phone"
wait_line "panel: connected"
take connected
"$phone" fault "$work/phone" ready silent
head -c 5000 /dev/zero >"$work/tone.m4r"
RUVO_REQUEST_TIMEOUT_MS=20000 "$phone" request "$work/phone" addring "$work/tone.m4r" "Bell" 3 >/dev/null 2>&1 &
wait_line "busy: on"
take busy
stop
"$phone" unplug "$work/phone"

"$phone" init "$work/untrusted" --untrusted >/dev/null
start
"$phone" plug "$work/untrusted"
wait_line "status: 连接状态：.*信任"
take trust-required
stop
"$phone" unplug "$work/untrusted"

mkdir -p "$work/no-support"
start RUVO_SUPPORT_DIR="$work/no-support"
wait_line "panel: support missing"
take support-missing
stop
