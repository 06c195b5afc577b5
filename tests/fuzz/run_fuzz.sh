#!/usr/bin/env bash
# Runs one libFuzzer target for a while, seeded from the stored corpus.
# Usage: tests/fuzz/run_fuzz.sh TARGET [seconds=60] [more libFuzzer options...]
#   TARGET: bplist, json, json_diff or cfplist (the executables fuzz_<TARGET> of a RUVO_FUZZ=ON build,
#   which `make fuzz-smoke` configures and builds in build-fuzz/).
# The run works on a copy of tests/corpus/TARGET in $RUVO_FUZZ_DIR/corpus/TARGET (default
# build-fuzz/ in the repository), so it never writes into the tree; a crashing input lands in
# $RUVO_FUZZ_DIR/artifacts/TARGET/ and the script fails. Once the bug is fixed, such an input
# belongs in tests/corpus/TARGET/, where the test suite replays it.
set -euo pipefail

if [ "$#" -lt 1 ]; then
    echo "usage: $0 TARGET [seconds] [libFuzzer options...]" >&2
    exit 2
fi
target="$1"
seconds="${2:-60}"
shift $(( $# >= 2 ? 2 : 1 ))

root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${RUVO_FUZZ_DIR:-$root/build-fuzz}"
fuzzer="$out/fuzz_$target"
# The differential JSON target starts from the JSON reader's stored inputs.
case "$target" in
    json_diff) seeds="$root/tests/corpus/json" ;;
    *) seeds="$root/tests/corpus/$target" ;;
esac
if [ ! -x "$fuzzer" ]; then
    echo "run_fuzz: $fuzzer is missing; build it with 'make fuzz-smoke' or a RUVO_FUZZ=ON build" >&2
    exit 2
fi
if [ ! -d "$seeds" ]; then
    echo "run_fuzz: no corpus folder $seeds" >&2
    exit 2
fi

corpus="$out/corpus/$target"
artifacts="$out/artifacts/$target"
mkdir -p "$corpus" "$artifacts"
cp "$seeds"/* "$corpus"/

# Findings stop the run and leave a stack trace; leaks count as findings.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

echo "run_fuzz: $target for ${seconds}s, corpus $corpus, artifacts $artifacts"
# -timeout: no single input may take longer (the parsers' work limits keep even the worst
# far below); -rss_limit_mb: a parser that allocates without bound is a finding too.
# -max_len: mutations stay small, so a short run gets through many of them; larger stored
# inputs are read truncated to that length (the test suite replays them whole). Options given
# after TARGET and seconds come later and win.
exec "$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$@" "$corpus"
