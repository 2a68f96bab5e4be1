#!/usr/bin/env bash
# Installs a built mirelo into a temporary prefix and builds and runs the C
# host tests/consumer/consumer.c against it three ways, as a host project
# would: through find_package(mirelo) and the target mirelo::mirelo, through
# pkg-config, and through add_subdirectory of the source tree (built here in
# Debug). Each consumer must compute the example.
#
#   .ci/consumer.sh BUILD_DIR [WORK_DIR]   BUILD_DIR: a configured and built
#                                          tree; WORK_DIR default: a fresh
#                                          temporary directory
#   MIRELO_WERROR=ON .ci/consumer.sh ...   warnings as errors in the
#                                          add_subdirectory build
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD

if [[ $# -lt 1 || ! -f "$1/CMakeCache.txt" ]]; then
  echo "usage: $0 BUILD_DIR [WORK_DIR]  (BUILD_DIR: a configured and built mirelo)" >&2
  exit 2
fi
installed_from=$(cd "$1" && pwd)
source .ci/build_dir.sh
use_build_dir consumer "${2:-}"
work=$build
prefix=$work/prefix
example=("$root/examples/project.xml" "$root/examples/generic_db.xml")

echo "-- install into $prefix"
cmake --install "$installed_from" --prefix "$prefix"
# The library comes with its two name links; the tool answers.
for file in include/mirelo.h lib/libmirelo.so lib/cmake/mirelo/mireloConfig.cmake \
            lib/cmake/mirelo/mireloConfigVersion.cmake lib/pkgconfig/mirelo.pc bin/mirelo-calc; do
  test -e "$prefix/$file" || { echo "consumer.sh: $file was not installed" >&2; exit 1; }
done
soname=$(readelf -d "$prefix/lib/libmirelo.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
# One test: a failing command inside an && list would not stop the script.
if [[ -z $soname || ! -L $prefix/lib/libmirelo.so || ! -L $prefix/lib/$soname ||
      ! -f $(readlink -f "$prefix/lib/libmirelo.so") ]]; then
  echo "consumer.sh: the library and its name links were not installed as expected" >&2
  exit 1
fi
"$prefix/bin/mirelo-calc" --version

echo "-- find_package(mirelo)"
cmake -S tests/consumer -B "$work/find_package" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$work/find_package"
"$work/find_package/consumer" "${example[@]}"

echo "-- pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -r -a flags <<< "$(pkg-config --cflags --libs mirelo)"
libdir=$(pkg-config --variable=libdir mirelo)
cc -std=c99 -Wall -Wextra -Wstrict-prototypes -Werror tests/consumer/consumer.c "${flags[@]}" \
  -Wl,-rpath,"$libdir" -o "$work/pkg_config_consumer"
"$work/pkg_config_consumer" "${example[@]}"

echo "-- add_subdirectory"
cmake -S tests/consumer -B "$work/add_subdirectory" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DMIRELO_SOURCE_DIR="$root" -DMIRELO_WERROR="${MIRELO_WERROR:-OFF}"
cmake --build "$work/add_subdirectory" --target consumer
"$work/add_subdirectory/consumer" "${example[@]}"

echo "consumer.sh: the three consumers calculated the example"
