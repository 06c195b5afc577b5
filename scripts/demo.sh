#!/usr/bin/env bash
# Runs what exists of the assistant. The window and device layers are not built yet, so this
# shows the phone-link formats at work through ruvo-tool.
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
