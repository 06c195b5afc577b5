# Shared by the command-line tool tests: pass/fail counting and the error-exit check.
passed=0
failed=0

# expect_error_exit TOOL ARGS: the tool fails with a non-zero status and one line on stderr.
expect_error_exit() {
    local tool="$1" args="$2" err status
    err=$("$tool" $args </dev/null 2>&1 >/dev/null)
    status=$?
    if [ $status -ne 0 ] && [ -n "$err" ] && [ "$(printf '%s\n' "$err" | wc -l)" -eq 1 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL error exit for '$args': status $status, stderr '$err'"
    fi
}

# check DESC COMMAND...: the command succeeds.
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

# run_tool ARGS...: runs "$tool" with the arguments (standard input empty), leaving exactly what
# it wrote in $out and $err (trailing newlines kept) and its exit status in $status. Needs $work.
# With $run_timeout set, a run that takes longer is stopped (status 124).
run_tool() {
    local limit=()
    [ -n "${run_timeout:-}" ] && limit=(timeout "$run_timeout")
    "${limit[@]}" "$tool" "$@" >"$work/out" 2>"$work/err" </dev/null
    status=$?
    out=$(cat "$work/out"; echo x)
    out=${out%x}
    err=$(cat "$work/err"; echo x)
    err=${err%x}
}

# expect_run DESC STATUS STDOUT STDERR: the last run_tool gave exactly these.
expect_run() {
    local desc="$1" want_status="$2" want_out="$3" want_err="$4"
    if [ "$status" = "$want_status" ] && [ "$out" = "$want_out" ] && [ "$err" = "$want_err" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $desc: status $status (want $want_status)"
        printf '  stdout: %q\n  want:   %q\n  stderr: %q\n  want:   %q\n' "$out" "$want_out" "$err" "$want_err"
    fi
}

# finish: prints the closing count line and sets the exit status.
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# sine FILE SECONDS ENCODER...: a 440 Hz stereo sine of whole seconds, made by gst-launch-1.0.
sine() {
    local file="$1" seconds="$2"
    shift 2
    gst-launch-1.0 -q audiotestsrc num-buffers=$((seconds * 441 / 10)) samplesperbuffer=1000 volume=0.5 \
        ! audio/x-raw,rate=44100,channels=2 ! audioconvert ! "$@" ! filesink location="$file" >/dev/null 2>&1
}
