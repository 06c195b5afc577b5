#!/usr/bin/env bash
# Black-box checks of `ruvo-tool ringtones`, `addring` and `delring` on a virtual phone in a
# temporary hub: standard output, standard error and exit status compared exactly.
set -u
tool="$1"
phone_tool="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export RUVO_PHONE_HUB="$work/hub"
export RUVO_SYNC_TIMEOUT_MS=3000 RUVO_RECEIVE_TIMEOUT_MS=5000
. "$(dirname "$0")/common.sh"

run() { run_tool "$@"; }

# --- Bad arguments: status 2, one line ---
run ringtones extra
expect_run "ringtones takes nothing" 2 "" $'ruvo-tool: ringtones: usage: ringtones\n'
run addring only-a-file
expect_run "addring needs a file and a title" 2 "" $'ruvo-tool: addring: usage: addring [--from SECONDS] [--progress] AUDIO_FILE TITLE [SECONDS]\n'
run addring f t soon
expect_run "addring seconds must be a number" 2 "" $'ruvo-tool: addring: usage: addring [--from SECONDS] [--progress] AUDIO_FILE TITLE [SECONDS]\n'
run delring
expect_run "delring needs an id" 2 "" $'ruvo-tool: delring: usage: delring PID...\n'
run delring 12x
expect_run "delring ids are numbers" 2 "" $'ruvo-tool: delring: usage: delring PID...\n'

phone="$work/phone"
"$phone_tool" init "$phone" >/dev/null
"$phone_tool" plug "$phone"
empty_tree=$(printf '' | "$tool" json)

run ringtones
expect_run "an empty catalogue prints the empty tree" 0 "$empty_tree"$'\n' ""

head -c 5000 /dev/urandom >"$work/tone.m4r"
run addring "$work/tone.m4r" "Evening Chime" 25
expect_run "addring" 0 $'TRUE\n' ""
line=$("$phone_tool" ringtones "$phone")
pid=${line%%$'\t'*}
rest=${line#*$'\t'}
check "the phone lists the title" test "${rest%%$'\t'*}" = "Evening Chime"
check "and 25 s as 25000 ms" test "${line##*$'\t'}" = "25000"
file=$(cut -f3 <<<"$line")
check "the uploaded bytes under the final name" cmp -s "$work/tone.m4r" "$phone/media/iTunes_Control/Ringtones/$file"

run ringtones
check "ringtones exits 0" test "$status" = 0
check "ringtones prints one line" test "$(printf '%s' "$out" | wc -l)" = 1
check "ringtones shows the title" grep -q "Evening Chime" <<<"$out"
check "ringtones writes nothing on stderr" test -z "$err"

run addring "$work/missing.m4r" "Nothing" 3
expect_run "addring of a missing file" 1 "" "ruvo-tool: addring: cannot read $work/missing.m4r: No such file or directory"$'\n'

"$phone_tool" fault "$phone" finished sync-failed
run addring "$work/tone.m4r" "Refused" 3
expect_run "a failed session prints FALSE" 1 $'FALSE\n' ""
check "nothing was added" test "$("$phone_tool" ringtones "$phone" | wc -l)" = 1

run delring "$pid" 999999999
expect_run "delring" 0 $'TRUE\n' ""
check "the ringtone is gone" test -z "$("$phone_tool" ringtones "$phone")"
check "and its file" test ! -e "$phone/media/iTunes_Control/Ringtones/$file"

"$phone_tool" unplug "$phone"
run ringtones
expect_run "no phone" 1 "" $'ruvo-tool: no phone ready\n'

finish
