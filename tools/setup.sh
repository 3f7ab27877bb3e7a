# Shared set-up for ./run and ./test: installs the Debian packages the
# project needs (only those that are missing, so a second call costs
# nothing) and configures and builds a build tree. Sourced, not run.

TREVIK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Package and locale installs go through sudo unless already root.
TREVIK_SUDO=()
if [ "$(id -u)" -ne 0 ]; then TREVIK_SUDO=(sudo); fi
# What building and running need (./run).
TREVIK_PACKAGES=(
  cmake make g++ pkg-config qt6-base-dev qt6-tools-dev libpng-dev libgif-dev
  fonts-liberation fonts-ipafont-gothic xdg-utils fp-utils qt6-translations-l10n
  libdcmtk-dev zlib1g-dev libopenjp2-7-dev
)
# What the checks need besides (./test): test and benchmark libraries, the
# fuzzing compiler, valgrind, the X server and window manager of the window
# tests, the packaging and manual-page tools.
TREVIK_TEST_PACKAGES=(
  libgtest-dev libbenchmark-dev clang libclang-rt-14-dev valgrind locales
  xvfb xdotool x11-utils openbox wmctrl
  libchm-bin groff man-db desktop-file-utils shared-mime-info libglib2.0-bin dpkg-dev file lintian
  # The DICOM tests: validator, PACS and its REST client, DCMTK's tools,
  # other readers, and ip for the loopback of a private network namespace;
  # gdcmconv --j2k makes the JPEG 2000 copies of an object.
  dicom3tools orthanc curl dcmtk medcon dcm2niix libgdcm-tools iproute2
  # An independent reader of the quality-control cine.
  imagemagick
  # The exposure rating of the node's unit (systemd-analyze), and the
  # certificates of the TLS tests.
  systemd openssl
)

# trevik_install_packages [test]: the packages ./run needs, and with "test"
# those of ./test too.
trevik_install_packages() {
  local missing=() p wanted=("${TREVIK_PACKAGES[@]}")
  [ "${1:-}" = test ] && wanted+=("${TREVIK_TEST_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  "${TREVIK_SUDO[@]}" apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive "${TREVIK_SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# A locale with a decimal comma, for the tests that show the output does not
# depend on the user's locale.
trevik_install_locale() {
  locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$' && return 0
  "${TREVIK_SUDO[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8 >&2 || echo "warning: could not generate de_DE.UTF-8" >&2
}

# trevik_build DIR [cmake options...]: configure one tree with the given
# options (also an existing one, so that a changed option takes effect) and
# build it. With TREVIK_QUIET=1 the build's output is shown only when it fails.
trevik_build() {
  local dir="$1"; shift
  local log="$TREVIK_ROOT/$dir.log"
  if ! {
    cmake -S "$TREVIK_ROOT" -B "$TREVIK_ROOT/$dir" "$@" &&
    cmake --build "$TREVIK_ROOT/$dir" -j2
  } > "$log" 2>&1; then
    cat "$log" >&2
    echo "build in $dir failed" >&2
    return 1
  fi
  [ "${TREVIK_QUIET:-0}" = 1 ] || cat "$log" >&2
}
