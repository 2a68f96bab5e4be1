#!/usr/bin/env bash
# Runs the concurrency tests (ConcurrencyTest.*: eight threads calling at
# once, and a logger receiving their records) under ThreadSanitizer. The library and the
# test program are built through CMake with -fsanitize=thread into a build
# directory of their own (GoogleTest is the system's, uninstrumented: its
# locks are seen through the intercepted pthread calls), and any report of
# a data race or another thread error fails the run. Warnings are checked
# by the other builds, not here.
#
#   .ci/tsan.sh [BUILD_DIR]     default: a fresh temporary directory
#   CXX=clang++ .ci/tsan.sh     another compiler (default g++)
set -euo pipefail

cd "$(dirname "$0")/.."

source .ci/build_dir.sh
source .ci/tests_ran.sh
use_build_dir tsan "${1:-}"

export CC=${CC:-gcc} CXX=${CXX:-g++}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELO_BUILD_TESTS=ON \
  -DCMAKE_C_FLAGS="-fsanitize=thread" -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread"
cmake --build "$build" --target mirelo_tests

# halt_on_error: the first report ends the program with exitcode, so the
# script fails however the test itself came out.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:exitcode=66:second_deadlock_stack=1:history_size=4}
# A filter that matches nothing would pass without running anything: every
# repetition must run each test the filter lists, and at least one.
filter='ConcurrencyTest.*'
tests=$("$build/tests/mirelo_tests" --gtest_filter="$filter" --gtest_list_tests | grep -c '^  ' || true)
"$build/tests/mirelo_tests" --gtest_filter="$filter" --gtest_repeat="${TSAN_REPEAT:-2}" | tee "$build/tests.log"
require_tests_ran "$build/tests.log" "$tests"
echo "tsan.sh: $tests tests, no ThreadSanitizer report"
