# Shared by the set-up scripts: installs the Debian packages the build needs,
# calling apt-get only when something is missing.
set -euo pipefail

QUORVEL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

QUORVEL_PACKAGES=(
  cmake ninja-build g++
  libgtest-dev libbenchmark-dev nlohmann-json3-dev
  libpcsclite-dev pkg-config
  libusb-1.0-0-dev umockdev libumockdev-dev
  # The PC/SC integration test runs a private pcscd by socket activation.
  pcscd systemd
  # The dialog program, its offscreen tests and the screenshot without a display.
  qt6-base-dev qt6-qpa-plugins xvfb xauth
)

ensure_packages() {
  local missing=()
  local package
  for package in "${QUORVEL_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build_preset() {
  local preset="$1"
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" "$@"
}
