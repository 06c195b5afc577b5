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

# --- request: the companion app's Request file, and the wait for the assistant's Respone ---
# No assistant runs here, so a responder plays it: it waits for a Request whose Sign is not
# PREVIOUS and writes each TEMPLATE in turn as the Respone ({SIGN} becomes the request's Sign).
# Before replacing one it waits until the tool has read it (inotify), so every response that
# is not the answer has been seen and passed over.
cat >"$work/responder.py" <<'PY'
import ctypes, os, re, select, sys, time
folder, previous, templates = sys.argv[1], sys.argv[2], sys.argv[3:]

def sign_of(path):
    try:
        text = open(path, "rb").read().decode("utf-8", "replace")
    except OSError:
        return None
    match = re.match(r'\[\{"Sign":([^,]*),', text)
    return match.group(1) if match else None

deadline = time.monotonic() + 30
while (sign := sign_of(os.path.join(folder, "Request"))) in (None, previous):
    if time.monotonic() > deadline:
        sys.exit("responder: no new request")
    time.sleep(0.02)
libc = ctypes.CDLL(None, use_errno=True)
IN_CLOSE_NOWRITE = 0x10
for i, template in enumerate(templates):
    temp = os.path.join(folder, "respone.part")
    with open(temp, "wb") as f:
        f.write(os.fsencode(template.replace("{SIGN}", sign)))
    last = i == len(templates) - 1
    if not last:
        watch = libc.inotify_init1(os.O_CLOEXEC)
        if watch < 0 or libc.inotify_add_watch(watch, os.fsencode(temp), IN_CLOSE_NOWRITE) < 0:
            sys.exit("responder: no inotify")
    os.rename(temp, os.path.join(folder, "Respone"))
    if not last:
        if not select.select([watch], [], [], 30)[0]:
            sys.exit("responder: response %d never read" % i)
        os.close(watch)
PY
responder=""
trap 'if [ -n "$responder" ]; then kill "$responder" 2>/dev/null; fi; rm -rf "$work"' EXIT

# sign_in FILE: the Sign of a request file, "none" without one.
sign_in() {
    local text
    text=$(cat "$1" 2>/dev/null) || text=""
    [[ $text =~ ^\[\{\"Sign\":([^,]*), ]] && echo "${BASH_REMATCH[1]}" || echo none
}

# same DESC WANT GOT: the two texts are equal byte for byte.
same() {
    if [ "$2" == "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n  want %q\n  got  %q\n' "$1" "$2" "$3"
    fi
}

# request_case DESC CONTAINER WANT_REQUEST WANT_OUT TEMPLATE... -- ARGS...: runs `request ARGS...`
# with a responder writing the TEMPLATEs into CONTAINER. Checks that the
# new Sign is a decimal number other than the one before, the Request text with SIGN in place
# of the Sign, and the exact status and output (WANT_OUT with SIGN replaced by the Sign).
answer='[{"Sign":{SIGN},"Command":"getring","Code":1,"Message":"处理成功","Data":[{"PID":"1311768464867721216","Name":"Bell \"Ω\" 铃声, {1}","File":"AAAA.m4r"}]}]'
request_case() {
    local desc="$1" folder="$2/Documents/PCConnection" want_request="$3" want_out="$4" templates=()
    shift 4
    while [ "$1" != -- ]; do
        templates+=("$1")
        shift
    done
    shift
    local previous sign text
    previous=$(sign_in "$folder/Request")
    python3 "$work/responder.py" "$folder" "$previous" "${templates[@]}" &
    responder=$!
    run_tool request "$@"
    wait "$responder"
    same "$desc: responder saw every response read" 0 "$?"
    responder=""
    sign=$(sign_in "$folder/Request")
    check "$desc: Sign $sign is a fresh decimal number (was $previous)" \
        test -n "$(grep -xE '[1-9][0-9]*' <<<"$sign")" -a "$sign" != "$previous"
    text=$(cat "$folder/Request"; printf x)
    text=${text%x}
    same "$desc: request text" "$want_request" "${text/#"[{\"Sign\":$sign,"/"[{\"Sign\":SIGN,"}"
    same "$desc: status, stdout, stderr" "0|${want_out//SIGN/$sign}|" "$status|$out|$err"
}

container="$phone/containers/com.mrz4.ringtone.pid40ch1"
pcc="$container/Documents/PCConnection"
two="$other/containers/com.example.two"
mkdir -p "$work/audio"
printf 'ftypM4A \000\001\002\377 tone' >"$work/audio/r.m4r"
printf 'another \000 tone' >"$work/audio/tone \"1\" 铃.m4r"
reply="${answer//\{SIGN\}/SIGN}"$'\n'

request_case "getring" "$container" '[{"Sign":SIGN,"Command":"getring"}]' "$reply" "$answer" \
    -- "$phone" getring
request_case "getring again" "$container" '[{"Sign":SIGN,"Command":"getring"}]' "$reply" "$answer" \
    -- "$phone" getring
request_case "addring" "$container" \
    '[{"Sign":SIGN,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"Bell","timems":30}]}]' \
    "$reply" "$answer" -- "$phone" addring "$work/audio/r.m4r" Bell 30
check "addring copies the audio into Documents" cmp "$work/audio/r.m4r" "$container/Documents/r.m4r"
rm -rf "$two/Documents"
request_case "addring into another app without Documents; quotes, backslash and non-ASCII" "$two" \
    '[{"Sign":SIGN,"Command":"addring","Parms":[{"filepatch":"/Documents/tone \"1\" 铃.m4r","storename":"Bell \"Ω\" \\ 铃声","timems":-12}]}]' \
    "$reply" "$answer" -- "$other" --app com.example.two addring "$work/audio/tone \"1\" 铃.m4r" 'Bell "Ω" \ 铃声' -12
check "addring copies the audio into a new Documents" cmp "$work/audio/tone \"1\" 铃.m4r" "$two/Documents/tone \"1\" 铃.m4r"
check "the default app got no request" test "$(sign_in "$pcc/Request")" != "$(sign_in "$two/Documents/PCConnection/Request")"
# SECONDS is passed on as given: bare only when it is a whole number.
for seconds in 1.5 "" 30s "3 0" - 0x1e; do
    request_case "addring with seconds '$seconds'" "$container" \
        '[{"Sign":SIGN,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"Bell","timems":"'"$seconds"'"}]}]' \
        "$reply" "$answer" -- "$phone" addring "$work/audio/r.m4r" Bell "$seconds"
done
# shellcheck disable=SC1003
request_case "delring" "$container" \
    '[{"Sign":SIGN,"Command":"delring","Parms":[{"PID":[1234567890123,"abc",-42,"4\"\"2\\","-","","12a","-7-"]}]}]' \
    "$reply" "$answer" -- "$phone" delring 1234567890123 abc -42 '4""2\' - "" 12a -7-
request_case "delring one PID" "$container" '[{"Sign":SIGN,"Command":"delring","Parms":[{"PID":[-1311768464867721216]}]}]' \
    "$reply" "$answer" -- "$phone" delring -1311768464867721216

# Responses that are not the answer: another Sign (ours with a digit before or after it, or
# quoted with a dot after it), a file cut short, an empty one. The answer itself is printed as it is, whatever
# its Code, with its own trailing newline and one more.
final=$'[{"Sign":{SIGN},"Command":"getring","Code":0,"Message":"失败 \\"x\\"","Data":[]}]\n'
request_case "responses with other Signs or cut short are passed over" "$container" \
    '[{"Sign":SIGN,"Command":"getring"}]' "${final//\{SIGN\}/SIGN}"$'\n' \
    '[{"Sign":{SIGN}0,"Command":"getring","Code":1,"Message":"","Data":[]}]' \
    '[{"Sign":1{SIGN},"Command":"getring","Code":1,"Message":"","Data":[]}]' \
    '[{"Sign":"{SIGN}.","Command":"getring","Code":1,"Message":"","Data":[]}]' \
    '[{"Sign":{SIGN},"Command":"getring","Code":1,"Message":"处理' \
    '[{"Sign":{SIGN},"Command":"getring","Code":1,"Message":"","Data":[]}' \
    '[{"Sign":{SIGN}' \
    '' \
    "$final" -- "$phone" getring
request_case "an answer with its Sign quoted" "$container" '[{"Sign":SIGN,"Command":"getring"}]' \
    '[{"Sign":"SIGN","Code":1}]'$'\n' '[{"Sign":"{SIGN}","Code":1}]' -- "$phone" getring

# No answer: the Respone in place answers the request before, which is not ours.
for bound in 500:1 1500:2 1000:1; do
    before=$(sign_in "$pcc/Respone")
    RUVO_REQUEST_TIMEOUT_MS=${bound%:*} run_tool request "$phone" getring
    sign=$(sign_in "$pcc/Request")
    check "no answer within ${bound%:*} ms: a new Sign" test "$sign" != "$before" -a "$sign" != none
    same "no answer within ${bound%:*} ms" \
        "1||ruvo-phone: no response to request $sign within ${bound#*:} s"$'\n' "$status|$out|$err"
done

# Failures and bad arguments write nothing.
before=$(cat "$pcc/Request")
expect_run "request of no app" 1 "" "ruvo-phone: no app com.example.none on the phone in $phone"$'\n' \
    "$tool" request "$phone" --app com.example.none getring
expect_run "request of no phone" 1 "" \
    "ruvo-phone: no app com.mrz4.ringtone.pid40ch1 on the phone in $work/none"$'\n' "$tool" request "$work/none" getring
expect_run "request of an app named by a path" 1 "" \
    "ruvo-phone: no app ../containers/com.mrz4.ringtone.pid40ch1 on the phone in $phone"$'\n' \
    "$tool" request "$phone" --app ../containers/com.mrz4.ringtone.pid40ch1 getring
for audio in "$work/audio/missing.m4r" "$work/audio" "$work/audio/"; do
    expect_run "addring of unreadable '$audio'" 1 "" "ruvo-phone: cannot read $audio"$'\n' \
        "$tool" request "$phone" addring "$audio" Bell 30
done
request_usage() { echo "ruvo-phone: $1 (try --help)"; }
while IFS='|' read -r args message; do
    # shellcheck disable=SC2086
    expect_run "request refuses '$args'" 2 "" "$(request_usage "$message")"$'\n' "$tool" request $args
done <<EOT
$phone|request: expected getring, addring or delring
$phone --app com.example.two|request: expected getring, addring or delring
$phone --app|--app needs a value
$phone frob|request: unknown request 'frob'
$phone GETRING|request: unknown request 'GETRING'
$work/none frob|request: unknown request 'frob'
$phone getring extra|request getring: expected no arguments
$phone addring|request addring: expected AUDIO_FILE TITLE SECONDS
$phone addring $work/audio/r.m4r Bell|request addring: expected AUDIO_FILE TITLE SECONDS
$phone addring $work/audio/r.m4r Bell 30 extra|request addring: expected AUDIO_FILE TITLE SECONDS
$phone delring|request delring: expected one PID or more
$phone --app com.example.two delring|request delring: expected one PID or more
|request: missing DIR
EOT

# The assistant reads at most 1023 bytes: a longer request is refused before anything is
# written. Lengths count bytes, after escaping.
long_message="ruvo-phone: the request would be longer than the 1023 bytes the assistant reads"$'\n'
printf 'long' >"$work/audio/long.m4r"
expect_run "a long title" 1 "" "$long_message" \
    "$tool" request "$phone" addring "$work/audio/long.m4r" "$(printf 'x%.0s' {1..1000})" 30
expect_run "a title of quotes, long once escaped" 1 "" "$long_message" \
    "$tool" request "$phone" addring "$work/audio/long.m4r" "$(printf '"%.0s' {1..480})" 30
# shellcheck disable=SC2046
expect_run "many PIDs" 1 "" "$long_message" "$tool" request "$phone" delring $(seq 1000000000 1000000099)
# The assistant counts every '"' as a string's edge, escaped or not: a value with an unpaired one,
# or with brackets between escaped ones, makes a request it never takes, refused before anything
# is written. Paired quotes around plain text pass (see the addring with quotes above).
unbalanced="ruvo-phone: request: the quotes in a value leave the request unbalanced; the assistant would never read it (try --help)"$'\n'
for title in 'a "b' '"' 'x"]"y'; do
    expect_run "a title '$title'" 2 "" "$unbalanced" "$tool" request "$phone" addring "$work/audio/long.m4r" "$title" 30
done
expect_run "a PID with one quote" 2 "" "$unbalanced" "$tool" request "$phone" delring '12"'
check "a refused addring copies nothing" test ! -e "$container/Documents/long.m4r"
same "failures leave the request in place" "$before" "$(cat "$pcc/Request")"
# At the limit: titles of three-byte characters that make the request 1023 and 1024 bytes long
# with a Sign as long as the last one.
sign=$(sign_in "$pcc/Request")
empty_title='[{"Sign":'"$sign"',"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"","timems":30}]}]'
room=$((1023 - $(printf '%s' "$empty_title" | wc -c)))
title=$(printf '铃%.0s' $(seq 1 $((room / 3))))
pad=xx
title+=${pad:0:room % 3}
expect_run "a request of 1024 bytes" 1 "" "$long_message" \
    "$tool" request "$phone" addring "$work/audio/r.m4r" "${title}y" 30
request_case "a request of 1023 bytes" "$container" \
    '[{"Sign":SIGN,"Command":"addring","Parms":[{"filepatch":"/Documents/r.m4r","storename":"'"$title"'","timems":30}]}]' \
    "$reply" "$answer" -- "$phone" addring "$work/audio/r.m4r" "$title" 30
same "the request is 1023 bytes" 1023 "$(wc -c <"$pcc/Request")"

help=$("$tool" --help)
for line in "  ringtones DIR" "  prefs DIR absent|short|WORD20 WORD96" "  fault DIR STEP ACTION" "  fault DIR clear" \
    "  request DIR [--app BUNDLE_ID] getring" "  request DIR [--app BUNDLE_ID] addring AUDIO_FILE TITLE SECONDS" \
    "  request DIR [--app BUNDLE_ID] delring PID..."; do
    check "help names '$line'" grep -qF -- "$line" <<<"$help"
done

finish
