#!/usr/bin/env bash
# Launcher for the command-line tests (DOZ2ERA_TEST_LAUNCHER, see tests/run_program.h): runs the
# program under valgrind's memcheck and turns every finding into a failed run, which the tests see
# as an exit status other than 0:
#   99  an invalid read or write, a use of an uninitialised value, a bad free, or a leak of any
#       kind (definite, indirect, possible or still reachable);
#   98  a file descriptor the program opened and left open at exit, beside standard input,
#       output and error (descriptors it inherited are not its doing and are left out);
#   97  valgrind did not run or wrote no report.
# The valgrind report goes to standard error when a run fails; standard output stays the
# program's.
set -u

log=$(mktemp "${TMPDIR:-/tmp}/doz2era-memcheck.XXXXXX") || exit 97
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --error-exitcode=99 --track-fds=yes --log-file="$log" "$@"
status=$?

# valgrind lists each open descriptor as "Open file descriptor N: ..." (or "Open AF_UNIX
# socket N: ..."), followed by where it was opened, or by "<inherited from parent>".
opened=$(awk '/== Open / { open = $0; next }
              open != "" { if ($0 !~ /<inherited from parent>/) print open; open = "" }' "$log")
if ! grep -q 'FILE DESCRIPTORS:' "$log" || ! grep -q 'ERROR SUMMARY:' "$log"; then
    status=97
elif [ -n "$opened" ] && [ "$status" -eq 0 ]; then
    status=98
fi
if [ "$status" -ne 0 ]; then
    echo "memcheck.sh: $* ended with status $status; valgrind's report:" >&2
    cat "$log" >&2
fi
rm -f "$log"
exit "$status"
