#!/usr/bin/env bash
# Runs each fuzz target of the "fuzz" preset for a bounded time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#   scripts/fuzz.sh --long MINUTES [TARGET...]
#
# SECONDS: run time of each target (default 60, or $CHIMEWELL_FUZZ_SECONDS).
# Targets run two at a time, each a single fuzzing process (no -jobs).
# --long MINUTES: a campaign, each target for MINUTES, one after another (the
# machine is shared), its corpus kept for the next run; a summary line per
# target goes to build/fuzz/campaign.txt.
# TARGET: json, command, launch, frame, salvage (default: all). Build first:
#   cmake --preset fuzz && cmake --build --preset fuzz
#
# Each target starts from the seed corpus in fuzz/corpus/<target>/ (read only)
# plus what earlier runs on this machine found (build/fuzz/corpus/<target>/).
# A crash, a sanitizer report, a broken property, a leak, an input slower than
# 10 s or more than 2 GB of memory fails the run; the input that did it is
# kept in build/fuzz/artifacts/ and can be replayed with
#   build/fuzz/fuzz/<target>_fuzzer build/fuzz/artifacts/<file>
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build/fuzz
LONG=0
if [[ ${1:-} == --long ]]; then
  [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: --long needs a number of minutes" >&2; exit 2; }
  LONG=1
  SECONDS_EACH=$(($2 * 60))
  shift 2
else
  SECONDS_EACH=${1:-${CHIMEWELL_FUZZ_SECONDS:-60}}
  shift || true
fi
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(json command launch frame salvage)

# Runs one target for SECONDS_EACH; its report goes to $BUILD/<target>.log.
fuzz_one() {
  local target=$1 binary=$BUILD/fuzz/${1}_fuzzer work=$BUILD/corpus/$1
  mkdir -p "$work"
  # -close_fd_mask=2: the service's trace goes to standard error and would
  # drown the fuzzer's own report, which libFuzzer keeps on a copy of it.
  # The frame reader's inputs are binary frames, the salvage's store files
  # (no words to suggest); the rest read commands.
  local dict=(-dict="$ROOT/fuzz/command.dict")
  [[ -f $ROOT/fuzz/$target.dict ]] && dict=(-dict="$ROOT/fuzz/$target.dict")
  [[ $target == salvage ]] && dict=()
  "$binary" "$work" "$ROOT/fuzz/corpus/$target" \
    -max_total_time="$SECONDS_EACH" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    "${dict[@]}" -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/$target-" >"$BUILD/$target.log" 2>&1
}

# Prints the outcome of a finished target; fails when it found something.
report() {
  local target=$1 status=$2 log=$BUILD/$1.log
  if ((status != 0)); then
    tail -n 60 "$log"
    echo "fuzz: $target FAILED (exit code $status); inputs kept in $BUILD/artifacts/" >&2
    return 1
  fi
  local runs speed coverage summary
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
  summary="fuzz: $target passed: ${runs:-?} executions (${speed:-?}/s), ${coverage:-cov: ?}, corpus $(ls "$BUILD/corpus/$target" | wc -l) inputs"
  echo "$summary"
  if ((LONG)); then echo "$(date -u +%FT%TZ) ${SECONDS_EACH} s $summary" >>"$BUILD/campaign.txt"; fi
}

mkdir -p "$BUILD/artifacts"
for target in "${TARGETS[@]}"; do
  [[ -x $BUILD/fuzz/${target}_fuzzer ]] ||
    { echo "fuzz: $BUILD/fuzz/${target}_fuzzer is not built (cmake --build --preset fuzz)" >&2; exit 2; }
done
# Each target is one fuzzing process on one core. A bounded run takes the
# targets two at a time, for the same seconds each; a campaign one at a time,
# leaving a core to the machine's owner.
AT_ONCE=2
((LONG)) && AT_ONCE=1
failed=0
for ((first = 0; first < ${#TARGETS[@]}; first += AT_ONCE)); do
  batch=("${TARGETS[@]:first:AT_ONCE}")
  pids=()
  for target in "${batch[@]}"; do
    echo "fuzz: $target for ${SECONDS_EACH} s"
    fuzz_one "$target" &
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    status=0
    wait "${pids[i]}" || status=$?
    report "${batch[i]}" "$status" || failed=1
  done
  ((failed == 0)) || exit 1
done
