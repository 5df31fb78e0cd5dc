#!/usr/bin/env bash
# The project's test command: installs what is missing, then builds and tests
# every target.
#
#   scripts/test.sh [STEP...]
#
# STEP: setup, native, sanitize, fuzz, windows (default: all of them, in that order).
# Each of native, sanitize and windows builds its CMake preset, then runs its
# tests. A target that can not be tested (its preset is missing, or a program
# it should run was not built) fails the run: green means every target ran.
# fuzz builds the fuzz targets (preset fuzz) and runs each for a
# bounded time (scripts/fuzz.sh); a crash fails the run.
#
# Environment: CHIMEWELL_JOBS (build jobs, default 2), CHIMEWELL_FUZZ_SECONDS
# (run time of each fuzz target, default 60).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

JOBS=${CHIMEWELL_JOBS:-2}
T_START=$SECONDS
CURRENT_STEP=
WINE_UP=0

# --- helpers ------------------------------------------------------------------

banner() { printf '\n===== [%4ds] %s =====\n' "$((SECONDS - T_START))" "$*"; }

# Runs "$@" as the step named $1, with banners giving the elapsed seconds.
step() {
  local name=$1 t0=$SECONDS
  shift
  CURRENT_STEP=$name
  banner "$name"
  "$@"
  banner "$name: done in $((SECONDS - t0)) s"
  CURRENT_STEP=
}

on_exit() {
  local rc=$?
  if ((WINE_UP)); then chimewell_wineserver_stop; fi
  if ((rc != 0)) && [[ -n $CURRENT_STEP ]]; then
    banner "FAILED: $CURRENT_STEP (exit code $rc)"
  elif ((rc == 0)); then
    banner "all steps passed"
  fi
  exit "$rc"
}
trap on_exit EXIT

# require_preset KIND NAME: fails unless CMakePresets.json has a KIND
# (configure, build, test) preset called NAME.
require_preset() {
  if ! cmake --list-presets="$1" 2>/dev/null | grep -q "^ *\"$2\""; then
    echo "no $1 preset '$2' in CMakePresets.json: target '$2' can not be tested" >&2
    return 1
  fi
}

# require_files FILE...: fails naming the first file that is missing.
require_files() {
  local file
  for file in "$@"; do
    if [[ ! -f $file ]]; then
      echo "$file is missing: the build did not make it" >&2
      return 1
    fi
  done
}

configure_and_build() {
  local preset=$1
  require_preset configure "$preset"
  require_preset build "$preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$JOBS"
}

run_ctest() {
  require_preset test "$1"
  # A run that finds no test fails: a green result must mean tests ran.
  ctest --preset "$1" --no-tests=error
}

# Sets up the Wine prefix and keeps a wineserver up until this script ends.
wine_up() {
  ((WINE_UP)) && return 0
  # shellcheck source=scripts/wine-env.sh
  source "$ROOT/scripts/wine-env.sh"
  chimewell_wine_prefix
  chimewell_wineserver_start
  WINE_UP=1
  # One program stays on the prefix's desktop for the whole run. Without it the
  # desktop closes a second after each test's last program, and the desktop
  # process that the next test starts inherits that test's output pipes: the
  # test then waits a second for them to close. Ended with the wineserver.
  HOME=$CHIMEWELL_WINE_HOME timeout -k 10 "$CHIMEWELL_WINESERVER_LINGER" \
    wine notepad.exe </dev/null >/dev/null 2>&1 &
}

# The Windows programs of the build tree "$1" need no DLL beyond those Windows
# ships, and only the service runs without a console window.
check_windows_programs() {
  local tree=$1 exe subsystem dll bad=0
  local -A expected=([src/host/chimewell.exe]="Windows GUI" [tools/chimectl/chimectl.exe]="Windows CUI")
  for exe in "${!expected[@]}"; do
    local dump
    dump=$(x86_64-w64-mingw32-objdump -p "$tree/$exe")
    subsystem=$(sed -n 's/^Subsystem[[:space:]]*[0-9a-f]*[[:space:]]*(\(.*\))$/\1/p' <<<"$dump")
    if [[ $subsystem != "${expected[$exe]}" ]]; then
      echo "$exe: subsystem '$subsystem', expected '${expected[$exe]}'"
      bad=1
    fi
    while read -r dll; do
      case ${dll^^} in
        KERNEL32.DLL | USER32.DLL | SHELL32.DLL | ADVAPI32.DLL | GDI32.DLL | OLE32.DLL | MSVCRT.DLL) ;;
        *) echo "$exe: imports $dll, which Windows does not ship"; bad=1 ;;
      esac
    done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
  done
  return "$bad"
}

# --- steps --------------------------------------------------------------------

setup() { bash "$ROOT/scripts/setup.sh" all; }

build_native() { configure_and_build ci; }
test_native() { run_ctest ci; }

build_sanitize() { configure_and_build sanitize; }
test_sanitize() { run_ctest sanitize; }

build_fuzz() { configure_and_build fuzz; }
test_fuzz() { bash "$ROOT/scripts/fuzz.sh"; }

# What the Wine tests run.
WINDOWS_PROGRAMS=(build/windows/src/host/chimewell.exe build/windows/tools/chimectl/chimectl.exe
  build/windows/src/platform/win32_backend_test.exe build/windows/src/today/due_today_table.exe
  build/windows/src/platform/version_info.exe build/windows/examples/sample_host.exe
  build/wine/tests/e2e/wine_e2e_test)

# The release zip (preset release: configure, build, package); the Wine tests
# check its listing and run the programs unzipped from it.
RELEASE_ZIP=build/release/chimewell-$(sed -n 's/^project(Chimewell VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-win64.zip

build_release() {
  require_preset workflow release
  CMAKE_BUILD_PARALLEL_LEVEL=$JOBS cmake --workflow --preset release
  require_files "$RELEASE_ZIP" build/release/src/host/chimewell.exe
  cmake -E tar tf "$RELEASE_ZIP"
  echo "$RELEASE_ZIP: $(stat -c %s "$RELEASE_ZIP") bytes; released chimewell.exe:" \
    "$(stat -c %s build/release/src/host/chimewell.exe) bytes"
}

build_windows() {
  configure_and_build windows
  check_windows_programs build/windows
  build_release
  check_windows_programs build/release
  # The native harness that runs the Windows programs under Wine.
  configure_and_build wine
}

test_windows() {
  require_files "${WINDOWS_PROGRAMS[@]}" "$RELEASE_ZIP"
  wine_up
  run_ctest windows
}

# --- main ---------------------------------------------------------------------

STEPS=("$@")
((${#STEPS[@]})) || STEPS=(setup native sanitize fuzz windows)

for s in "${STEPS[@]}"; do
  case $s in
    setup) step "setup" setup ;;
    native) step "build native (preset ci)" build_native
            step "test native (preset ci)" test_native ;;
    sanitize) step "build sanitize" build_sanitize
              step "test sanitize" test_sanitize ;;
    fuzz) step "build fuzz" build_fuzz
          step "run fuzz targets" test_fuzz ;;
    windows) step "build windows" build_windows
             step "test windows" test_windows ;;
    *) echo "unknown step '$s' (setup, native, sanitize, fuzz, windows)" >&2; exit 2 ;;
  esac
done
