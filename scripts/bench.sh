#!/usr/bin/env bash
# The benchmarks of docs/performance.md, one command per figure.
#
#   scripts/bench.sh [STEP...]          (default: build micro native plot)
#
#   build      configures and builds the preset "bench" (build/bench)
#   micro      the Google Benchmark micro benchmarks (bench/)
#   native     chimewell_bench: service beside floor at 1,000 / 10,000 / 100,000
#              reminders -> build/bench-results/native.tsv and native.txt
#   wine       the same with the Windows build under Wine, in a Wine prefix of
#              its own (.deps/bench) -> build/bench-results/wine.tsv and wine.txt
#   linearity  instructions per reminder of a rebuild at 10,000 and 100,000
#              reminders, counted by callgrind (noise-free) -> linearity.txt
#   plot       docs/performance.png from native.tsv (gnuplot, bench/plot.gp)
#
# Environment: CHIMEWELL_JOBS (build jobs, default 2); CHIMEWELL_BENCH_ARGS
# (extra arguments for chimewell_bench, for example "--rounds 50").
#
# Each run works in private folders: its own window bus (XDG_RUNTIME_DIR) and
# Documents folder, removed at the end, so a service or calendar of the user
# is neither seen nor touched. Installs nothing: run scripts/setup.sh native
# (or windows, for the wine step) first.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

JOBS=${CHIMEWELL_JOBS:-2}
OUT=$ROOT/build/bench-results
BENCH_BUILD=$ROOT/build/bench
WINDOWS_BUILD=$ROOT/build/bench-windows
read -r -a EXTRA <<<"${CHIMEWELL_BENCH_ARGS:-}"

log() { printf '[bench] %s\n' "$*" >&2; }

build() {
  cmake --preset bench >/dev/null
  cmake --build --preset bench -j"$JOBS"
}

need_build() {
  [[ -x $BENCH_BUILD/bench/chimewell_bench && -x $BENCH_BUILD/bench/chimewell_microbench ]] || build
}

# Runs "$@" with a private window bus and Documents folder.
in_private_folders() {
  local runtime documents rc=0
  runtime=$(mktemp -d /tmp/chimewell-bench-run.XXXXXX)
  documents=$(mktemp -d /tmp/chimewell-bench-docs.XXXXXX)
  XDG_RUNTIME_DIR=$runtime XDG_DOCUMENTS_DIR=$documents "$@" || rc=$?
  rm -rf "$runtime" "$documents"
  return "$rc"
}

micro() {
  need_build
  mkdir -p "$OUT"
  "$BENCH_BUILD/bench/chimewell_microbench" --benchmark_out="$OUT/micro.json" --benchmark_out_format=json |
    tee "$OUT/micro.txt"
}

native() {
  need_build
  mkdir -p "$OUT"
  in_private_folders "$BENCH_BUILD/bench/chimewell_bench" --out "$OUT/native.tsv" "${EXTRA[@]}" |
    tee "$OUT/native.txt"
}

wine_step() {
  cmake -S "$ROOT" -B "$WINDOWS_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw_w64.cmake" -DCHIMEWELL_WERROR=ON >/dev/null
  cmake --build "$WINDOWS_BUILD" -j"$JOBS" --target chimewell chimewell_bench
  mkdir -p "$OUT"
  (
    # A prefix of its own: the Wine tests point the shared prefix's Documents
    # folder at their own folders while they run.
    export CHIMEWELL_DEPS=$ROOT/.deps/bench
    # shellcheck source=scripts/wine_env.sh
    source "$ROOT/scripts/wine_env.sh"
    chimewell_wine_prefix
    chimewell_wineserver_start
    trap chimewell_wineserver_stop EXIT
    documents=$(mktemp -d /tmp/chimewell-bench-docs.XXXXXX)
    chimewell_wine_set_documents "$documents"
    # Wine's own messages on standard error are left out; the table is on
    # standard output. The TSV is written through Wine's Z: drive.
    CHIMEWELL_WINE_TIMEOUT=3600 chimewell_wine "$WINDOWS_BUILD/bench/chimewell_bench.exe" \
      --out "Z:${OUT//\//\\}\\wine.tsv" "${EXTRA[@]}" 2>/dev/null | tr -d '\r' | tee "$OUT/wine.txt"
    rm -rf "$documents"
  )
}

# Instructions of the service per rebuild (the clock-change notice), per
# reminder, at two sizes: a linear rebuild gives the same figure at both.
linearity() {
  need_build
  command -v valgrind >/dev/null || { log "valgrind not found: run scripts/setup.sh native"; return 1; }
  mkdir -p "$OUT"
  local rounds=1 size file total calls
  rm -f "$OUT"/callgrind.rebuild.*
  in_private_folders "$BENCH_BUILD/bench/chimewell_bench" --sizes 10000,100000 --rounds "$rounds" \
    --warmup 0 --launcher "$(command -v valgrind) -q --tool=callgrind --toggle-collect=*WMTimeChange* \
    --callgrind-out-file=$OUT/callgrind.rebuild.%p" >/dev/null
  {
    printf 'size\trebuilds\tinstructions_per_rebuild\tinstructions_per_reminder\n'
    # The bench runs the sizes in order, so the files sort by process id.
    for file in $(ls "$OUT"/callgrind.rebuild.* | sort -t. -k3 -n); do
      size=$(sed -n 's/^cmd: .*bench-[0-9]*-\([0-9]*\)|.*/\1/p' "$file")
      total=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$file")
      # One notice per round, and one more after the last round.
      calls=$((rounds + 1))
      printf '%s\t%s\t%s\t%s\n' "$size" "$calls" "$((total / calls))" \
        "$(awk -v t="$total" -v c="$calls" -v s="$size" 'BEGIN { printf "%.1f", t / c / s }')"
    done
  } | tee "$OUT/linearity.txt"
}

plot() {
  command -v gnuplot >/dev/null || { log "gnuplot not found: run scripts/setup.sh native"; return 1; }
  [[ -f $OUT/native.tsv ]] || native
  gnuplot -e "results='$OUT/native.tsv'; output='$ROOT/docs/performance.png'" "$ROOT/bench/plot.gp"
  log "wrote docs/performance.png"
  if [[ -f $OUT/wine.tsv ]]; then
    gnuplot -e "results='$OUT/wine.tsv'; output='$ROOT/docs/performance_wine.png'; title_suffix=' (Windows build under Wine)'" \
      "$ROOT/bench/plot.gp"
    log "wrote docs/performance_wine.png"
  fi
}

STEPS=("$@")
((${#STEPS[@]})) || STEPS=(build micro native plot)
for step in "${STEPS[@]}"; do
  case $step in
    build) build ;;
    micro) micro ;;
    native) native ;;
    wine) wine_step ;;
    linearity) linearity ;;
    plot) plot ;;
    -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) log "unknown step '$step' (build, micro, native, wine, linearity, plot)"; exit 2 ;;
  esac
done
