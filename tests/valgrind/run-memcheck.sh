#!/usr/bin/env bash
# Runs the cross-process tests once under valgrind's memcheck, the peer processes they start
# included, and fails on a definite leak or a memory error.
#   tests/valgrind/run-memcheck.sh <build-dir>
# Use a build without sanitizers (valgrind and AddressSanitizer do not mix).
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
logs="$build/valgrind"
rm -rf "$logs"
mkdir -p "$logs"

# The tests whose peers are other processes: ours, and the messaging ones when they are built.
tests=(tst_faults)
[ -n "$(find "$build/tests" -type f -name tst_crossprocess -perm -u+x 2>/dev/null)" ] && tests+=(tst_crossprocess)
cmake --build "$build" -j2 --target "${tests[@]}" hardening_peer || exit 2

# --errors-for-leak-kinds=definite: only a definite leak counts as an error; "possibly" and
# "still reachable" blocks are Qt's and glibc's one-time allocations held until exit.
# --trace-children: the helper processes run under memcheck too; a killed helper leaves no
# report, which is expected.
status=0
for t in "${tests[@]}"; do
    bin=$(find "$build/tests" -type f -name "$t" -perm -u+x | head -n1)
    echo "== memcheck $t"
    valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
        --show-leak-kinds=definite --error-exitcode=99 --trace-children=yes \
        --trace-children-skip='*/ld-*' --child-silent-after-fork=yes \
        --suppressions="$here/qt.supp" --num-callers=30 \
        --log-file="$logs/$t.%p.log" "$bin" >"$logs/$t.out" 2>&1
    rc=$?
    if [ $rc -ne 0 ]; then
        status=1
        echo "$t: exit $rc under memcheck; reports in $logs" >&2
        grep -l -E 'definitely lost: [1-9]|ERROR SUMMARY: [1-9]' "$logs"/"$t".*.log >&2
    fi
    grep -h -E 'definitely lost|ERROR SUMMARY' "$logs"/"$t".*.log | sort | uniq -c
done
exit $status
