#!/usr/bin/env bash
# Black-box checks of `ruvo-tool addring` with audio that is not a ringtone yet: fixtures made by
# gst-launch-1.0 at test time, the phone's file read back with gst-discoverer-1.0; standard
# output, standard error and exit status compared exactly.
set -u
tool="$1"
phone_tool="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export RUVO_PHONE_HUB="$work/hub"
export RUVO_SYNC_TIMEOUT_MS=5000 RUVO_RECEIVE_TIMEOUT_MS=5000
. "$(dirname "$0")/common.sh"

run() { run_tool "$@"; }

# sine FILE SECONDS ENCODER...: a 440 Hz sine of whole seconds.
sine() {
    local file="$1" seconds="$2"
    shift 2
    gst-launch-1.0 -q audiotestsrc num-buffers=$((seconds * 441 / 10)) samplesperbuffer=1000 volume=0.5 \
        ! audio/x-raw,rate=44100,channels=2 ! audioconvert ! "$@" ! filesink location="$file" >/dev/null 2>&1
}
sine "$work/song.mp3" 60 lamemp3enc
sine "$work/short.flac" 10 flacenc
sine "$work/long.wav" 60 wavenc
sine "$work/ready.m4a" 10 avenc_aac ! mp4mux
printf 'a plain text file\n' >"$work/notes.txt"
head -c 3000 /dev/urandom >"$work/noise.m4r"

phone="$work/phone"
"$phone_tool" init "$phone" >/dev/null
"$phone_tool" plug "$phone"
tones="$phone/media/iTunes_Control/Ringtones"

# The catalogue line of the ringtone with this title, and its file.
line_of() { "$phone_tool" ringtones "$phone" | awk -F'\t' -v t="$1" '$2 == t'; }
file_of() { printf '%s/%s' "$tones" "$(line_of "$1" | cut -f3)"; }
# duration_ms FILE: the length gst-discoverer-1.0 reads, in whole milliseconds.
duration_ms() {
    gst-discoverer-1.0 "$1" | sed -n 's/^ *Duration: \([0-9]*\):\([0-9]*\):\([0-9]*\)\.\([0-9][0-9][0-9]\).*/\1 \2 \3 \4/p' |
        { read -r h m s ms && echo $(( (10#$h * 3600 + 10#$m * 60 + 10#$s) * 1000 + 10#$ms )); }
}
# near MS WANT: within one AAC frame (23 ms) of the wanted length, and never past 40 s.
near() { [ "$1" -ge $(($2 - 23)) ] && [ "$1" -le $(($2 + 23)) ] && [ "$1" -le 40000 ]; }
is_aac_mp4() {
    local report
    report=$(gst-discoverer-1.0 "$1")
    grep -q "container #0: Quicktime" <<<"$report" && grep -q "audio #1: MPEG-4 AAC" <<<"$report" &&
        [ "$(grep -c "audio #" <<<"$report")" = 1 ] && ! grep -q "video #" <<<"$report"
}

# --- An MP3 of 60 s: the first 40 s as AAC in MPEG-4, titled, 40 s recorded ---
run addring "$work/song.mp3" "Song"
expect_run "addring of an MP3" 0 $'TRUE\n' ""
line=$(line_of Song)
check "the title" test "$(cut -f2 <<<"$line")" = "Song"
check "40 s recorded" test "$(cut -f4 <<<"$line")" = 40000
check "the phone's file is AAC in MPEG-4" is_aac_mp4 "$(file_of Song)"
check "of 40 s" near "$(duration_ms "$(file_of Song)")" 40000
check "with the title tag" grep -q "title: Song" <(gst-discoverer-1.0 --verbose "$(file_of Song)")

# --- SECONDS, --from, and --progress ---
run addring --progress "$work/song.mp3" "Part" 15
check "SECONDS: exit 0" test "$status" = 0
check "SECONDS: TRUE" test "$out" = $'TRUE\n'
check "--progress starts at 0 and ends at 100" test "$(head -n 1 <<<"$err")/$(tail -n 1 <<<"${err%$'\n'}")" = "converting 0%/converting 100%"
check "--progress prints only its lines, each percent once, rising" \
    python3 -c 'import sys; l = sys.argv[1].splitlines(); import re
n = [int(re.fullmatch(r"converting (\d+)%", x).group(1)) for x in l]
sys.exit(0 if n == sorted(set(n)) and sys.argv[1].endswith("\n") else 1)' "$err"
check "15 s recorded" test "$(cut -f4 <<<"$(line_of Part)")" = 15000
check "of 15 s" near "$(duration_ms "$(file_of Part)")" 15000

run addring --from 50 "$work/long.wav" "Tail" 30
expect_run "--from 50 of 60 s" 0 $'TRUE\n' ""
check "the rest is 10 s, recorded as such" test "$(cut -f4 <<<"$(line_of Tail)")" = 10000
check "of 10 s" near "$(duration_ms "$(file_of Tail)")" 10000

run addring "$work/short.flac" "Short" 55
expect_run "a FLAC of 10 s with 55 asked" 0 $'TRUE\n' ""
check "what it holds is recorded" test "$(cut -f4 <<<"$(line_of Short)")" = 10000
check "the FLAC became AAC" is_aac_mp4 "$(file_of Short)"

# --- Unchanged: a short AAC M4A and an .m4r, byte for byte ---
run addring "$work/ready.m4a" "Ready"
expect_run "an AAC M4A of 10 s" 0 $'TRUE\n' ""
check "goes unchanged" cmp -s "$work/ready.m4a" "$(file_of Ready)"
check "its length is recorded" test "$(cut -f4 <<<"$(line_of Ready)")" = 10000
run addring "$work/noise.m4r" "Noise" 7
expect_run "an .m4r of random bytes" 0 $'TRUE\n' ""
check "goes unchanged" cmp -s "$work/noise.m4r" "$(file_of Noise)"
count=$("$phone_tool" ringtones "$phone" | wc -l)

# --- Refusals: nothing reaches the phone ---
run addring "$work/notes.txt" "Notes"
expect_run "a text file" 1 "" "ruvo-tool: addring: not an audio file: $work/notes.txt"$'\n'
for late in "60 $work/long.wav" "60 $work/song.mp3" "61.5 $work/song.mp3"; do
    run addring --from ${late%% *} "${late#* }" "Late"
    expect_run "--from $late" 1 "" "ruvo-tool: addring: ${late#* }: the excerpt starts at or past the end of the audio"$'\n'
done
for ringtone in "$work/noise.m4r" "$work/missing.M4R"; do
    run addring --from 5 "$ringtone" "Noise"
    expect_run "--from with $ringtone" 2 "" $'ruvo-tool: addring: --from does not apply to a ringtone file (.m4r)\n'
done
run addring "$work/noise.m4r" "Noise"
expect_run "an .m4r whose length cannot be read" 2 "" "ruvo-tool: addring: cannot read the duration of $work/noise.m4r (give SECONDS)"$'\n'
usage=$'ruvo-tool: addring: usage: addring [--from SECONDS] [--progress] AUDIO_FILE TITLE [SECONDS]\n'
for bad in "--from" "--from x $work/song.mp3 T" "--from -1 $work/song.mp3 T" "--loud $work/song.mp3 T" \
    "$work/song.mp3 T 1x" "$work/song.mp3 T 4 5"; do
    run addring $bad
    expect_run "usage: addring $bad" 2 "" "$usage"
done
RUVO_CONVERT_TIMEOUT_MS=1 run addring "$work/song.mp3" "Slow"
expect_run "the time bound" 1 "" "ruvo-tool: addring: $work/song.mp3: the conversion took too long"$'\n'
check "nothing was added by the refusals" test "$("$phone_tool" ringtones "$phone" | wc -l)" = "$count"

# --- On a terminal, progress without --progress is one line rewritten in place ---
script -qec "$(printf '%q ' "$tool" addring "$work/short.flac" "Terminal")" /dev/null >"$work/tty" 2>&1
check "a terminal shows the progress in place" grep -qE $'\rconverting 100%\r?$' "$work/tty"
check "and no line of its own per percent" test "$(grep -c '^converting' "$work/tty")" = 0
check "the terminal's add went through" grep -q TRUE "$work/tty"

# --- GStreamer is loaded only when audio is looked at ---
loaded() { LD_DEBUG=files "$tool" "$@" 2>&1 >/dev/null | grep -c 'file=.*libgstreamer'; }
check "ringtones loads no GStreamer" test "$(loaded ringtones)" = 0
check "addring of an .m4r with SECONDS loads no GStreamer" test "$(loaded addring "$work/noise.m4r" Quiet 3)" = 0
check "addring of an MP3 does" test "$(loaded addring "$work/short.flac" Loud 3)" != 0

# --- A failed sync after a conversion still prints FALSE ---
"$phone_tool" fault "$phone" finished sync-failed
run addring "$work/short.flac" "Refused"
expect_run "a failed session" 1 $'FALSE\n' ""

finish
