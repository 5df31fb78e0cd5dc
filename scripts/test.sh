#!/usr/bin/env bash
# The project's test command: installs what is missing, then builds and tests
# every target.
#
#   scripts/test.sh [STEP...] [--repeat N] [--busy]
#
# STEP: setup, native, sanitize, windows, fuzz (default: all of them, in that order).
# Each of native, sanitize and windows builds its CMake preset, then runs its
# tests, as many at a time as there are build jobs. A target that can not be
# tested (its preset is missing, or a program it should run was not built)
# fails the run: green means every target ran. fuzz builds the fuzz targets
# (preset fuzz) and runs each for a bounded time, two at a time
# (scripts/fuzz.sh); a crash fails the run. windows builds the Windows
# programs once: the tests run them under Wine, and their package is the
# release zip; the Wine harness is part of the native tree (preset ci).
#
# When more than one step runs, the tests of a step run beside the next
# step's build, since much of their time is spent waiting on the programs they
# start, and the last step's tests (the fuzz targets by default) beside the
# tests of the step before. The output of tests run beside is printed when
# they are over.
#
# The flake check: --repeat N runs the tests of each STEP N times back to
# back (after one build) and prints each run's result; --busy keeps every
# core of the machine busy with a CPU-bound loop while tests run. For
# example: scripts/test.sh windows --repeat 10 --busy
#
# Environment: CHIMEWELL_JOBS (build jobs and tests at a time, default: the
# number of cores), CHIMEWELL_FUZZ_SECONDS (run time of each fuzz target,
# default 60).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

JOBS=${CHIMEWELL_JOBS:-$(nproc)}
T_START=$SECONDS
CURRENT_STEP=
WINE_UP=0
BUSY_PIDS=()
STEP_TIMES=()
# The tests running beside a build: their step's name, process, output file.
BESIDE_NAME=
BESIDE_PID=
BESIDE_LOG=

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
  STEP_TIMES+=("$(printf '%5d s  %s' "$((SECONDS - t0))" "$name")")
  CURRENT_STEP=
}

print_step_times() {
  ((${#STEP_TIMES[@]})) || return 0
  printf '\nTime of each step:\n'
  printf '  %s\n' "${STEP_TIMES[@]}"
}

# kill_tree PID: ends PID and every process it started.
kill_tree() {
  local child
  for child in $(pgrep -P "$1" || true); do kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}

on_exit() {
  local rc=$?
  if [[ -n $BESIDE_PID ]]; then
    echo "stopping the tests of '$BESIDE_NAME' (output: $BESIDE_LOG)"
    kill_tree "$BESIDE_PID"
    wait "$BESIDE_PID" 2>/dev/null || true
  fi
  stop_busy
  if ((WINE_UP)); then chimewell_wineserver_stop; fi
  print_step_times
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
  ctest --preset "$1" --no-tests=error -j"$JOBS"
}

# --busy: one CPU-bound loop per core, at the tests' own priority, until the
# tests of the step are over.
start_busy() {
  ((BUSY)) || return 0
  local core
  for ((core = 0; core < $(nproc); core++)); do
    bash -c 'while :; do :; done' &
    BUSY_PIDS+=($!)
  done
  echo "busy: ${#BUSY_PIDS[@]} CPU-bound loops running"
}
stop_busy() {
  ((${#BUSY_PIDS[@]})) || return 0
  kill "${BUSY_PIDS[@]}" 2>/dev/null || true
  wait "${BUSY_PIDS[@]}" 2>/dev/null || true
  BUSY_PIDS=()
}

# test_step NAME FUNCTION: runs the tests of a step, REPEAT times with
# --repeat, each run reported; fails when any run failed.
test_step() {
  local name=$1 run=$2 i passed=0 rc t0
  start_busy
  if ((REPEAT == 1)); then
    step "$name" "$run"
    stop_busy
    return 0
  fi
  local results=()
  for ((i = 1; i <= REPEAT; i++)); do
    t0=$SECONDS
    rc=0
    CURRENT_STEP="$name, run $i of $REPEAT"
    banner "$CURRENT_STEP"
    # Called in a test of its outcome, the function runs without errexit:
    # each test function chains its commands with &&.
    "$run" || rc=$?
    results+=("$(printf 'run %2d: %s in %d s' "$i" "$( ((rc == 0)) && echo passed || echo "FAILED (exit code $rc)")" "$((SECONDS - t0))")")
    ((rc == 0)) && passed=$((passed + 1))
  done
  stop_busy
  banner "$name: $REPEAT runs$( ((BUSY)) && echo ' on a busy machine')"
  printf '  %s\n' "${results[@]}"
  STEP_TIMES+=("$(printf '%5s    %s' "" "$name: $passed of $REPEAT runs passed")")
  CURRENT_STEP="$name (repeated)"
  ((passed == REPEAT))
}

# beside NAME FUNCTION: starts the tests of a step in the background, after
# the tests started before are over; join_beside waits for them.
beside() {
  join_beside
  BESIDE_NAME=$1
  BESIDE_LOG=$(mktemp "${TMPDIR:-/tmp}/chimewell-test.XXXXXX")
  banner "$1: started beside the next build (output when over)"
  ( T0=$SECONDS
    set +e
    ( set -e; "$2" )
    rc=$?
    echo "$((SECONDS - T0))" >"$BESIDE_LOG.seconds"
    exit "$rc" ) >"$BESIDE_LOG" 2>&1 &
  BESIDE_PID=$!
}

join_beside() {
  [[ -n $BESIDE_PID ]] || return 0
  local rc=0 name=$BESIDE_NAME seconds
  wait "$BESIDE_PID" || rc=$?
  BESIDE_PID=
  seconds=$(cat "$BESIDE_LOG.seconds" 2>/dev/null || echo "?")
  banner "$name (ran beside the builds)"
  cat "$BESIDE_LOG"
  rm -f "$BESIDE_LOG" "$BESIDE_LOG.seconds"
  banner "$name: done in $seconds s"
  STEP_TIMES+=("$(printf '%5s s  %s (beside the builds)' "$seconds" "$name")")
  if ((rc != 0)); then
    CURRENT_STEP=$name
    return "$rc"
  fi
}

# Sets up the Wine prefix and keeps a wineserver up until this script ends.
wine_up() {
  ((WINE_UP)) && return 0
  # shellcheck source=scripts/wine_env.sh
  source "$ROOT/scripts/wine_env.sh"
  chimewell_wine_prefix && chimewell_wineserver_start || return 1
  WINE_UP=1
  # One program stays on the prefix's desktop for the whole run. Without it the
  # desktop closes a second after each test's last program, and the desktop
  # process that the next test starts inherits that test's output pipes: the
  # test then waits a second for them to close. Ended with the wineserver.
  HOME=$CHIMEWELL_WINE_HOME "${CHIMEWELL_WINE_LAUNCHER[@]}" wine notepad.exe </dev/null >/dev/null 2>&1 &
  # Should this script be killed without its exit trap, a watchdog ends the
  # prefix's programs and server.
  local script=$$
  (while kill -0 "$script" 2>/dev/null; do sleep 5; done
   chimewell_wineserver_stop) </dev/null >/dev/null 2>&1 &
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

# What the Wine tests run: the Windows build, its package and the harness in
# the native tree.
VERSION=$(sed -n 's/^project(Chimewell VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
RELEASE_ZIP=build/windows/chimewell-$VERSION-win64.zip
WINDOWS_PROGRAMS=(build/windows/src/host/chimewell.exe build/windows/tools/chimectl/chimectl.exe
  build/windows/src/platform/win32_backend_test.exe build/windows/testing/due_today_table.exe
  build/windows/src/platform/version_info.exe build/windows/examples/sample_host.exe
  build/ci/tests/e2e/wine_e2e_test)

build_windows() {
  configure_and_build windows
  check_windows_programs build/windows
  # The release zip: the same programs, stripped (the release workflow makes
  # it the same way).
  cpack --preset windows
  require_files "$RELEASE_ZIP"
  cmake -E tar tf "$RELEASE_ZIP"
  echo "$RELEASE_ZIP: $(stat -c %s "$RELEASE_ZIP") bytes"
  # The native harness that runs the Windows programs under Wine; built with
  # the native tree, so a no-op after the native step.
  require_preset configure ci
  cmake --preset ci >/dev/null
  cmake --build --preset ci -j"$JOBS" --target wine_e2e_test
}

test_windows() {
  require_files "${WINDOWS_PROGRAMS[@]}" "$RELEASE_ZIP" && wine_up && run_ctest windows
}

# --- main ---------------------------------------------------------------------

STEPS=()
REPEAT=1
BUSY=0
while (($#)); do
  case $1 in
    --repeat)
      [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || { echo "--repeat needs a number of runs" >&2; exit 2; }
      REPEAT=$2
      shift 2 ;;
    --busy) BUSY=1; shift ;;
    -h | --help) trap - EXIT; awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) STEPS+=("$1"); shift ;;
  esac
done
((${#STEPS[@]})) || STEPS=(setup native sanitize windows fuzz)

# The build and the tests of each step.
declare -A BUILD_OF=([native]=build_native [sanitize]=build_sanitize [fuzz]=build_fuzz
  [windows]=build_windows)
declare -A BUILD_NAME=([native]="build native (preset ci)" [sanitize]="build sanitize"
  [fuzz]="build fuzz" [windows]="build windows")
declare -A TESTS_OF=([native]=test_native [sanitize]=test_sanitize [fuzz]=test_fuzz
  [windows]=test_windows)
declare -A TESTS_NAME=([native]="test native (preset ci)" [sanitize]="test sanitize"
  [fuzz]="run fuzz targets" [windows]="test windows")

for s in "${STEPS[@]}"; do
  case $s in
    setup | native | sanitize | fuzz | windows) ;;
    *) echo "unknown step '$s' (setup, native, sanitize, fuzz, windows)" >&2; exit 2 ;;
  esac
done

# Tests run beside the next build only in a plain run: the flake check
# repeats them alone.
BESIDE=0
((REPEAT == 1 && !BUSY)) && BESIDE=1
last=$((${#STEPS[@]} - 1))
for i in "${!STEPS[@]}"; do
  s=${STEPS[$i]}
  if [[ $s == setup ]]; then
    step "setup" setup
    continue
  fi
  step "${BUILD_NAME[$s]}" "${BUILD_OF[$s]}"
  # The Wine prefix and its server belong to this script, not to the tests.
  [[ $s == windows ]] && wine_up
  if ((BESIDE && i < last)); then
    beside "${TESTS_NAME[$s]}" "${TESTS_OF[$s]}"
  else
    test_step "${TESTS_NAME[$s]}" "${TESTS_OF[$s]}"
  fi
done
join_beside
