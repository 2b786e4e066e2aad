#!/usr/bin/env bash
# Launcher for the command-line tests (DOZ2ERA_TEST_LAUNCHER, see tests/run_program.h): runs the
# program (doz2era or kvd2bmp) under valgrind's memcheck and turns every finding into a failed run,
# which the tests see as an exit status that the program never gives:
#   99  an invalid read or write, a use of an uninitialised value, a bad free, or a leak of any
#       kind (definite, indirect, possible or still reachable);
#   98  a file descriptor the program opened and left open at exit, beside standard input,
#       output and error (descriptors it inherited are not its doing and are left out);
#   97  valgrind did not run or wrote no report.
# Without a finding the program's own exit status passes through (kvd2bmp gives 1 and 2 on
# purpose). The valgrind report goes to standard error after a finding; standard output stays the
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
finding=0
if ! grep -q 'FILE DESCRIPTORS:' "$log" || ! grep -q 'ERROR SUMMARY:' "$log"; then
    status=97 finding=1
elif ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
    status=99 finding=1
elif [ -n "$opened" ]; then
    status=98 finding=1
fi
if [ "$finding" -ne 0 ]; then
    echo "memcheck.sh: $* ended with status $status; valgrind's report:" >&2
    cat "$log" >&2
fi
rm -f "$log"
exit "$status"
