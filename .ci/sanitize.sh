#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (MIRELO_SANITIZE, which also makes every report fatal) in a build directory
# of its own and runs the whole test suite there. Any sanitizer report fails
# the run. It builds with clang, so that CI builds and tests with both
# compilers (the README's test command uses the default, g++).
#
#   .ci/sanitize.sh [BUILD_DIR]     default: a fresh temporary directory
#   CC=gcc CXX=g++ .ci/sanitize.sh  another compiler (default clang-14)
#   MIRELO_WERROR=ON .ci/sanitize.sh  warnings as errors
#   CTEST_PARALLEL_LEVEL=2 .ci/sanitize.sh  tests at once (default: the build
#                                   jobs of CMAKE_BUILD_PARALLEL_LEVEL, else
#                                   one per CPU)
set -euo pipefail

cd "$(dirname "$0")/.."

source .ci/build_dir.sh
source .ci/tests_ran.sh
use_build_dir sanitize "${1:-}"

# Reports abort the test program; leaks are reported at its exit. A report
# on standard error alone would not fail ctest, so every one must also end
# the program with a failing status.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:print_stacktrace=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-exitcode=23}

export CC=${CC:-clang-14} CXX=${CXX:-clang++-14}
cmake -S . -B "$build" -G Ninja -DMIRELO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELO_BUILD_TESTS=ON \
  -DMIRELO_WERROR="${MIRELO_WERROR:-OFF}"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 600 \
  -j "${CTEST_PARALLEL_LEVEL:-${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}}" | tee "$build/ctest.log"
require_tests_ran "$build/ctest.log"
