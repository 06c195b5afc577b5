#!/usr/bin/env bash
# `ruvo-tool addring` with audio a hostile or unlucky user gives it: sources that declare absurd
# rates, broken or empty files, what is no regular file, a conversion helper that is killed or
# hangs, and a file of 300 MB. Each ends in bounded time with its exact line and status, adds
# nothing it should not, leaves nothing in $TMPDIR and no helper process behind.
set -u
tool="$1"
phone_tool="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export RUVO_PHONE_HUB="$work/hub"
export RUVO_SYNC_TIMEOUT_MS=5000 RUVO_RECEIVE_TIMEOUT_MS=5000
# The conversions' temporary room: whatever is left in it after a command is a leak. The mark
# finds this test's helpers among the machine's processes.
export TMPDIR="$work/tmp" RUVO_TEST_MARK="$work"
mkdir "$TMPDIR"
. "$(dirname "$0")/common.sh"

# run ARGS...: the tool, stopped after 60 s should it hang (status 124).
run_timeout=60
run() { run_tool "$@"; }

# A stream that declares a sample rate of 1 Hz: a resampler asked to make 44.1 kHz of it wants
# gigabytes.
rate1() {
    local file="$1" samples="$2"
    shift 2
    gst-launch-1.0 -q audiotestsrc num-buffers=4 samplesperbuffer="$samples" \
        ! audio/x-raw,rate=1,channels=2,format=S16LE ! "$@" ! filesink location="$file" >/dev/null 2>&1
}
sine "$work/song.mp3" 60 lamemp3enc
rate1 "$work/rate1.flac" 65535 flacenc blocksize=65535 streamable-subset=false
rate1 "$work/rate1.wav" 4608 wavenc
head -c "$(($(stat -c %s "$work/song.mp3") / 3))" "$work/song.mp3" >"$work/cut.mp3"
: >"$work/empty.flac"
mkfifo "$work/fifo.mp3"
mkdir "$work/folder.mp3"
ln -s /dev/zero "$work/zero.mp3"

phone="$work/phone"
"$phone_tool" init "$phone" >/dev/null
"$phone_tool" plug "$phone"
count() { "$phone_tool" ringtones "$phone" | wc -l; }

# The helper processes of this test still running.
helpers_left() {
    local pid found=0
    for pid in $(pgrep -x ruvo-convert); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "RUVO_TEST_MARK=$work"; then found=1; fi
    done
    [ "$found" = 1 ]
}
clean() { [ -z "$(ls -A "$TMPDIR")" ] && ! helpers_left; }

# --- Each hostile source: its line and status, in bounded time, nothing added, nothing left ---
cases=(
    "rate1.flac|1|unsupported audio: a sample rate of 1 Hz"
    "rate1.wav|1|unsupported audio: a sample rate of 1 Hz"
    "empty.flac|1|not an audio file"
    "fifo.mp3|1|not a regular file"
    "folder.mp3|1|not a regular file"
    "zero.mp3|1|not a regular file"
)
for c in "${cases[@]}"; do
    IFS='|' read -r name want_status reason <<<"$c"
    file="$work/$name"
    if [ "$reason" = "not an audio file" ]; then line="ruvo-tool: addring: not an audio file: $file"; else line="ruvo-tool: addring: $file: $reason"; fi
    start=$SECONDS
    run addring "$file" Bomb 30
    expect_run "$name" "$want_status" "" "$line"$'\n'
    check "$name: within 10 s" test $((SECONDS - start)) -lt 10
    check "$name: nothing left behind" clean
done
check "nothing was added" test "$(count)" = 0

# A truncated MP3 converts as far as it decodes, or fails in one line.
run addring "$work/cut.mp3" Cut
if [ "$status" = 0 ]; then
    expect_run "a truncated MP3" 0 $'TRUE\n' ""
    check "the truncated MP3 is on the phone" test "$(count)" = 1
else
    check "a truncated MP3 fails in one line" test "$status" = 1 -a "$(printf '%s' "$err" | wc -l)" = 1
fi
check "the truncated MP3 left nothing" clean
before=$(count)

# --- The helper killed in the middle of a conversion: a failed conversion, nothing sent ---
RUVO_CONVERT_TEST_STALL=1 "$tool" addring "$work/song.mp3" Killed >"$work/out" 2>"$work/err" </dev/null &
caller=$!
helper=""
for _ in $(seq 100); do
    helper=$(pgrep -P "$caller" -x ruvo-convert) && break
    sleep 0.1
done
check "the helper started" test -n "$helper"
# Confined while it decodes: a system-call filter, no new privileges, no core dumps, and (but
# under a sanitizer) 1 GiB of address space.
if [ -n "$helper" ]; then
    check "the helper runs under a seccomp filter" grep -qE "^Seccomp:[[:space:]]+2$" "/proc/$helper/status"
    check "the helper gains no privileges" grep -qE "^NoNewPrivs:[[:space:]]+1$" "/proc/$helper/status"
    check "the helper dumps no core" grep -qE "^Max core file size +0 +0 " "/proc/$helper/limits"
    if [ "${RUVO_TEST_SANITIZED:-0}" != 1 ]; then
        check "the helper has 1 GiB of address space" \
            grep -qE "^Max address space +1073741824 +1073741824 " "/proc/$helper/limits"
    fi
    kill -KILL "$helper"
fi
wait "$caller"
status=$?
out=$(cat "$work/out")
err=$(cat "$work/err")
expect_run "a killed helper" 1 "" "ruvo-tool: addring: $work/song.mp3: the converter was killed"
check "the killed conversion left nothing" clean

# --- A helper that hangs is killed at the bound ---
start=$SECONDS
RUVO_CONVERT_TEST_STALL=1 RUVO_CONVERT_TIMEOUT_MS=2000 run addring "$work/song.mp3" Hung
expect_run "a hanging helper" 1 "" "ruvo-tool: addring: $work/song.mp3: the conversion took too long"$'\n'
check "killed at its bound" test $((SECONDS - start)) -lt 15
check "the hanging helper left nothing" clean
check "neither was added" test "$(count)" = "$before"

# --- 300 MB of MP3: streamed, only the excerpt decoded; the tool and its helper each stay under
# 100 MB, so under 200 MB together ---
sine "$work/piece.mp3" 10 lamemp3enc
python3 - "$work/piece.mp3" "$work/big.mp3" <<'PY'
import sys
piece = open(sys.argv[1], "rb").read()
with open(sys.argv[2], "wb") as out:
    written = 0
    while written < 300_000_000:
        out.write(piece)
        written += len(piece)
PY
peak=$(python3 - "$tool" "$work/big.mp3" <<'PY'
import resource, subprocess, sys
done = subprocess.run([sys.argv[1], "addring", sys.argv[2], "Big"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
# The largest resident size of the tool and of every process it waited for (its helper).
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, done.returncode, done.stdout.decode().strip())
PY
)
read -r kb big_status big_out <<<"$peak"
check "300 MB: added" test "$big_status $big_out" = "0 TRUE"
if [ "${RUVO_TEST_SANITIZED:-0}" != 1 ]; then
    check "300 MB: each process under 100 MB (peak $kb KB)" test "$kb" -lt 102400
fi
check "300 MB: nothing left" clean

# --- GStreamer is loaded by the helper only, never by ruvo-tool's own process ---
LD_DEBUG=files "$tool" addring "$work/piece.mp3" Loaded >/dev/null 2>"$work/lddebug" </dev/null &
caller=$!
wait "$caller"
check "ruvo-tool itself loads no GStreamer" test "$(grep -c "^ *$caller:.*file=.*libgstreamer" "$work/lddebug")" = 0
check "its helper does" grep -q "file=.*libgstreamer" "$work/lddebug"

finish
