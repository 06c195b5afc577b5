#!/usr/bin/env bash
# Runs the assistant (its window, or headless without a display) on a demo virtual phone, so that
# it can be seen at work without an iPhone. The phone lives under the user's state directory and
# is made once, with the companion app, and plugs into a hub of its own (demo-hub), so that a later
# plain `ruvo` does not take it for its first phone; it is unplugged when the demo ends. The
# commands to play the companion app from a second terminal are printed first. Closing the window
# or Ctrl-C ends it.
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
state="${XDG_STATE_HOME:-$HOME/.local/state}/ruvo"
phone="$state/demo-phone"
hub="$state/demo-hub"
export RUVO_PHONE_HUB="$hub"
tone="$state/demo-tone.m4r"
mkdir -p "$state"
# Any bytes make a ringtone for the virtual phone; a real phone wants an AAC file.
[ -f "$tone" ] || head -c 40000 /dev/urandom >"$tone"

cat <<TEXT
Ruvo runs on the demo phone in $phone.
Play its companion app from a second terminal:

  export RUVO_PHONE_HUB=$hub
  $build/ruvo-phone request $phone getring
  $build/ruvo-phone request $phone addring $tone 'Demo Bell' 12
  $build/ruvo-phone ringtones $phone
  $build/ruvo-phone request $phone delring PID      (PID: the first column above)
  $build/ruvo-phone unplug $phone   /   $build/ruvo-phone plug $phone

Closing the window (or Ctrl-C) ends the assistant.

TEXT
# The demo phone leaves the demo hub with the demo.
trap '"$build/ruvo-phone" unplug "$phone" >/dev/null 2>&1 || true' EXIT
status=0
"$build/ruvo" --virtual-phone "$phone" || status=$?
exit "$status"
