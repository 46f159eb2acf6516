#!/usr/bin/env bash
# Runs the test suite of a build directory once under valgrind's memcheck.
# A test fails on any memory error, or on a definite leak, that the
# suppressions (scripts/memcheck.supp: other libraries' own findings only)
# do not cover; the reports of the failing tests are printed at the end.
# Usage: scripts/memcheck.sh BUILD_DIR [more ctest arguments]
set -uo pipefail

build=${1:?usage: memcheck.sh BUILD_DIR [ctest arguments]}
shift
here=$(cd "$(dirname "$0")" && pwd)
valgrind=$(command -v valgrind) || { echo "memcheck: valgrind is not installed" >&2; exit 1; }

# Left out, because valgrind cannot check them:
#   package.*  installs the library and builds a consumer with the compiler:
#              valgrind would watch the shell script, not one line of ours.
skip='^package\.'

options=(
  --leak-check=full
  --show-leak-kinds=definite
  --errors-for-leak-kinds=definite
  --error-exitcode=86
  # Loop threads spin on locks held by others: without a fair scheduler one
  # thread can starve the rest long enough to trip a test's deadline.
  --fair-sched=yes
  --num-callers=40
)

# The tests' own deadlines (tests/support/Loopback.hpp) stretch to match.
export KORVANE_TEST_DEADLINE_SCALE=${KORVANE_TEST_DEADLINE_SCALE:-10}

rm -f "$build"/Testing/Temporary/MemoryChecker.*.log
ctest --test-dir "$build" -T memcheck --no-tests=error -E "$skip" \
  --overwrite "MemoryCheckCommand=$valgrind" \
  --overwrite "MemoryCheckCommandOptions=${options[*]}" \
  --overwrite "MemoryCheckSuppressionFile=$here/memcheck.supp" \
  "$@"
status=$?

found=0
for log in "$build"/Testing/Temporary/MemoryChecker.*.log; do
  [ -e "$log" ] || continue
  if grep -q "ERROR SUMMARY: [1-9]" "$log"; then
    found=1
    echo "==================== $log"
    cat "$log"
  fi
done
if [ "$found" -ne 0 ]; then
  echo "memcheck: valgrind reported errors (above)" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
