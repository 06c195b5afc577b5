#!/usr/bin/env bash
# Black-box checks of ruvo-tool: each subcommand's output bytes and the error exits.
set -u
tool="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/common.sh"

# expect DESC EXPECTED-OUTPUT COMMAND... (standard input comes from $input)
expect() {
    local desc="$1" want="$2"
    shift 2
    local got
    got=$(printf '%s' "$input" | "$@"; printf x)
    got="${got%x}"
    if [ "$got" == "$want" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n  want: %q\n  got:  %q\n' "$desc" "$want" "$got"
    fi
}

input='{"a":1,"b":"x"}';       expect "json round trip" $'{"a":1,"b":"x"}\n' "$tool" json
input='{"k":{"a":1,"b":2}}';   expect "json object member" $'{"k":[{"a":1,"b":2}]}\n' "$tool" json
input='[1,2,3]';               expect "json three elements" $'{[1,2,3]}\n' "$tool" json
input='{"m":"处理成功"}';       expect "json keeps UTF-8" $'{"m":"处理成功"}\n' "$tool" json
input='{"a":1,"k":[1,2]}'
expect "json-tree" $'list\t\t\n  long\ta\t1\n  array\tk\t\n    long\t\t1\n    long\t\t2\n' "$tool" json-tree
input='{"a":"}"}';             expect "checkjson true" $'true\n' "$tool" checkjson
input='[1,2';                  expect "checkjson false" $'false\n' "$tool" checkjson
input='abcd';                  expect "base64-encode" $'YWJjZA==\n' "$tool" base64-encode
input='abc';                   expect "base64-encode of three bytes ends in CR LF" $'YWJj\r\n' "$tool" base64-encode
input='';                      expect "base64-encode of nothing" $'\n' "$tool" base64-encode
input='5aSE55CG5oiQ5Yqf';      expect "base64-decode to UTF-8 text" $'处理成功\n' "$tool" base64-decode
input=$'YW\r\nJj';             expect "base64-decode skips line breaks" $'abc\n' "$tool" base64-decode

# A ringtone catalogue written by an independent writer.
python3 - "$work/cat.plist" <<'PY'
import plistlib, sys
catalogue = {"Ringtones": {"ABCD.m4r": {"Name": "Bell", "GUID": "0123456789ABCDEF", "PID": 42,
                                        "Total Time": 30000, "Protected Content": False}}}
with open(sys.argv[1], "wb") as f:
    plistlib.dump(catalogue, f, fmt=plistlib.FMT_BINARY, sort_keys=True)
PY
input=''
expect "bplist catalogue" \
    $'{"Ringtones":{"ABCD.m4r":{"GUID":"0123456789ABCDEF","Name":"Bell","PID":42,"Protected Content":"0","Total Time":30000}}}\n' \
    "$tool" bplist "$work/cat.plist"

# Errors: a message on standard error and a non-zero status.
for args in "bplist $work/missing.plist" "bplist" "no-such-command" ""; do
    expect_error_exit "$tool" "$args"
done

# A large text is written a block at a time: astral characters across the block edges and a
# text far longer than one block come out whole.
python3 - "$work/long.json" "$work/long.want" <<'PY'
import sys
value = "\U0001F3B5a" * 40000 + "x" * 70001
open(sys.argv[1], "w", encoding="utf-8").write('{"k":"%s"}' % value)
open(sys.argv[2], "w", encoding="utf-8").write('{"k":"%s"}\n' % value)
PY
"$tool" json <"$work/long.json" >"$work/long.got" 2>"$work/long.err"
check "a long text with astral characters is written whole" cmp -s "$work/long.got" "$work/long.want"
check "a long text writes nothing on stderr" [ ! -s "$work/long.err" ]

# The format commands do not load the device and host commands' libraries (libcurl among them);
# those commands load them from their module, and a missing module is a one-line error.
loaded=$(printf '{}' | LD_DEBUG=files "$tool" json 2>&1 >/dev/null | grep -c 'file=.*libcurl')
check "json loads no libcurl" [ "$loaded" = 0 ]
mkdir -p "$work/alone"
cp "$tool" "$work/alone/ruvo-tool"
"$work/alone/ruvo-tool" device info >"$work/alone.out" 2>"$work/alone.err"
status=$?
want_err="ruvo-tool: cannot load $work/alone/ruvo-tool-device.so: $work/alone/ruvo-tool-device.so: cannot open shared object file: No such file or directory"
check "a device command without its module exits 1" [ "$status" = 1 ]
check "a device command without its module prints nothing" [ ! -s "$work/alone.out" ]
check "a device command without its module says so in one line" [ "$(cat "$work/alone.err")" == "$want_err" ]

finish
