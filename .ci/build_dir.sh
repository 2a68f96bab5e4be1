# Sourced by the CI scripts: `use_build_dir NAME [DIR]` sets `build` to the
# absolute path of DIR (created when missing) or, without DIR, to a fresh
# temporary directory that is removed when the script exits.
use_build_dir() {
  if [[ -n "${2:-}" ]]; then
    mkdir -p "$2"
    build=$(cd "$2" && pwd)
  else
    build=$(mktemp -d "${TMPDIR:-/tmp}/mirelo-$1.XXXXXX")
    trap 'rm -rf "$build"' EXIT
  fi
}
