#!/usr/bin/env bash
# Runs the concurrent-host test under ThreadSanitizer. The library sources,
# tests/test_concurrency.cpp, the test helpers and GoogleTest itself are
# compiled with -fsanitize=thread into a build directory of their own (no
# CMake option: this build is only for this one test), and any report of a
# data race or another thread error fails the run.
#
#   .ci/tsan.sh [BUILD_DIR]     default: a fresh temporary directory
#   CXX=clang++ .ci/tsan.sh     another compiler (default g++)
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD

source .ci/build_dir.sh
use_build_dir tsan "${1:-}"

cxx=${CXX:-g++}
gtest_src=${GTEST_SOURCE_DIR:-/usr/src/googletest/googletest}
if [[ ! -f "$gtest_src/src/gtest-all.cc" ]]; then
  echo "tsan.sh: GoogleTest sources not found in $gtest_src (set GTEST_SOURCE_DIR)" >&2
  exit 2
fi

# The main build's language and floating-point rules; its warnings are
# checked there, not here.
cat > "$build/build.ninja" <<NINJA
cxx = $cxx
flags = -std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fsanitize=thread -pthread $(
  ) -I$root/src -I$root/include -I$root/tests/support -I$gtest_src/include -I$gtest_src $(
  ) -DMIRELO_EXAMPLES_DIR=\"$root/examples\" -DMIRELO_TESTDATA_DIR=\"$root/tests/data\"
rule cxx
  command = \$cxx \$flags -MD -MF \$out.d -c \$in -o \$out
  depfile = \$out.d
  deps = gcc
  description = CXX \$in
rule link
  command = \$cxx \$flags \$in -o \$out -lexpat -licuuc
  description = LINK \$out
NINJA

objects=()
add() {  # source object
  printf 'build %s: cxx %s\n' "$2" "$1" >> "$build/build.ninja"
  objects+=("$2")
}
for source in "$root"/src/*.cpp; do add "$source" "obj/src/$(basename "${source%.cpp}").o"; done
add "$root/tests/test_concurrency.cpp" obj/tests/test_concurrency.o
add "$root/tests/support/test_support.cpp" obj/tests/test_support.o
add "$gtest_src/src/gtest-all.cc" obj/gtest/gtest-all.o
add "$gtest_src/src/gtest_main.cc" obj/gtest/gtest_main.o
printf 'build mirelo_tsan_tests: link %s\n' "${objects[*]}" >> "$build/build.ninja"

ninja -C "$build" mirelo_tsan_tests

# halt_on_error: the first report ends the program with exitcode, so the
# script fails however the test itself came out.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:exitcode=66:second_deadlock_stack=1:history_size=4}
"$build/mirelo_tsan_tests" --gtest_filter='ConcurrencyTest.*' --gtest_repeat="${TSAN_REPEAT:-2}"
echo "tsan.sh: no ThreadSanitizer report"
