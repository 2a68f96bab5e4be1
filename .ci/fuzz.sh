#!/usr/bin/env bash
# Builds the libFuzzer target fuzz/fuzz_pipeline.cpp with clang through
# CMake (MIRELO_FUZZ: the library and the target compiled with
# -fsanitize=fuzzer-no-link,address,undefined, the target linked with
# libFuzzer) and runs it for a bounded time on the seed corpus fuzz/corpus.
# A crash, a sanitizer report, a timeout (10 s per input) or an input that
# needs more than 2 GiB fails the run and leaves the input in
# BUILD_DIR/artifacts/; keep it in tests/data/regressions/ once understood.
#
#   .ci/fuzz.sh [BUILD_DIR]          default: a fresh temporary directory
#   FUZZ_SECONDS=600 .ci/fuzz.sh     run longer (default 60 s)
#   CXX=clang++-14 .ci/fuzz.sh       another clang (default clang++)
#   MIRELO_WERROR=ON .ci/fuzz.sh     warnings as errors
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD

source .ci/build_dir.sh
use_build_dir fuzz "${1:-}"

export CC=${CC:-clang} CXX=${CXX:-clang++}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELO_FUZZ=ON -DMIRELO_BUILD_TESTS=OFF \
  -DMIRELO_WERROR="${MIRELO_WERROR:-OFF}"
cmake --build "$build" --target fuzz_pipeline

# New inputs go into the work corpus in the build directory; the seed corpus
# in the tree is only read. The library's diagnostic lines on standard
# output and standard error are expected; -close_fd_mask=3 silences them
# while libFuzzer's own report still reaches standard error.
mkdir -p "$build/corpus" "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
"$build/fuzz/fuzz_pipeline" \
  -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
  -close_fd_mask=3 -print_final_stats=1 \
  -dict="$root/fuzz/mirelo.dict" -artifact_prefix="$build/artifacts/" \
  "$build/corpus" "$root/fuzz/corpus" || status=$?

if compgen -G "$build/artifacts/*" > /dev/null; then
  echo "fuzz.sh: inputs that failed (first byte: even = project file, odd = library file):" >&2
  ls -l "$build/artifacts/" >&2
  if [[ $status -eq 0 ]]; then status=1; fi
fi
if [[ $status -ne 0 ]]; then
  echo "fuzz.sh: FAILED (status $status)" >&2
  if [[ $# -lt 1 ]]; then trap - EXIT; echo "fuzz.sh: build directory kept: $build" >&2; fi
  exit "$status"
fi
echo "fuzz.sh: no finding in ${FUZZ_SECONDS:-60} s"
