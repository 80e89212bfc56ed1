#!/usr/bin/env bash
# Builds and tests grep.
#
#   ./build.sh search [GREP ARGUMENTS...]  builds the native program and runs it
#   ./build.sh test                        installs what is missing, builds the native
#                                          program, a sanitizer build and the 32-bit
#                                          Windows program, and runs every test on all three
#                                          (where the machine cannot run 32-bit programs, the
#                                          Windows tests run on a 64-bit build under wine64),
#                                          then every fuzzing harness for a short seeded run
#   ./build.sh fuzz [SECONDS_EACH]         builds the fuzzing harnesses (clang, libFuzzer)
#                                          in build-fuzz and runs each (default 12 s)
#   ./build.sh native|sanitize|windows     builds one of them (no tests): build/grep,
#                                          build-sanitize/grep, build-windows/grep.exe
#   ./build.sh help                        shows this text
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$ROOT/build-wine-prefix}

show_help() {  # the comment block at the top of this file
  awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
}

need_packages() {
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  command -v g++ >/dev/null || missing+=(g++)
  command -v python3 >/dev/null || missing+=(python3)
  [ -f /usr/src/googletest/CMakeLists.txt ] && [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ "${1:-}" = fuzz ] && { command -v clang++ >/dev/null || missing+=(clang); }
  [ "${1:-}" = all ] || { echo "${missing[@]}"; return; }
  command -v clang++ >/dev/null || missing+=(clang)
  command -v groff >/dev/null || missing+=(groff-base)
  command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686)
  command -v wine >/dev/null || missing+=(wine)
  dpkg -s wine32:i386 >/dev/null 2>&1 || missing+=(wine32:i386)
  if [ "${2:-}" = win64 ]; then
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
  fi
  echo "${missing[@]}"
}

install_missing() {
  local missing
  missing=$(need_packages "$@")
  [ -z "$missing" ] && return
  echo "Installing: $missing"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if [[ " $missing " == *":i386"* ]]; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
}

# Runs a command with its output held back, and shows that output (the
# compiler's messages, say) only when the command fails.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || cat "$log" >&2
  rm -f "$log"
  return "$status"
}

configure() {  # folder, extra cmake arguments...
  local dir=$1
  shift
  [ -f "$dir/build.ninja" ] || quietly cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
}

# Each step is chained with &&: under quietly these run as the condition of
# an `||`, where `set -e` would not stop them at a failed step.
build_native() { configure build -DCMAKE_BUILD_TYPE=Release && ninja -C build -j"$JOBS" "$@"; }
build_sanitize() {
  configure build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGREP_SANITIZE=ON &&
    ninja -C build-sanitize -j"$JOBS" "$@"
}
build_fuzz() {
  configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGREP_FUZZ=ON -DGREP_TESTS=OFF \
    -DCMAKE_CXX_COMPILER=clang++ &&
    ninja -C build-fuzz -j"$JOBS"
}
build_windows() {
  configure build-windows -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" &&
    ninja -C build-windows -j"$JOBS" "$@"
}
build_windows64() {
  configure build-windows64 -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" &&
    ninja -C build-windows64 -j"$JOBS" "$@"
}

# Whether this machine runs 32-bit programs: the 32-bit Wine loader needs a
# kernel that can, and some kernels are built without it.
runs_32bit_programs() {
  wine --version >/dev/null 2>&1
}

run_tests() {  # folder
  echo "== tests: $1"
  (cd "$1" && ctest --output-on-failure -j1)
}

case "${1:-help}" in
  search)
    shift
    install_missing native
    quietly build_native grep catalogue
    exec build/grep "$@"
    ;;
  native) install_missing native; build_native ;;
  sanitize) install_missing native; build_sanitize ;;
  windows) install_missing all; build_windows ;;
  fuzz)
    install_missing fuzz
    build_fuzz
    exec fuzz/run_fuzzers.sh build-fuzz "${2:-12}"
    ;;
  test)
    install_missing all
    build_native
    build_sanitize
    build_windows
    build_fuzz
    status=0
    run_tests build || status=1
    run_tests build-sanitize || status=1
    if runs_32bit_programs; then
      wineboot -i >/dev/null 2>&1 || true
      run_tests build-windows || status=1
      wineserver -k >/dev/null 2>&1 || true
    else
      echo "== This machine cannot run 32-bit programs, so neither Wine's 32-bit loader nor"
      echo "   build-windows/grep.exe can run here: the Windows tests run on the 64-bit"
      echo "   Windows build (build-windows64) under wine64 instead."
      install_missing all win64
      build_windows64
      export WINEPREFIX=$ROOT/build-wine-prefix64
      /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
      run_tests build-windows64 || status=1
      /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || wineserver -k >/dev/null 2>&1 || true
    fi
    echo "== fuzzing: a short seeded run of every harness"
    fuzz/run_fuzzers.sh build-fuzz 12 || status=1
    exit $status
    ;;
  help | -h | --help) show_help ;;
  *)
    echo "Unknown command: $1" >&2
    show_help >&2
    exit 2
    ;;
esac
