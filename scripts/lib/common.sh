# Shared set-up of the project's scripts: installs the Debian packages the build needs
# (only those missing), then configures and builds one build tree.
# Sourced by scripts/demo, scripts/test and scripts/bench.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# Everything the build, the tests and the tools use, by Debian package name.
PACKAGES=(
  build-essential g++-multilib cmake ninja-build pkg-config clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev umockdev libumockdev-dev
  libcli11-dev libcfitsio-dev libpng-dev
  python3 python3-numpy
)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_tree DIR [cmake args...]: configure once, then build incrementally.
build_tree() {
  local dir="$1"
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  fi
  cmake --build "$dir" -j "$(nproc)"
}
