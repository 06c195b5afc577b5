#!/usr/bin/env bash
# Black-box checks of ruvo-phone: the phone directory it makes and the state changes it writes.
set -u
tool="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export RUVO_PHONE_HUB="$work/hub"
. "$(dirname "$0")/common.sh"

# The state file as KEY=VALUE lines, read by an independent reader.
state() {
    python3 - "$1/device.plist" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    d = plistlib.load(f)
for key in ("DeviceName", "Trusted", "OffersAfc2", "Plugged"):
    print(f"{key}={d.get(key)}")
print("User=" + ",".join(d["Applications"]["User"]))
print("UDID=" + d["UniqueDeviceID"])
PY
}

phone="$work/phone"
check "init succeeds" "$tool" init "$phone"
check "media area" test -d "$phone/media"
check "companion container" test -d "$phone/containers/com.mrz4.ringtone.pid40ch1/Documents"
s=$(state "$phone")
check "default companion app" grep -qx "User=com.mrz4.ringtone.pid40ch1" <<<"$s"
check "trusted by default" grep -qx "Trusted=True" <<<"$s"
check "afc2 by default" grep -qx "OffersAfc2=True" <<<"$s"
check "created unplugged" grep -qx "Plugged=False" <<<"$s"
udid=$(grep '^UDID=' <<<"$s" | cut -d= -f2)
check "registered in the hub" test "$(readlink "$RUVO_PHONE_HUB/$udid")" = "$phone"

check "plug" "$tool" plug "$phone"
check "plugged" grep -qx "Plugged=True" <<<"$(state "$phone")"
check "unplug" "$tool" unplug "$phone"
check "unplugged" grep -qx "Plugged=False" <<<"$(state "$phone")"

other="$work/other"
check "init with options" "$tool" init "$other" --name "Test Phone" --app com.example.one --app com.example.two --untrusted --no-afc2
s=$(state "$other")
check "name" grep -qx "DeviceName=Test Phone" <<<"$s"
check "two apps" grep -qx "User=com.example.one,com.example.two" <<<"$s"
check "untrusted" grep -qx "Trusted=False" <<<"$s"
check "no afc2" grep -qx "OffersAfc2=False" <<<"$s"
check "containers of both apps" test -d "$other/containers/com.example.two/Documents"
check "trust" "$tool" trust "$other"
check "trusted now" grep -qx "Trusted=True" <<<"$(state "$other")"

check "help" bash -c "'$tool' --help | grep -q 'ruvo-phone'"

# Errors: a one-line message on standard error and a non-zero status.
for args in "init $phone" "plug $work/none" "trust $work/none" "frobnicate $phone" "init" "" "init $work/x --bogus" "init $work/y --app ../evil"; do
    expect_error_exit "$tool" "$args"
done
check "a refused app name creates nothing outside" test ! -e "$work/evil"

# expect_run DESC STATUS STDOUT STDERR COMMAND...: the exact exit status and bytes of both streams.
expect_run() {
    local desc="$1" want_status="$2" want_out="$3" want_err="$4" out err status
    shift 4
    "$@" >"$work/stdout" 2>"$work/stderr" </dev/null
    status=$?
    out=$(cat "$work/stdout"; printf x)
    out="${out%x}"
    err=$(cat "$work/stderr"; printf x)
    err="${err%x}"
    if [ "$status" -eq "$want_status" ] && [ "$out" == "$want_out" ] && [ "$err" == "$want_err" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n  status want %s got %s\n  stdout want %q\n         got  %q\n  stderr want %q\n         got  %q\n' \
            "$desc" "$want_status" "$status" "$want_out" "$out" "$want_err" "$err"
    fi
}

# --- status: the library id of the last sync request ---
status_text() {
    printf 'name: Ruvo Virtual iPhone\nudid: %s\nproduct: iPhone12,1 16.7.2 (baseband 5.00.00)\nplugged: no\ntrusted: yes\nafc2: yes\nuser apps: com.mrz4.ringtone.pid40ch1\nsystem apps: com.apple.mobilephone com.apple.MobileSMS com.apple.Preferences\nlast sync library: %s\n' \
        "$udid" "$1"
}
expect_run "status before any sync" 0 "$(status_text none)"$'\n' "" "$tool" status "$phone"
# What the sync agent records, written here by an independent writer.
set_library() {
    python3 - "$phone/device.plist" "$1" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    d = plistlib.load(f)
d["LastSyncLibraryID"] = sys.argv[2]
with open(sys.argv[1], "wb") as f:
    plistlib.dump(d, f)
PY
}
set_library 00000000C0FFEE42
expect_run "status after a sync request" 0 "$(status_text 00000000C0FFEE42)"$'\n' "" "$tool" status "$phone"
set_library ""
expect_run "status after a request with an empty id" 0 "$(status_text '(empty)')"$'\n' "" "$tool" status "$phone"

# --- ringtones: the catalogue, by file name in byte order ---
catalogue="$phone/media/iTunes_Control/iTunes/Ringtones.plist"
expect_run "no catalogue, no ringtones" 0 "" "" "$tool" ringtones "$phone"
python3 "$(dirname "$0")/../formats/ringtone_catalogue.py" 2 >"$catalogue"
expect_run "ringtones of a catalogue" 0 \
    $'1311768464867721216\tTone 0 \u266b\tAAAA.m4r\t20000\n1311768464867729135\tTone 1\tAAAB.m4r\t20001\n' "" \
    "$tool" ringtones "$phone"
python3 - "$catalogue" <<'PY'
import plistlib, sys
tone = lambda pid, name: {"Name": name, "GUID": "G", "PID": pid, "Total Time": 1000, "Protected Content": False}
tones = {"b.m4r": tone(2, "small b"), "\u00c4.m4r": tone(4, "umlaut"), "B.m4r": tone(-1, "capital B"),
         "a.m4r": tone(1, "small a")}
with open(sys.argv[1], "wb") as f:
    plistlib.dump({"Ringtones": tones}, f, fmt=plistlib.FMT_BINARY, sort_keys=False)
PY
expect_run "ringtones sorted byte by byte" 0 \
    $'-1\tcapital B\tB.m4r\t1000\n1\tsmall a\ta.m4r\t1000\n2\tsmall b\tb.m4r\t1000\n4\tumlaut\t\u00c4.m4r\t1000\n' "" \
    "$tool" ringtones "$phone"
python3 -c 'import plistlib, sys; plistlib.dump({"Ringtones": {}}, open(sys.argv[1], "wb"), fmt=plistlib.FMT_BINARY)' "$catalogue"
expect_run "an empty catalogue" 0 "" "" "$tool" ringtones "$phone"
printf 'bplist00 not really' >"$catalogue"
expect_run "a broken catalogue" 1 "" "ruvo-phone: cannot read the ringtone catalogue of $phone"$'\n' \
    "$tool" ringtones "$phone"
expect_run "ringtones of no phone" 1 "" "ruvo-phone: $work/none holds no phone"$'\n' "$tool" ringtones "$work/none"

# --- prefs: the iTunesPrefs file the assistant derives its library id from ---
prefs="$phone/media/iTunes_Control/iTunes/iTunesPrefs"
# Size, then the little-endian words at offsets 20 and 96, read by an independent reader.
prefs_words() {
    python3 - "$prefs" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
line = str(len(data))
if len(data) >= 100:
    line += " %08X %08X" % (struct.unpack_from("<I", data, 20)[0], struct.unpack_from("<I", data, 96)[0])
print(line)
PY
}
expect_run "prefs with two words" 0 "" "" "$tool" prefs "$phone" 0000abcd DEADBEEF
check "prefs words" test "$(prefs_words)" = "128 0000ABCD DEADBEEF"
expect_run "prefs with other words" 0 "" "" "$tool" prefs "$phone" 12345678 9abcdef0
check "prefs words replaced" test "$(prefs_words)" = "128 12345678 9ABCDEF0"
expect_run "short prefs" 0 "" "" "$tool" prefs "$phone" short
check "short prefs size" test "$(prefs_words)" = "60"
expect_run "prefs absent" 0 "" "" "$tool" prefs "$phone" absent
check "prefs removed" test ! -e "$prefs"
expect_run "prefs absent twice" 0 "" "" "$tool" prefs "$phone" absent
prefs_usage="ruvo-phone: prefs: expected absent, short or two 8-digit hexadecimal words (try --help)"$'\n'
for args in "0000abc DEADBEEF" "0000abcde DEADBEEF" "0000abcg DEADBEEF" "0x00abcd DEADBEEF" "DEADBEEF" \
    "DEADBEEF DEADBEEF DEADBEEF" "" "long"; do
    # shellcheck disable=SC2086
    expect_run "prefs refuses '$args'" 2 "" "$prefs_usage" "$tool" prefs "$phone" $args
done
check "a refused prefs writes nothing" test ! -e "$prefs"
expect_run "prefs of no phone" 1 "" "ruvo-phone: $work/none holds no phone"$'\n' "$tool" prefs "$work/none" short

# --- fault: stored for the next sync session, replaced, cleared ---
for step in allowed ready manifest finished; do
    for action in sync-failed drop silent; do
        expect_run "fault $step $action" 0 "" "" "$tool" fault "$phone" "$step" "$action"
        check "fault file of $step $action" test "$(cat "$phone/sync-fault"; printf x)" = "$step $action"$'\nx'
    done
done
expect_run "fault clear" 0 "" "" "$tool" fault "$phone" clear
check "fault cleared" test ! -e "$phone/sync-fault"
expect_run "fault clear with none stored" 0 "" "" "$tool" fault "$phone" clear
fault_usage="ruvo-phone: fault: expected clear, or a STEP and an ACTION (try --help)"$'\n'
for args in "ready" "ready explode" "begin drop" "clear now" "READY drop" ""; do
    # shellcheck disable=SC2086
    expect_run "fault refuses '$args'" 2 "" "$fault_usage" "$tool" fault "$phone" $args
done
check "a refused fault stores nothing" test ! -e "$phone/sync-fault"
expect_run "fault of no phone" 1 "" "ruvo-phone: $work/none holds no phone"$'\n' "$tool" fault "$work/none" ready drop

help=$("$tool" --help)
for line in "  ringtones DIR" "  prefs DIR absent|short|WORD20 WORD96" "  fault DIR STEP ACTION" "  fault DIR clear"; do
    check "help names '$line'" grep -qF -- "$line" <<<"$help"
done

finish
