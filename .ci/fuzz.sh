#!/usr/bin/env bash
# Builds the libFuzzer target fuzz/fuzz_pipeline.cpp with clang through
# CMake (MIRELO_FUZZ: the library and the target compiled with
# -fsanitize=fuzzer-no-link,address,undefined, the target linked with
# libFuzzer) and runs it for a bounded time on the seed corpus fuzz/corpus.
# A crash, a sanitizer report, a timeout (10 s per input) or an input that
# needs more than 2 GiB fails the run and leaves the input in
# BUILD_DIR/artifacts/, also printed into the log in base64; keep it in
# tests/data/regressions/ once understood. A run that executed no input
# fails too.
#
#   .ci/fuzz.sh [BUILD_DIR]          default: a fresh temporary directory
#   FUZZ_SECONDS=600 .ci/fuzz.sh     run longer (default 60 s)
#   FUZZ_KEEP_DIR=DIR .ci/fuzz.sh    failing inputs also copied into DIR, for a
#                                    BUILD_DIR that is removed after the run
#   CC=clang CXX=clang++ .ci/fuzz.sh another clang (default clang-14)
#   MIRELO_WERROR=ON .ci/fuzz.sh     warnings as errors
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD

source .ci/build_dir.sh
use_build_dir fuzz "${1:-}"

export CC=${CC:-clang-14} CXX=${CXX:-clang++-14}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELO_FUZZ=ON -DMIRELO_BUILD_TESTS=OFF \
  -DMIRELO_WERROR="${MIRELO_WERROR:-OFF}"
cmake --build "$build" --target mirelo_fuzz_pipeline

# New inputs go into the work corpus in the build directory; the seed corpus
# in the tree is only read. The library's diagnostic lines on standard
# output and standard error are expected; -close_fd_mask=3 silences them
# while libFuzzer's own report still reaches standard error, and the log.
mkdir -p "$build/corpus" "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
seconds=${FUZZ_SECONDS:-60}
status=0
"$build/fuzz/mirelo_fuzz_pipeline" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
  -close_fd_mask=3 -print_final_stats=1 \
  -dict="$root/fuzz/mirelo.dict" -artifact_prefix="$build/artifacts/" \
  "$build/corpus" "$root/fuzz/corpus" 2>&1 | tee "$build/fuzz.log" || status=$?

# Each failing input is named, kept where asked and printed, so that a run
# whose build directory is gone can still be reproduced.
failed=()
for input in "$build"/artifacts/*; do
  if [[ -f $input ]]; then failed+=("$input"); fi
done
if ((${#failed[@]} > 0)); then
  if [[ $status -eq 0 ]]; then status=1; fi
  if [[ -n ${FUZZ_KEEP_DIR:-} ]]; then
    mkdir -p "$FUZZ_KEEP_DIR"
    cp "${failed[@]}" "$FUZZ_KEEP_DIR/"
  fi
  echo "fuzz.sh: inputs that failed (first byte: even = project file, odd = library file):" >&2
  for input in "${failed[@]}"; do
    name=$(basename "$input")
    echo "fuzz.sh: $name, $(stat -c %s "$input") bytes${FUZZ_KEEP_DIR:+, kept as $FUZZ_KEEP_DIR/$name};" \
      "recreate it with: base64 -d > $name <<'EOF'" >&2
    base64 "$input" >&2
    echo "EOF" >&2
  done
fi
executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz.log" | tail -n 1)
if [[ $status -eq 0 && ${executed:-0} -eq 0 ]]; then
  echo "fuzz.sh: no input was executed" >&2
  status=1
fi
if [[ $status -ne 0 ]]; then
  kept=""
  if ((${#failed[@]} > 0)); then kept=": ${failed[*]##*/}${FUZZ_KEEP_DIR:+ in $FUZZ_KEEP_DIR}"; fi
  echo "fuzz.sh: FAILED (status $status)$kept" >&2
  if [[ $# -lt 1 ]]; then trap - EXIT; echo "fuzz.sh: build directory kept: $build" >&2; fi
  exit "$status"
fi
echo "fuzz.sh: no finding in $seconds s ($executed inputs)"
