#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Sourced by run.sh and test.sh; installs only what is missing.
glimm_packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libespeak-ng-dev espeak-ng-data espeak-ng
  libsoxr-dev libsndfile1-dev portaudio19-dev librtmidi-dev
  xvfb xauth xdotool x11-utils
  python3 python3-pil python3-fonttools
  fonts-dejavu-core
  clang-format
  lv2-dev liblilv-dev lilv-utils sordi
  jalv jackd2 jack-capture openbox imagemagick sox ardour
  libx11-dev libxcb1-dev
  dpf-source
  dpkg-dev file lintian desktop-file-utils appstream man-db groff-base bsdextrautils
)

glimm_install_deps() {
  glimm_need_packages "${glimm_packages[@]}"
}

# Installs the named packages that are missing (as root), or says which
# apt-get line would (otherwise) and fails.
glimm_need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Installs what is missing, configures the default build and builds the given
# targets (everything when none are named).
glimm_build_default() {
  glimm_install_deps
  cmake --preset default
  if [ $# -eq 0 ]; then
    cmake --build --preset default
  else
    cmake --build --preset default --target "$@"
  fi
}
