#!/usr/bin/env bash
# ClipFerry set-up: installs what is missing, configures and builds.
#   ./setup.sh            install missing packages, build build/
#   ./setup.sh run [ARGS] the same, then start ClipFerry (on the embedded local server)
#   ./setup.sh test       install, build the sanitizer configuration build-asan/ and run every test
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make qt6-base-dev qcoro-qt6-dev libpugixml-dev libfreeimage-dev libsqlite3-dev
          libcpp-httplib-dev libssl-dev ffmpeg mediainfo yamdi zip unzip xvfb xauth)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  # Node may come from another packaging that bundles npm: ask for the commands.
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "ClipFerry needs these Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Node packages of the interoperability tests (the public tus client).
install_node_modules() {
  local dir
  for dir in tests/*/interop; do
    if [ -f "$dir/package.json" ] && [ ! -d "$dir/node_modules" ]; then
      (cd "$dir" && npm install --no-audit --no-fund --silent)
    fi
  done
}

build() { # build DIR [cmake options...]
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "$@" >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)"
}

install_packages
case "${1:-}" in
  test)
    install_node_modules
    build build-asan -DCMAKE_BUILD_TYPE=Debug -DCLIPFERRY_SANITIZE=ON -DCLIPFERRY_BENCH=OFF
    cd build-asan
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2
    ;;
  run)
    shift
    build build
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
      echo "No display: starting ClipFerry under a virtual X server." >&2
      exec xvfb-run -a build/bin/clipferry "$@"
    fi
    exec build/bin/clipferry "$@"
    ;;
  "")
    build build
    ;;
  *)
    echo "usage: ./setup.sh [run [ARGS] | test]" >&2
    exit 2
    ;;
esac
