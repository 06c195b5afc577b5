#!/usr/bin/env bash
# Runs what exists of the assistant. The window and device layers are not built yet, so this
# shows the phone-link formats at work through ruvo-tool and makes a virtual phone.
set -euo pipefail
build="${1:-build}"
tool="$build/ruvo-tool"
echo "Ruvo: the assistant's window is not built yet; showing the phone-link formats instead."
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
