#!/usr/bin/env bash
# Runs what exists of the assistant. The window and the companion-app link are not built yet, so
# this shows the phone-link formats at work through ruvo-tool, makes a virtual phone, and uses
# the device layer and the ringtone sync on it.
set -euo pipefail
build="${1:-build}"
tool="$build/ruvo-tool"
echo "Ruvo: the assistant itself is not built yet; showing the formats, the device layer and the ringtone sync."
echo
echo '$ echo '\''[{"Sign":"17","Command":"getring"}]'\'' | ruvo-tool json'
echo '[{"Sign":"17","Command":"getring"}]' | "$tool" json
echo '$ echo '\''{"Sign":17,"Code":1,"Message":"处理成功"}'\'' | ruvo-tool json-tree'
echo '{"Sign":17,"Code":1,"Message":"处理成功"}' | "$tool" json-tree
echo '$ printf 处理成功 | ruvo-tool base64-encode'
printf '处理成功' | "$tool" base64-encode
echo
phone_home=$(mktemp -d)
trap 'rm -rf "$phone_home"' EXIT
export RUVO_PHONE_HUB="$phone_home/hub"
echo "\$ ruvo-phone init $phone_home/phone --name 'Demo iPhone' && ruvo-phone plug $phone_home/phone"
"$build/ruvo-phone" init "$phone_home/phone" --name 'Demo iPhone'
"$build/ruvo-phone" plug "$phone_home/phone"
echo "\$ ruvo-phone status $phone_home/phone"
"$build/ruvo-phone" status "$phone_home/phone"
echo
echo "\$ ruvo-tool device info"
"$tool" device info
echo "\$ ruvo-tool device apps"
"$tool" device apps
head -c 4000 /dev/urandom >"$phone_home/tone.m4r"
echo "\$ ruvo-tool addring tone.m4r 'Demo Bell' 12"
"$tool" addring "$phone_home/tone.m4r" 'Demo Bell' 12 || true
echo "\$ ruvo-phone ringtones $phone_home/phone"
"$build/ruvo-phone" ringtones "$phone_home/phone"
echo "\$ ruvo-tool ringtones"
"$tool" ringtones
pid=$("$build/ruvo-phone" ringtones "$phone_home/phone" | cut -f1 | head -n 1)
if [ -n "$pid" ]; then
    echo "\$ ruvo-tool delring $pid"
    "$tool" delring "$pid" || true
fi
