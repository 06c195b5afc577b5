#!/usr/bin/env bash
# Black-box checks of `ruvo-tool device` on virtual phones in a temporary hub: standard output,
# standard error and exit status compared exactly, as a script would read them.
set -u
tool="$1"
phone_tool="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export RUVO_PHONE_HUB="$work/hub"
. "$(dirname "$0")/common.sh"

# run ARGS...: `ruvo-tool device ARGS...` through run_tool.
run() { run_tool device "$@"; }

# --- Bad arguments: status 2, one line, nothing on standard output, no phone needed ---
run
expect_run "no device command" 2 "" $'ruvo-tool: device: missing command (events, info, apps, ls, cat, put, rm, mkdir)\n'
run frob
expect_run "unknown device command" 2 "" $'ruvo-tool: device: unknown command \'frob\'\n'
run ls
expect_run "ls without a path" 2 "" $'ruvo-tool: device ls: expected 1 argument\n'
run put /only-one
expect_run "put with one operand" 2 "" $'ruvo-tool: device put: expected 2 arguments\n'
run info --app com.example.x
expect_run "--app on info" 2 "" $'ruvo-tool: device info: --app does not apply\n'
run cat --bogus /x
expect_run "unknown option" 2 "" $'ruvo-tool: device cat: unknown option --bogus\n'
run events --for soon
expect_run "events with a bad duration" 2 "" $'ruvo-tool: device events: usage: events [--for SECONDS]\n'

# --- No phone at all: the wait ends after its bound ---
run info
expect_run "no phone" 1 "" $'ruvo-tool: no phone ready\n'

# --- A trusted phone ---
phone="$work/phone"
"$phone_tool" init "$phone" --name "Büro iPhone" >/dev/null
"$phone_tool" plug "$phone"

run events --for 2
expect_run "events of the first device" 0 $'-1\t0\t等待设备接入\n0\t0\t等待设备接入\n0\t1\tBüro iPhone\n-1\t1\t当前设备数量:1\n' ""
RUVO_ANSI_CODEPAGE=CP936 run events --for 2
expect_run "events are UTF-8 whatever the ANSI code page" 0 \
    $'-1\t0\t等待设备接入\n0\t0\t等待设备接入\n0\t1\tBüro iPhone\n-1\t1\t当前设备数量:1\n' ""

"$tool" device events >"$work/events" 2>"$work/events.err" &
pid=$!
sleep 1
kill -TERM "$pid"
wait "$pid"
check "SIGTERM ends events with status 0" test $? -eq 0
check "events until SIGTERM" grep -qx $'0\t1\tBüro iPhone' "$work/events"
check "nothing on stderr after SIGTERM" test ! -s "$work/events.err"

run info
expect_run "info" 0 $'DeviceName\tBüro iPhone\nProductType\tiPhone12,1\nProductVersion\t16.7.2\nBasebandVersion\t5.00.00\n' ""
run apps
expect_run "user apps" 0 $'com.mrz4.ringtone.pid40ch1\n' ""
run apps --system
expect_run "system apps, sorted by byte value" 0 $'com.apple.MobileSMS\ncom.apple.Preferences\ncom.apple.mobilephone\n' ""

run ls /
expect_run "ls of the media root" 0 $'iTunes_Control\n' ""
printf 'ring\0tone\nno newline' >"$work/tone.bin"
run put "$work/tone.bin" /Ringtones/New/tone.bin
expect_run "put creates the missing folders" 0 "" ""
check "put wrote the bytes" cmp -s "$work/tone.bin" "$phone/media/Ringtones/New/tone.bin"
"$tool" device cat /Ringtones/New/tone.bin >"$work/back.bin" 2>"$work/back.err"
check "cat gives exactly the bytes" cmp -s "$work/tone.bin" "$work/back.bin"
check "cat writes nothing on stderr" test ! -s "$work/back.err"
: >"$work/empty"
run put "$work/empty" /empty.txt
expect_run "put of an empty file" 0 "" ""
check "an empty file on the phone" test -f "$phone/media/empty.txt" -a ! -s "$phone/media/empty.txt"
run cat /empty.txt
expect_run "cat of an empty file" 0 "" ""
run cat /missing.txt
expect_run "cat of a missing file" 1 "" $'ruvo-tool: cat: cannot read /missing.txt\n'
run put "$work/nothing-here" /x
expect_run "put of a missing local file" 1 "" "ruvo-tool: put: cannot read $work/nothing-here: No such file or directory"$'\n'
run mkdir /Made
expect_run "mkdir" 0 "" ""
check "mkdir made the folder" test -d "$phone/media/Made"
run mkdir /Deep/Er
expect_run "mkdir makes one level only" 1 "" $'ruvo-tool: mkdir: cannot make /Deep/Er\n'
run ls /
expect_run "ls sees them" 0 $'Made\nRingtones\nempty.txt\niTunes_Control\n' ""
run rm /empty.txt
expect_run "rm" 0 "" ""
check "rm removed the file" test ! -e "$phone/media/empty.txt"
run rm /empty.txt
expect_run "rm of a missing file" 1 "" $'ruvo-tool: rm: cannot remove /empty.txt\n'
run ls /nowhere
expect_run "ls of a missing folder" 1 "" $'ruvo-tool: ls: cannot list /nowhere\n'

# --- The companion app's container through house_arrest ---
app=com.mrz4.ringtone.pid40ch1
container="$phone/containers/$app"
printf '{"beat":1}' >"$work/beat"
run put --app "$app" "$work/beat" /Documents/PCConnection/Heartbeat
expect_run "put into the container" 0 "" ""
check "the heartbeat is in the container" cmp -s "$work/beat" "$container/Documents/PCConnection/Heartbeat"
check "and not in the media area" test ! -e "$phone/media/Documents"
run ls --app "$app" /Documents
expect_run "ls of the container" 0 $'PCConnection\n' ""
run cat /Documents/PCConnection/Heartbeat --app "$app"
expect_run "cat from the container, option last" 0 '{"beat":1}' ""
run ls --app com.example.absent /
expect_run "an app the phone does not have" 1 "" $'ruvo-tool: ls: cannot open the container of com.example.absent\n'

# --- The phone stops trusting this computer ---
"$phone_tool" untrust "$phone"
"$phone_tool" unplug "$phone"
"$phone_tool" plug "$phone"
run info
expect_run "untrusted phone" 1 "" $'ruvo-tool: the phone does not trust this computer: trust it on the phone, then plug it in again\n'

# --- The support libraries are missing ---
mkdir "$work/nosupport"
RUVO_SUPPORT_DIR="$work/nosupport" run info
expect_run "missing support" 1 "" $'ruvo-tool: the support libraries are missing\n'

finish
