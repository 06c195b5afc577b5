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

# finish: prints the closing count line and sets the exit status.
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
