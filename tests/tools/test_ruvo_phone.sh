#!/usr/bin/env bash
# Black-box checks of ruvo-phone: the phone directory it makes and the state changes it writes.
set -u
tool="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export RUVO_PHONE_HUB="$work/hub"
. "$(dirname "$0")/common.sh"

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

finish
