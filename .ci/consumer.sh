#!/usr/bin/env bash
# Builds mirelo (Release, library and tool, no tests) in a work directory of
# its own, installs it into a prefix there and builds and runs the C host
# tests/consumer/consumer.c against it three ways, as a host project would.
# The first two run the README's own commands, taken from the blocks marked
# for this script, so that a README command that does not work fails here;
# they run from a directory of the work directory whose `build` is that
# build, so that what they write (the install manifest, the pkg-config host)
# stays there: a build tree of the checkout is neither used nor changed.
# Only the prefix and the library directory under it are this script's.
# Each consumer must compute the example.
#   - install: `cmake --install` of that build;
#   - find_package: the host built against the installation, installed, and
#     run from its installed place (its run path must find the library) and
#     from its build tree;
#   - pkg-config: the host compiled with the flags of the installed mirelo.pc;
#   - add_subdirectory of the source tree, built here in Debug: mirelo then
#     builds no tool and the host's install installs nothing of mirelo.
#
#   .ci/consumer.sh [WORK_DIR]             WORK_DIR: where everything is
#                                          built and written, default a fresh
#                                          temporary directory
#   CC=clang-14 CXX=clang++-14 .ci/consumer.sh   another compiler
#   MIRELO_WERROR=ON .ci/consumer.sh ...   warnings as errors in its builds
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD

# A configured build tree is not a work directory: the script writes into
# its work directory, and must leave a build tree as it found it.
if [[ $# -gt 1 || ( $# -eq 1 && -f "$1/CMakeCache.txt" ) ]]; then
  echo "usage: $0 [WORK_DIR]  (WORK_DIR: not a build tree; the script builds mirelo itself)" >&2
  exit 2
fi
source .ci/build_dir.sh
use_build_dir consumer "${1:-}"
work=$build
# A library found through LD_LIBRARY_PATH would hide a missing run path.
unset LD_LIBRARY_PATH

echo "-- build"
# Any prefix but /usr, for which mirelo.pc names the system's directories
# instead of finding its place.
installed_from=$work/build
cmake -S "$root" -B "$installed_from" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr/local \
  -DMIRELO_BUILD_TESTS=OFF -DMIRELO_WERROR="${MIRELO_WERROR:-OFF}"
cmake --build "$installed_from"

# The library directory is GNUInstallDirs' choice: lib, lib64 or lib/<multiarch>.
libdir_name=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$installed_from/CMakeCache.txt")
if [[ -z $libdir_name || $libdir_name == /* ]]; then
  echo "consumer.sh: the build installs its library into an absolute directory, '$libdir_name'" >&2
  exit 1
fi
export prefix=$work/prefix
export libdir=$prefix/$libdir_name
example=("$root/examples/project.xml" "$root/examples/generic_db.xml")

# The README's commands run from a checkout whose `build` is the build above.
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
