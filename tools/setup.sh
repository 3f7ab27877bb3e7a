# Shared set-up for ./run and ./test: installs the Debian packages the
# project needs (only those that are missing, so a second call costs
# nothing), then configures and builds the release build in build/.
# Sourced, not run.

TREVIK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TREVIK_PACKAGES=(
  cmake make g++ pkg-config libgtest-dev libbenchmark-dev qt6-base-dev
  clang libclang-rt-14-dev valgrind locales libpng-dev
  fonts-liberation fonts-ipafont-gothic xvfb xdotool x11-utils
)

trevik_install_packages() {
  local missing=() p
  for p in "${TREVIK_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# A locale with a decimal comma, for the tests that show the output does not
# depend on the user's locale.
trevik_install_locale() {
  locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$' && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8 >&2 || echo "warning: could not generate de_DE.UTF-8" >&2
}

# trevik_build DIR [cmake options...]: configure (once) and build one tree.
# With TREVIK_QUIET=1 the build's output is shown only when it fails.
trevik_build() {
  local dir="$1"; shift
  local log="$TREVIK_ROOT/$dir.log"
  mkdir -p "$TREVIK_ROOT/$dir"
  if ! {
    if [ ! -f "$TREVIK_ROOT/$dir/CMakeCache.txt" ]; then
      cmake -S "$TREVIK_ROOT" -B "$TREVIK_ROOT/$dir" "$@"
    fi
    cmake --build "$TREVIK_ROOT/$dir" -j2
  } > "$log" 2>&1; then
    cat "$log" >&2
    echo "build in $dir failed" >&2
    return 1
  fi
  [ "${TREVIK_QUIET:-0}" = 1 ] || cat "$log" >&2
}
