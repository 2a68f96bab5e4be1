#!/usr/bin/env bash
# Installs a built mirelo into a temporary prefix and builds and runs the C
# host tests/consumer/consumer.c against it three ways, as a host project
# would. The first two run the README's own commands, taken from the blocks
# marked for this script, so that a README command that does not work fails
# here; only the prefix and the library directory under it are this
# script's. Each consumer must compute the example.
#   - install: `cmake --install` of BUILD_DIR;
#   - find_package: the host built against the installation, installed, and
#     run from its installed place (its run path must find the library) and
#     from its build tree;
#   - pkg-config: the host compiled with the flags of the installed mirelo.pc;
#   - add_subdirectory of the source tree, built here in Debug: mirelo then
#     builds no tool and the host's install installs nothing of mirelo.
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
# A library found through LD_LIBRARY_PATH would hide a missing run path.
unset LD_LIBRARY_PATH

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$installed_from/CMakeCache.txt"; }
# The library directory is GNUInstallDirs' choice: lib, lib64 or lib/<multiarch>.
libdir_name=$(cache_value CMAKE_INSTALL_LIBDIR)
if [[ -z $libdir_name || $libdir_name == /* || $(cache_value CMAKE_INSTALL_PREFIX) =~ ^/usr/*$ ]]; then
  echo "consumer.sh: $installed_from installs into fixed system directories (prefix /usr or an absolute" \
    "library directory), which its mirelo.pc names; configure it with another CMAKE_INSTALL_PREFIX" >&2
  exit 2
fi
export prefix=$work/prefix
export libdir=$prefix/$libdir_name
example=("$root/examples/project.xml" "$root/examples/generic_db.xml")

# The README's commands run from a checkout whose `build` is BUILD_DIR.
checkout=$work/checkout
rm -rf "$checkout" "$prefix"
mkdir -p "$checkout"
ln -s "$root/tests" "$root/examples" "$checkout/"
ln -s "$installed_from" "$checkout/build"

# Runs the README block marked `<!-- .ci/consumer.sh: NAME -->`, without
# its settings of prefix and libdir, echoing each command.
readme() {
  local block
  block=$(awk -v mark="<!-- .ci/consumer.sh: $1 -->" '
    $0 == mark { armed = 1; next }
    armed && /^```/ { if (inside) exit; inside = 1; next }
    inside && !/^(prefix|libdir)=/ { print }
  ' "$root/README.md")
  if [[ -z $block ]]; then
    echo "consumer.sh: README.md has no block marked for '$1'" >&2
    exit 1
  fi
  echo "-- README: $1"
  (cd "$checkout" && bash -euxo pipefail -c "$block")
}

readme install
# The library comes with its two name links; the tool answers.
for file in include/mirelo.h "$libdir_name/libmirelo.so" "$libdir_name/cmake/mirelo/mireloConfig.cmake" \
            "$libdir_name/cmake/mirelo/mireloConfigVersion.cmake" "$libdir_name/pkgconfig/mirelo.pc" \
            bin/mirelo-calc; do
  test -e "$prefix/$file" || { echo "consumer.sh: $file was not installed" >&2; exit 1; }
done
soname=$(readelf -d "$libdir/libmirelo.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
# One test: a failing command inside an && list would not stop the script.
if [[ -z $soname || ! -L $libdir/libmirelo.so || ! -L $libdir/$soname ||
      ! -f $(readlink -f "$libdir/libmirelo.so") ]]; then
  echo "consumer.sh: the library and its name links were not installed as expected" >&2
  exit 1
fi
"$prefix/bin/mirelo-calc" --version

readme find_package
"$checkout/build-host/mirelo_consumer" "${example[@]}"
readme pkg-config

echo "-- add_subdirectory"
subproject=$work/add_subdirectory
cmake -S tests/consumer -B "$subproject" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DMIRELO_SOURCE_DIR="$root" -DMIRELO_WERROR="${MIRELO_WERROR:-OFF}"
cmake --build "$subproject"
"$subproject/mirelo_consumer" "${example[@]}"
if [[ -e $subproject/mirelo/tools ]]; then
  echo "consumer.sh: as a subproject, mirelo built its tool" >&2
  exit 1
fi
cmake --install "$subproject" --prefix "$work/subproject_prefix"
installed=$(cd "$work/subproject_prefix" && find . ! -type d)
if [[ $installed != "./bin/mirelo_consumer" ]]; then
  echo "consumer.sh: the host installed more than its program:" $installed >&2
  exit 1
fi

echo "consumer.sh: the three consumers calculated the example"
