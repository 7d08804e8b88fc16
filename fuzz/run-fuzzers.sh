#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time and prints executions, crashes and peak memory.
#   fuzz/run-fuzzers.sh <build-dir> <seconds-per-target>
# Exits non-zero when a target crashes, leaks, hangs or runs out of memory; the input that did
# it is kept in <build-dir>/fuzz/artifacts/. New inputs go to a scratch copy of the corpus, so
# the checked-in seeds stay as they are.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 <build-dir> <seconds-per-target>" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
targets=(fuzz_messagedecoder fuzz_decrypttext fuzz_jsonutil fuzz_serverreadpath)

work="$build/fuzz/run"
artifacts="$build/fuzz/artifacts"
rm -rf "$work"
mkdir -p "$work" "$artifacts"

status=0
summary=()
for t in "${targets[@]}"; do
    bin="$build/fuzz/$t"
    if [ ! -x "$bin" ]; then
        echo "missing $bin (build the 'fuzzers' target)" >&2
        exit 2
    fi
    corpus="$work/$t"
    cp -r "$here/corpus/$t" "$corpus"
    log="$work/$t.log"
    # -timeout: one input taking this long counts as a hang. -rss_limit_mb: a run that grows
    # past it fails. -max_len: inputs stay small enough that each one runs quickly.
    "$bin" "$corpus" -max_total_time="$seconds" -print_final_stats=1 -timeout=20 \
        -rss_limit_mb=2048 -max_len=8192 -artifact_prefix="$artifacts/$t-" >"$log" 2>&1
    rc=$?
    execs=$(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    rss=$(grep -m1 '^stat::peak_rss_mb' "$log" | awk '{print $2}')
    crashes=0
    if [ $rc -ne 0 ]; then
        crashes=1
        status=1
        echo "=== $t failed (exit $rc); last lines of $log:" >&2
        tail -n 40 "$log" >&2
    fi
    summary+=("$(printf '%-22s executions=%-10s crashes=%s peak_rss_mb=%s' "$t" "${execs:-?}" "$crashes" "${rss:-?}")")
done

printf '%s\n' "${summary[@]}"
exit $status
