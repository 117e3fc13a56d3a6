#!/usr/bin/env bash
# Runs one Windows test program under wine's heap checking, the nearest thing
# to a sanitizer here: any "err:heap" line fails the run, as does the program.
# usage: tools/heapcheck.sh program.exe [arguments...]
# +heap also traces every heap call; those lines are dropped on the fly.
set -u
here=$(cd "$(dirname "$0")" && pwd)
log=$(mktemp "${TMPDIR:-/tmp}/heapcheck.XXXXXX")
trap 'rm -f "$log"' EXIT

# No debugger on a heap assertion: one started here inherits the tracing and
# can hang until the test's time-out instead of letting the process end.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=};winedbg.exe=d"
WINEDEBUG=err+heap,+heap "$here/wine-run.sh" "$@" 2>&1 | grep -av ':trace:heap' >"$log"
rc=${PIPESTATUS[0]}
cat "$log"
errors=$(grep -ac ':err:heap' "$log")
echo "heapcheck: exit code $rc, $errors heap error(s)"
[ "$rc" -eq 0 ] && [ "$errors" -eq 0 ]
