#!/usr/bin/env bash
# Runs the assistant on a demo virtual phone, so that it can be seen at work without an iPhone. The
# phone lives under the user's state directory and is made once, with the companion app; the
# commands to play the companion app from a second terminal are printed first. Ctrl-C ends it.
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
state="${XDG_STATE_HOME:-$HOME/.local/state}/ruvo"
phone="$state/demo-phone"
tone="$state/demo-tone.m4r"
mkdir -p "$state"
# Any bytes make a ringtone for the virtual phone; a real phone wants an AAC file.
[ -f "$tone" ] || head -c 40000 /dev/urandom >"$tone"

cat <<TEXT
Ruvo runs on the demo phone in $phone.
Play its companion app from a second terminal:

  $build/ruvo-phone request $phone getring
  $build/ruvo-phone request $phone addring $tone 'Demo Bell' 12
  $build/ruvo-phone ringtones $phone
  $build/ruvo-phone request $phone delring PID      (PID: the first column above)
  $build/ruvo-phone unplug $phone   /   $build/ruvo-phone plug $phone

Ctrl-C ends the assistant.

TEXT
exec "$build/ruvo" --virtual-phone "$phone"
