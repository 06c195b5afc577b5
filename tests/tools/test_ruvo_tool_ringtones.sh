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

run() {
    "$tool" "$@" >"$work/out" 2>"$work/err" </dev/null
    status=$?
    out=$(cat "$work/out"; echo x)
    out=${out%x}
    err=$(cat "$work/err"; echo x)
    err=${err%x}
}

expect() {
    local desc="$1" want_status="$2" want_out="$3" want_err="$4"
    if [ "$status" = "$want_status" ] && [ "$out" = "$want_out" ] && [ "$err" = "$want_err" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $desc: status $status (want $want_status)"
        printf '  stdout: %q\n  want:   %q\n  stderr: %q\n  want:   %q\n' "$out" "$want_out" "$err" "$want_err"
    fi
}

check() {
    local desc="$1"
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $desc"
    fi
}

# --- Bad arguments: status 2, one line ---
run ringtones extra
expect "ringtones takes nothing" 2 "" $'ruvo-tool: ringtones: usage: ringtones\n'
run addring only-a-file
expect "addring needs three" 2 "" $'ruvo-tool: addring: usage: addring AUDIO_FILE TITLE SECONDS\n'
run addring f t soon
expect "addring seconds must be a number" 2 "" $'ruvo-tool: addring: usage: addring AUDIO_FILE TITLE SECONDS\n'
run delring
expect "delring needs an id" 2 "" $'ruvo-tool: delring: usage: delring PID...\n'
run delring 12x
expect "delring ids are numbers" 2 "" $'ruvo-tool: delring: usage: delring PID...\n'

phone="$work/phone"
"$phone_tool" init "$phone" >/dev/null
"$phone_tool" plug "$phone"
empty_tree=$(printf '' | "$tool" json)

run ringtones
expect "an empty catalogue prints the empty tree" 0 "$empty_tree"$'\n' ""

head -c 5000 /dev/urandom >"$work/tone.m4r"
run addring "$work/tone.m4r" "Evening Chime" 25
expect "addring" 0 $'TRUE\n' ""
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
expect "addring of a missing file" 1 "" "ruvo-tool: addring: cannot read $work/missing.m4r: No such file or directory"$'\n'

"$phone_tool" fault "$phone" finished sync-failed
run addring "$work/tone.m4r" "Refused" 3
expect "a failed session prints FALSE" 1 $'FALSE\n' ""
check "nothing was added" test "$("$phone_tool" ringtones "$phone" | wc -l)" = 1

run delring "$pid" 999999999
expect "delring" 0 $'TRUE\n' ""
check "the ringtone is gone" test -z "$("$phone_tool" ringtones "$phone")"
check "and its file" test ! -e "$phone/media/iTunes_Control/Ringtones/$file"

"$phone_tool" unplug "$phone"
run ringtones
expect "no phone" 1 "" $'ruvo-tool: no phone ready\n'

finish
