#!/usr/bin/env bash
# Builds the benchmark (Release, into build-bench), generates the inputs and
# prints the benchmark's markdown tables.
#
#   bash bench/run.sh [--budget-only | --no-budget] [ELEMENTS...]      default: 250 1200 4800
#
# --budget-only prints the memory budget's table alone, --no-budget leaves it
# out. Needs python3 (bench/gen_inputs.py writes the inputs), CMake, Ninja
# and a C++20 compiler; installs Debian's rapidjson-dev when it is missing.
# Environment: MIRELO_BENCH_REPEAT (rounds per size, default 5),
# MIRELO_BENCH_BUILD (build directory, default build-bench in the checkout).
set -euo pipefail

if ! command -v python3 >/dev/null 2>&1; then
    echo "run.sh: python3 is needed to generate the inputs (bench/gen_inputs.py); install it and run again" >&2
    exit 1
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MIRELO_BENCH_BUILD:-$root/build-bench}
repeat=${MIRELO_BENCH_REPEAT:-5}
mode=()
case "${1:-}" in
    --budget-only | --no-budget) mode=("$1"); shift ;;
esac
sizes=("$@")
if [ ${#sizes[@]} -eq 0 ]; then
    sizes=(250 1200 4800)
fi

# RapidJSON is the reference writer; only the benchmark uses it.
if [ ! -f /usr/include/rapidjson/writer.h ]; then
    echo "run.sh: installing rapidjson-dev" >&2
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get install -y rapidjson-dev >&2 ||
        { "${sudo_cmd[@]}" apt-get update >&2 && "${sudo_cmd[@]}" apt-get install -y rapidjson-dev >&2; }
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRELO_BUILD_BENCH=ON \
    -DMIRELO_BUILD_TESTS=OFF >&2
cmake --build "$build" --target mirelo_bench >&2

inputs=$(mktemp -d "${TMPDIR:-/tmp}/mirelo-bench.XXXXXX")
trap 'rm -rf "$inputs"' EXIT
dirs=()
for n in "${sizes[@]}"; do
    python3 "$root/bench/gen_inputs.py" --elements "$n" --out "$inputs/$n"
    dirs+=("$inputs/$n")
done

# The load average is printed because other work on the machine skews the times.
echo "mirelo benchmark, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) CPUs, $(uname -m)," \
    "g++ $(g++ -dumpfullversion 2>/dev/null || echo '?'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
"$build/bench/mirelo_bench" --repeat "$repeat" "${mode[@]}" "${dirs[@]}"
