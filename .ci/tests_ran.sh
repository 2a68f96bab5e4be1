# Sourced by the CI scripts. `require_tests_ran LOG [EXPECTED]` fails unless
# LOG, the kept output of a step that runs tests, shows that they ran: a
# command that builds and then runs nothing passes on its exit status alone.
# It reads every summary in the log: ctest's "... tests passed, ... out of N"
# (EXPECTED defaults to the number of tests `ctest -N` lists for the build
# directory of the preceding "Test project DIR" line) and a GoogleTest
# program's "[==========] N tests from ... ran." (one per repetition; give
# EXPECTED). There must be at least one, and every N must be above 0 and
# equal to what was expected.
require_tests_ran() {
  local log=$1 expected=${2:-} summaries dir ran want
  summaries=$(awk '
    /^Test project / { dir = substr($0, 14) }
    / tests passed, [0-9]+ tests? failed out of [0-9]+$/ { print "ctest", $NF, dir }
    /^\[==========\] [0-9]+ tests? from .* ran\./ { print "gtest", $2, "" }
  ' "$log")
  if [[ -z $summaries ]]; then
    echo "require_tests_ran: FAILED: no test ran (no test summary in $log)" >&2
    return 1
  fi
  while read -r kind ran dir; do
    want=$expected
    if [[ -z $want && $kind == ctest ]]; then
      want=$(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p')
    fi
    if [[ -z $want ]]; then
      echo "require_tests_ran: FAILED: $ran tests ran, but how many should have is not known" >&2
      return 1
    fi
    if ((ran == 0 || ran != want)); then
      echo "require_tests_ran: FAILED: $ran tests ran, $want expected" >&2
      return 1
    fi
    echo "require_tests_ran: $ran tests ran, as expected"
  done <<<"$summaries"
}
