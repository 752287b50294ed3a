#!/usr/bin/env bash
# ClipFerry set-up: installs what is missing, configures and builds.
#   ./setup.sh            install missing packages, build build/
#   ./setup.sh run [SOURCE...] [--server S --account A --password-file F]
#                         the same, then queue and upload the videos (a sample when none
#                         is given) on the embedded local server unless --server names one
#   ./setup.sh test       install, build the sanitizer configuration build-asan/ and run every test
#                         (each fuzz target over its corpus among them)
#   ./setup.sh fuzz [SECONDS]
#                         build the libFuzzer targets with clang in build-fuzz/ and run each for
#                         SECONDS (default 60); findings land in build-fuzz/findings/
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make qt6-base-dev qcoro-qt6-dev libpugixml-dev libfreeimage-dev libsqlite3-dev
          libcpp-httplib-dev libssl-dev ffmpeg mediainfo yamdi zip unzip xvfb xauth openssl curl bc
          fonts-droid-fallback clang-14 libclang-rt-14-dev)

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

# The main job: queue the given videos (a generated sample when none is
# given) and upload them. Without --server the embedded local server takes
# them (demo account, data in the per-user data folder, loopback only). With
# a display ClipFerry opens with the queue and the login filled in, and Start
# uploads it; without one the queue runs headless.
run_main_job() {
  local args=("$@") home out
  home=${CLIPFERRY_HOME:-${XDG_DATA_HOME:-$HOME/.local/share}/ClipFerry}
  mkdir -p "$home"
  local embedded=""
  if [[ " ${args[*]-} " != *" --server "* ]]; then
    embedded=http://127.0.0.1:7380
    if ! (exec 3<>/dev/tcp/127.0.0.1/7380) 2>/dev/null; then
      # The demo server signs its version lists with the key a development build trusts.
      if [[ ! -e "$home/demo-server/update-key.pem" ]]; then
        mkdir -p "$home/demo-server"
        install -m 600 tests/update/update-test-key.pem "$home/demo-server/update-key.pem"
      fi
      build/bin/clipferry-server --data "$home/demo-server" --demo --host 127.0.0.1 --port 7380 \
        >"$home/demo-server.out" 2>"$home/demo-server.log" &
      EMBEDDED_SERVER=$!
      trap 'kill "${EMBEDDED_SERVER:-}" 2>/dev/null || true' EXIT
      for _ in $(seq 100); do grep -q listening "$home/demo-server.out" 2>/dev/null && break; sleep 0.1; done
      echo "Embedded server: $embedded (account demo, password demo; data in $home/demo-server)"
    else
      echo "Using the server already listening on $embedded (account demo, password demo)"
    fi
    # Through the environment: a password on the command line shows in the process list.
    export CLIPFERRY_PASSWORD=demo
    args+=(--server "$embedded" --account demo)
  fi
  local has_source=0 a
  for a in "${args[@]}"; do [[ "$a" != --* && -f "$a" ]] && has_source=1; done
  if [ $has_source -eq 0 ]; then
    [ -f "$home/sample.mp4" ] || build/bin/clipferry-cli sample video "$home/sample.mp4" --duration 10 --size 640x360 >/dev/null
    args+=(--title "ClipFerry sample" --author "ClipFerry" "$home/sample.mp4")
  fi
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    build/bin/clipferry-cli upload --queue-only "${args[@]}" || true
    build/bin/clipferry
    return
  fi
  echo "No display: uploading headless."
  out=$(mktemp)
  build/bin/clipferry-cli upload "${args[@]}" | tee "$out"
  local status=${PIPESTATUS[0]}
  if [ -n "$embedded" ]; then
    sed -n 's/.*: stored as content \([0-9]*\)$/\1/p' "$out" | while read -r id; do
      echo "See it at $embedded/content/$id (sign in as demo / demo)"
    done
  fi
  rm -f "$out"
  return "$status"
}

# Each target starts from the corpus in the repository and keeps what it
# learns in build-fuzz/corpus/; an input that crashes is written to
# build-fuzz/findings/ (add it to fuzz/corpus/<target>/ once it is fixed).
# Without debug information: clang 14 cannot emit it for coroutines instrumented
# for coverage ("Cannot represent a difference across sections").
run_fuzzers() {
  local seconds=${1:-60} status=0 t
  CC=clang-14 CXX=clang++-14 build_targets build-fuzz "fuzz_" -DCMAKE_BUILD_TYPE=Release \
    -DCLIPFERRY_FUZZ=ON -DCLIPFERRY_GUI=OFF -DCLIPFERRY_TESTS=OFF -DCLIPFERRY_BENCH=OFF
  mkdir -p build-fuzz/findings build-fuzz/tmp
  for t in fuzz/corpus/*/; do
    t=$(basename "$t")
    mkdir -p "build-fuzz/corpus/$t"
    echo "== $t: $seconds s"
    TMPDIR="$PWD/build-fuzz/tmp" build-fuzz/bin/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
      -artifact_prefix="build-fuzz/findings/$t-" "build-fuzz/corpus/$t" "fuzz/corpus/$t" 2>&1 |
      grep -E "^#[0-9]+[[:space:]]+(DONE|INITED)|stat::|ERROR|SUMMARY" || true
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  done
  return "$status"
}

build_targets() { # build_targets DIR PREFIX [cmake options...]: only the targets named PREFIX*
  local dir=$1 prefix=$2; shift 2
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "$@" >/dev/null
  fi
  local targets
  targets=$(cmake --build "$dir" --target help | sed -n "s/^\.\.\. \(${prefix}[a-z_]*\).*/\1/p" | grep -v _autogen)
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$(nproc)" --target $targets
}

install_packages
case "${1:-}" in
  test)
    install_node_modules
    build build-asan -DCMAKE_BUILD_TYPE=Debug -DCLIPFERRY_SANITIZE=ON -DCLIPFERRY_BENCH=OFF
    cd build-asan
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2
    ;;
  fuzz)
    run_fuzzers "${2:-60}"
    ;;
  run)
    shift
    build build -DCLIPFERRY_TESTS=OFF
    run_main_job "$@"
    ;;
  "")
    build build -DCLIPFERRY_TESTS=OFF
    ;;
  *)
    echo "usage: ./setup.sh [run [ARGS] | test | fuzz [SECONDS]]" >&2
    exit 2
    ;;
esac
