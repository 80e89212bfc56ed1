#!/usr/bin/env bash
# Builds and tests grep.
#
#   ./build.sh search [GREP ARGUMENTS...]  builds the native program and runs it
#   ./build.sh test                        installs what is missing, builds the native
#                                          program, a sanitizer build and the 32-bit
#                                          Windows program, and runs every test on all three
#                                          (where the machine cannot run 32-bit programs, the
#                                          Windows tests run on a 64-bit build under wine64),
#                                          then every fuzzing harness over its corpus and for
#                                          a fixed-seed run; ends with the time of each stage
#   ./build.sh fuzz [SECONDS_EACH]         builds the fuzzing harnesses (clang, libFuzzer)
#                                          in build-fuzz and explores with each (default 12 s)
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

# The folder of GoogleTest's sources, which the cross builds compile with their
# own compiler: where Debian's googletest package (a dependency of
# libgtest-dev) puts them, the folder of its top CMakeLists.txt.
gtest_source() {
  dpkg -L googletest 2>/dev/null | grep '/CMakeLists\.txt$' | awk '{ print length, $0 }' |
    sort -n | sed -n '1s|^[0-9]* \(.*\)/CMakeLists\.txt$|\1|p'
}

need_packages() {
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  command -v g++ >/dev/null || missing+=(g++)
  command -v python3 >/dev/null || missing+=(python3)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ "${1:-}" = fuzz ] && { command -v clang++ >/dev/null || missing+=(clang); }
  [ "${1:-}" = all ] || { echo "${missing[@]}"; return; }
  command -v clang++ >/dev/null || missing+=(clang)
  [ -n "$(gtest_source)" ] || missing+=(googletest)
  command -v groff >/dev/null || missing+=(groff-base)
  command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686)
  command -v wine >/dev/null || missing+=(wine)
  dpkg -s wine32:i386 >/dev/null 2>&1 || missing+=(wine32:i386)
  # The locale sources from which the Windows tests make UTF-8 and Japanese
  # locales for Wine (localedef), so that grep.exe runs under those code pages.
  [ -f /usr/share/i18n/locales/hi_IN ] || missing+=(locales)
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
  # A mirror in the middle of a sync serves lists of the wrong size for a
  # while: the update is tried again, and the install then goes ahead with
  # the lists that did come.
  local tries=0
  until $sudo apt-get update -qq; do
    tries=$((tries + 1))
    if [ "$tries" -ge 3 ]; then
      echo "apt-get update failed $tries times; installing from the package lists at hand"
      break
    fi
    sleep 20
  done
  if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null; then
    # Without the i386 package lists Wine's 32-bit part cannot be installed:
    # the rest is, and the Windows tests then run on the 64-bit build under
    # wine64.
    [[ " $missing " == *":i386"* ]] || return 1
    local rest=() package
    for package in $missing; do
      [[ $package == *:i386 ]] || rest+=("$package")
    done
    echo "Installing without the 32-bit packages: ${rest[*]}"
    [ ${#rest[@]} -eq 0 ] ||
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${rest[@]}" >/dev/null
  fi
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

# Configures a build folder when it has not been configured with these very
# arguments: a changed option, compiler or toolchain file then takes effect
# (--fresh starts from an empty cache, so no value of the old one lingers).
# The arguments last used are kept in the folder.
configure() {  # folder, extra cmake arguments...
  local dir=$1 stamp wanted
  shift
  stamp=$dir/build-sh-cmake-arguments
  wanted=$(printf '%s\n' -G Ninja "$@")
  if [ -f "$dir/build.ninja" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
    return 0
  fi
  rm -f "$stamp"
  quietly cmake --fresh -S "$ROOT" -B "$dir" -G Ninja "$@" && printf '%s\n' "$wanted" >"$stamp"
}

# Each step is chained with &&: under quietly these run as the condition of
# an `||`, where `set -e` would not stop them at a failed step.
build_native() { configure build -DCMAKE_BUILD_TYPE=Release && ninja -C build -j"$JOBS" "$@"; }
build_sanitize() {
  configure build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGREP_SANITIZE=ON &&
    ninja -C build-sanitize -j"$JOBS" "$@"
}
build_fuzz() {  # only the harnesses: nothing else of this build is run
  configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGREP_FUZZ=ON -DGREP_TESTS=OFF \
    -DCMAKE_CXX_COMPILER=clang++ &&
    ninja -C build-fuzz -j"$JOBS" regex_fuzzer literal_fuzzer catalogue_fuzzer \
      command_line_fuzzer wildcard_fuzzer
}
build_windows() {
  configure build-windows -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
    ${GTEST_SOURCE:+-DGREP_GTEST_SOURCE="$GTEST_SOURCE"} &&
    ninja -C build-windows -j"$JOBS" "$@"
}
build_windows64() {
  configure build-windows64 -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" \
    ${GTEST_SOURCE:+-DGREP_GTEST_SOURCE="$GTEST_SOURCE"} &&
    ninja -C build-windows64 -j"$JOBS" "$@"
}

# Whether this machine runs 32-bit programs: the 32-bit Wine loader needs a
# kernel that can, and some kernels are built without it.
runs_32bit_programs() {
  # Wine's 32-bit loader comes with wine32:i386; without it `wine --version`
  # still answers (through wine64), but no 32-bit program runs.
  [ -x /usr/lib/wine/wine ] && wine --version >/dev/null 2>&1
}

# The tests that a sanitizer build runs too but that find nothing there that
# the native build has not found: installing and packing, the comparison with
# Python's re, the checks of this script and of the folder layers.
NOT_UNDER_SANITIZERS='^(release_archive|install_layout|manual_page|regex_vs_python|build_script|folder_layers)$'

run_tests() {  # folder, ctest arguments...
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$JOBS" "$@")
}

# One Wine server serves every Windows program of the test run, so that Wine
# does not start anew for each of them. It is ended after the Windows tests,
# or when the script ends before them.
WINE_SERVER=""
start_wine() {  # wine loader, wineserver
  mkdir -p "$WINEPREFIX"
  WINE_SERVER=$2
  "$WINE_SERVER" -p >/dev/null 2>&1 || true
  "$1" wineboot -i >/dev/null 2>&1 || true
}
stop_wine() {
  [ -z "$WINE_SERVER" ] || "$WINE_SERVER" -k >/dev/null 2>&1 || true
  WINE_SERVER=""
}

# Runs a stage of the test command and notes how long it took.
STAGE_TIMES=""
stage() {  # name, command...
  local name=$1 started status=0
  shift
  echo "== $name"
  started=$(date +%s)
  "$@" || status=$?
  STAGE_TIMES+=$(printf '%5d s  %s%s' $(($(date +%s) - started)) "$name" \
                 "$([ "$status" -eq 0 ] || echo ", failed")")$'\n'
  return "$status"
}
on_test_exit() {
  stop_wine
  show_stage_times
}
show_stage_times() {
  echo "== time of each stage"
  printf '%s' "$STAGE_TIMES"
  printf '%5d s  in all\n' $(($(date +%s) - TEST_STARTED))
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
    TEST_STARTED=$(date +%s)
    trap on_test_exit EXIT
    install_missing all
    GTEST_SOURCE=$(gtest_source)
    # A build that fails ends the run (set -e); a test that fails is noted.
    stage "build: native" build_native
    stage "build: sanitizers" build_sanitize
    stage "build: fuzzing harnesses" build_fuzz
    if runs_32bit_programs; then
      stage "build: Windows" build_windows
    else
      install_missing all win64
      # The 32-bit program is built, but its tests could not run here.
      stage "build: Windows, grep.exe only" build_windows grep catalogue manual_text
      stage "build: Windows 64-bit" build_windows64
    fi
    status=0
    stage "tests: native" run_tests build || status=1
    stage "tests: sanitizers" run_tests build-sanitize -E "$NOT_UNDER_SANITIZERS" || status=1
    if runs_32bit_programs; then
      start_wine wine wineserver
      stage "tests: Windows, under Wine" run_tests build-windows || status=1
      stop_wine
    else
      echo "== This machine cannot run 32-bit programs, so neither Wine's 32-bit loader nor"
      echo "   build-windows/grep.exe can run here: the Windows tests run on the 64-bit"
      echo "   Windows build (build-windows64) under wine64 instead."
      export WINEPREFIX=$ROOT/build-wine-prefix64
      if [ -x /usr/lib/wine/wineserver64 ]; then
        start_wine /usr/lib/wine/wine64 /usr/lib/wine/wineserver64
      else
        start_wine /usr/lib/wine/wine64 wineserver
      fi
      stage "tests: Windows 64-bit, under wine64" run_tests build-windows64 || status=1
      stop_wine
    fi
    stage "fuzzing: each harness's corpus and a fixed-seed run" \
      fuzz/run_fuzzers.sh build-fuzz check || status=1
    exit $status
    ;;
  help | -h | --help) show_help ;;
  *)
    echo "Unknown command: $1" >&2
    show_help >&2
    exit 2
    ;;
esac
