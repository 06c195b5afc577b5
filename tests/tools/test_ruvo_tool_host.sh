#!/usr/bin/env bash
# Black-box checks of ruvo-tool host-info: its exact output for a fake system tree, the shape of
# its output on this computer, and its error exits.
set -u
tool="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/common.sh"

check() {
    local desc="$1" ok="$2" detail="${3:-}"
    if [ "$ok" -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n%s' "$desc" "$detail"
    fi
}

# key TAB value lines -> the description text: key=value& each.
joined() {
    local text="" key value
    while IFS=$'\t' read -r key value; do text+="$key=$value&"; done
    printf '%s' "$text"
}

# A fake root: a wired and a wireless PCI card (the wired one made later but first in kernel
# order), a USB adapter and a bridge, which are not listed; processor, kernel, os-release and a
# connected monitor.
root="$work/root"
device() { # PATH BUS DRIVER
    mkdir -p "$root/$1" "$root/sys/bus/$2/drivers/$3"
    ln -s "$root/sys/bus/$2" "$root/$1/subsystem"
    ln -s "$root/sys/bus/$2/drivers/$3" "$root/$1/driver"
}
interface() { # NAME IFINDEX ADDRESS [DEVICE]
    mkdir -p "$root/sys/class/net/$1"
    echo "$2" >"$root/sys/class/net/$1/ifindex"
    echo "$3" >"$root/sys/class/net/$1/address"
    [ -z "${4:-}" ] || ln -s "$root/$4" "$root/sys/class/net/$1/device"
}
device sys/devices/pci0000:00/0000:00:14.3 pci iwlwifi
device sys/devices/pci0000:00/0000:00:1f.6 pci e1000e
device sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0 usb r8152
interface wlp0s20f3 3 f4:8c:50:01:a2:b3 sys/devices/pci0000:00/0000:00:14.3
mkdir -p "$root/sys/class/net/wlp0s20f3/wireless"
interface enx00e04c680001 4 00:e0:4c:68:00:01 sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0
interface br0 5 02:00:00:00:00:05
interface enp0s31f6 2 00:1b:21:3a:4f:5c sys/devices/pci0000:00/0000:00:1f.6
interface lo 1 00:00:00:00:00:00
mkdir -p "$root/proc/sys/kernel" "$root/etc" "$root/sys/devices/system/cpu" "$root/sys/class/drm/card0-DP-1"
printf 'processor\t: 0\nmodel name\t: Fixture CPU @ 2.40GHz\n\nprocessor\t: 1\nmodel name\t: Fixture CPU @ 2.40GHz\n' \
    >"$root/proc/cpuinfo"
echo "0-11" >"$root/sys/devices/system/cpu/online"
echo "6.1.0-13-amd64" >"$root/proc/sys/kernel/osrelease"
printf 'NAME="Fixture"\nPRETTY_NAME="Fixture Linux 12 (\\"fixture\\")"\n' >"$root/etc/os-release"
echo connected >"$root/sys/class/drm/card0-DP-1/status"
printf '1920x1200\n1920x1080\n' >"$root/sys/class/drm/card0-DP-1/modes"

# The web component's version is libcurl's, which the fake root cannot fix.
curl_version=$(pkg-config --modversion libcurl)
pairs=$'sid\t00:1B:21:3A:4F:5C\nmtype\t\nlang\t\nmac\t00:1B:21:3A:4F:5C\nosver\tFixture Linux 12 ("fixture") 6.1.0-13-amd64\nbssid\t\nscreen\t1920*1200\nprocessor\tFixture CPU @ 2.40GHz 12\nmemory\t\nmboard\t\nie\t'"$curl_version"$'\npid\t40\npt\t4\nch\t\nver\t7\n'
want="${pairs}0$(printf '%s' "$pairs" | joined | base64 -w0)"$'\n'
got=$(env -u DISPLAY "$tool" host-info --root "$root" 2>"$work/err"; printf x)
got="${got%x}"
check "host-info of the fake root" "$([ "$got" == "$want" ]; echo $?)" "$(printf '  want: %q\n  got:  %q\n' "$want" "$got")"
check "host-info of the fake root writes nothing on stderr" "$([ ! -s "$work/err" ]; echo $?)" "$(cat "$work/err")"$'\n'

# This computer: the same pairs in the same order, and a last line of "0" and the Base64 of the
# pairs' text.
"$tool" host-info >"$work/out" 2>"$work/err"
status=$?
check "host-info exits 0" "$status"
check "host-info writes nothing on stderr" "$([ ! -s "$work/err" ]; echo $?)" "$(cat "$work/err")"$'\n'
keys=$(head -n 15 "$work/out" | cut -f1 | tr '\n' ' ')
check "host-info pairs in order" "$([ "$keys" == "sid mtype lang mac osver bssid screen processor memory mboard ie pid pt ch ver " ]; echo $?)" \
    "  keys: $keys"$'\n'
check "host-info: 16 lines, each ending in one newline" \
    "$([ "$(wc -l <"$work/out")" -eq 16 ] && [ "$(tail -c 1 "$work/out" | od -An -c | tr -d ' ')" == '\n' ]; echo $?)" \
    "$(cat "$work/out")"$'\n'
check "host-info: every pair is key TAB value" \
    "$([ -z "$(head -n 15 "$work/out" | awk -F'\t' 'NF != 2 || $1 !~ /^[a-z]+$/')" ]; echo $?)" "$(cat "$work/out")"$'\n'
last=$(tail -n 1 "$work/out")
decoded=$(printf '%s' "${last#0}" | base64 -d 2>/dev/null; printf x)
decoded="${decoded%x}"
check "host-info: the last line is 0 and the Base64 of the pairs' text" \
    "$([ "${last:0:1}" == "0" ] && [ "$decoded" == "$(head -n 15 "$work/out" | joined)" ]; echo $?)" \
    "  last line: $last"$'\n'"  decodes to: $decoded"$'\n'

for args in "host-info --root" "host-info extra" "host-info --root $root extra"; do
    expect_error_exit "$tool" "$args"
done

finish
