#!/usr/bin/env bash
# Installs what Chimewell's builds and tests need on a Debian 12 machine.
#
#   scripts/setup.sh [PART...]     PART: all (default), native, windows,
#                                  or one step of windows: locale, sqlite, wineprefix
#
#   native      compilers, CMake, Ninja, GoogleTest, SQLite, sanitizer runtimes,
#               setpriv, tclsh, faketime, xz, the test locales (below); for
#               scripts/bench.sh Google Benchmark, gnuplot and valgrind; then
#               SQLite built from Debian's source into .deps/sqlite-native
#               (the feature set below, the same as the Windows build's)
#   windows     native + the mingw-w64 cross toolchain and Wine, then
#               locale (zh_CN.UTF-8 for the code-page tests under Wine,
#               fi_FI.UTF-8 for the trace's time separator),
#               sqlite (the same SQLite built for both targets, into
#               .deps/sqlite-native and .deps/sqlite-mingw) and
#               wineprefix (the test Wine prefix in .deps/wineprefix)
#
# Safe to run again: packages are checked with dpkg-query and installed only
# when missing (apt-get update runs only then), each SQLite build is skipped
# while its stamp (.deps/sqlite-*/chimewell-build.txt) matches the installed
# libsqlite3-dev's source and the feature set (and copied from the machine's
# cache, ~/.cache/chimewell, when another clone built it already), the locale is
# generated only when missing, and the Wine prefix is made once. Installing
# needs root; a run that finds everything in place needs neither root nor the
# network.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS=$ROOT/.deps

NATIVE_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev googletest
  libsqlite3-dev sqlite3
  clang libclang-rt-14-dev
  util-linux tcl faketime libfaketime xz-utils locales
  libbenchmark-dev gnuplot-nox valgrind
)
WINDOWS_PACKAGES=(mingw-w64 wine wine64 locales)
# Locales the tests run under: Wine takes a program's ANSI code page from
# LC_ALL, and the Wine tests run some programs under code page 936; the trace
# tests need a locale whose time separator is not ":" (Finnish: "12.30.00").
TEST_LOCALES=(zh_CN.UTF-8 fi_FI.UTF-8)

MINGW_CC=x86_64-w64-mingw32-gcc-posix
MINGW_AR=x86_64-w64-mingw32-ar

# Both SQLite builds get the feature set of Debian's own libsqlite3 build
# (debian/rules of the same source package), minus what a store file could
# turn against the service and the service never uses: run-time extension
# loading, and the full-text search modules (FTS3/FTS4 with their tokenizer
# interface, which hands a pointer taken from SQL to a call, and FTS5). The
# repair reads a damaged store's pages itself, so neither the recovery
# extension nor the page access is built in.
SQLITE_FEATURES=(
  -DSQLITE_THREADSAFE=1
  -DSQLITE_OMIT_LOAD_EXTENSION=1
  -DSQLITE_SECURE_DELETE
  -DSQLITE_ENABLE_COLUMN_METADATA
  -DSQLITE_ENABLE_RTREE=1
  -DSQLITE_SOUNDEX=1
  -DSQLITE_ENABLE_UNLOCK_NOTIFY
  -DSQLITE_OMIT_LOOKASIDE=1
  -DSQLITE_ENABLE_DBSTAT_VTAB
  -DSQLITE_ALLOW_ROWID_IN_VIEW
  -DSQLITE_ENABLE_UPDATE_DELETE_LIMIT=1
  -DSQLITE_ENABLE_MATH_FUNCTIONS
  -DSQLITE_LIKE_DOESNT_MATCH_BLOBS
  -DSQLITE_USE_URI=1
  -DSQLITE_MAX_SCHEMA_RETRY=25
  -DSQLITE_ENABLE_PREUPDATE_HOOK
  -DSQLITE_ENABLE_SESSION
  -DSQLITE_ENABLE_STMTVTAB
  -DSQLITE_MAX_VARIABLE_NUMBER=250000
)

SRC_LIST=/etc/apt/sources.list.d/chimewell-src

log() { printf '[setup] %s\n' "$*" >&2; }
die() { printf '[setup] error: %s\n' "$*" >&2; exit 1; }

need_root() {
  [[ $(id -u) -eq 0 ]] || die "$1 needs root (run: sudo $0 ${PARTS[*]})"
}

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# Prints the packages among "$@" that dpkg does not list as installed.
missing_packages() {
  local p
  for p in "$@"; do
    if [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null) != ii* ]]; then
      printf '%s\n' "$p"
    fi
  done
}

install_packages() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  if ((${#missing[@]} == 0)); then
    log "packages already installed: $*"
    return 0
  fi
  need_root "installing ${missing[*]}"
  log "installing: ${missing[*]}"
  local t0=$SECONDS
  apt_get update -qq
  # Wine runs headless without its recommended packages (fonts, sound and
  # GL plugins), so nothing is installed beyond the dependencies.
  apt_get install -y --no-install-recommends "${missing[@]}"
  log "installed in $((SECONDS - t0)) s"
}

# --- SQLite for both targets ------------------------------------------------

# Makes deb-src entries from the machine's own deb entries, in a file of their
# own, unless the machine already has some.
add_deb_src() {
  if grep -qsE '^[[:space:]]*(Types:.*deb-src|deb-src[[:space:]])' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; then
    return 0
  fi
  need_root "adding deb-src entries"
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    # Every deb stanza becomes a deb-src stanza, so the source of a package
    # that came from the updates or security suite is found as well.
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*(^|[[:space:]])deb([[:space:]]|$)/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
      /etc/apt/sources.list.d/debian.sources >"$SRC_LIST.sources.tmp"
    [[ -s $SRC_LIST.sources.tmp ]] || die "no deb stanza in /etc/apt/sources.list.d/debian.sources"
    mv "$SRC_LIST.sources.tmp" "$SRC_LIST.sources"
    log "added $SRC_LIST.sources"
  elif [[ -f /etc/apt/sources.list ]]; then
    sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list >"$SRC_LIST.list.tmp"
    [[ -s $SRC_LIST.list.tmp ]] || die "no deb line in /etc/apt/sources.list"
    mv "$SRC_LIST.list.tmp" "$SRC_LIST.list"
    log "added $SRC_LIST.list"
  else
    die "found neither /etc/apt/sources.list.d/debian.sources nor /etc/apt/sources.list"
  fi
}

# fetch_source DIR PACKAGE VERSION: downloads a Debian source package.
fetch_source() {
  local dir=$1 pkg=$2 version=$3
  add_deb_src
  # The download runs as root: apt's sandbox user may not write into DIR.
  local get=(apt_get -o APT::Sandbox::User=root source --download-only "$pkg=$version")
  (cd "$dir" && "${get[@]}" >/dev/null 2>&1) && return 0
  # No or stale source lists yet.
  need_root "apt-get update"
  apt_get update -qq
  (cd "$dir" && "${get[@]}") || die "could not download the source of $pkg $version"
}

# verify_source DIR PACKAGE VERSION: true when DIR holds every file of the
# source package with the size and SHA-256 that apt's index lists. The index
# came with the archive's Release file, whose signature apt checked against
# the Debian archive keyring, so this check needs neither root nor the network
# and holds for files of an earlier run as much as for a fresh download.
verify_source() {
  local dir=$1 pkg=$2 version=$3 uris line name size hash checked=0 empty
  # Asked from an empty folder: apt leaves out the files it finds in place.
  empty=$(mktemp -d) || return 1
  uris=$(cd "$empty" && apt-get source --print-uris "$pkg=$version" 2>/dev/null)
  local listed=$?
  rmdir "$empty"
  ((listed == 0)) || return 1
  while read -r line; do
    [[ $line =~ ^\'[^\']+\'\ ([^ ]+)\ ([0-9]+)\ SHA256:([0-9a-f]{64})$ ]] || continue
    name=${BASH_REMATCH[1]} size=${BASH_REMATCH[2]} hash=${BASH_REMATCH[3]}
    [[ -f $dir/$name ]] || return 1
    if [[ $(stat -c %s "$dir/$name") != "$size" || $(sha256sum <"$dir/$name") != "$hash  -" ]]; then
      log "$name does not match apt's index"
      return 1
    fi
    checked=$((checked + 1))
  done <<<"$uris"
  # No SHA-256 line at all (an apt that prints another digest) is no check.
  ((checked > 0))
}

# The amalgamation's source tree, unpacked and generated once per run of
# setup_sqlite; removed again when the libraries are built.
SQLITE_TREE=

# What one target adds to SQLITE_FEATURES. glibc: SQLite's date functions
# convert with localtime(), which reloads the time zone (a stat of
# /etc/localtime when TZ is unset) at every call, a few calls for every
# reminder of a rebuild; localtime_r does not, and the service reloads the
# zone itself once per due-today statement.
SQLITE_NATIVE_FLAGS=(-DHAVE_LOCALTIME_R=1)
# Windows, both measured under Wine at 100,000 reminders:
# - SQLite reads and writes a page with an OVERLAPPED offset, which under
#   Wine costs a round trip to the wineserver for every page (the store is
#   read twice per rebuild); a seek and a plain read do not. Same bytes, same
#   errors. Rebuild 270 -> 181 ms.
# - SQLite's memory from a heap of its own (SQLITE_WIN32_MALLOC) that keeps
#   its first 32 MB committed: the C runtime's heap decommits what is freed,
#   so every page of the page cache was faulted in again at every unit of
#   work. Page faults of the service 70,000 -> 11,000 in 8 s of the bench;
#   rebuild 167 -> 130 ms. Committed is not resident: pages count towards
#   the working set once touched, as they did before.
SQLITE_WINDOWS_FLAGS=(-DSQLITE_WIN32_NO_OVERLAPPED -DSQLITE_WIN32_MALLOC -DSQLITE_WIN32_HEAP_INIT_SIZE=33554432)

# sqlite_stamp [FLAG...]: the stamp an SQLite build records: the source it
# came from, its features and the target's own flags.
sqlite_stamp() {
  printf '%s %s %s\n' "$(dpkg-query -W -f='${source:Package}' libsqlite3-dev)" \
    "$(dpkg-query -W -f='${source:Version}' libsqlite3-dev)" "${SQLITE_FEATURES[*]}${*:+ $*}"
}

# sqlite_built OUT [FLAG...]: true when OUT holds a library with the current stamp.
sqlite_built() {
  [[ -f $1/lib/libsqlite3.a && -f $1/include/sqlite3.h ]] &&
    [[ $(cat "$1/chimewell-build.txt" 2>/dev/null) == "$(sqlite_stamp "${@:2}")" ]]
}

# Unpacks Debian's sqlite3 source (fetching it when needed) and generates the
# amalgamation, once.
sqlite_amalgamation() {
  [[ -n $SQLITE_TREE && -f $SQLITE_TREE/sqlite3.c ]] && return 0
  command -v tclsh >/dev/null || die "tclsh not found: run '$0 native'"
  local src_pkg version upstream
  src_pkg=$(dpkg-query -W -f='${source:Package}' libsqlite3-dev)
  version=$(dpkg-query -W -f='${source:Version}' libsqlite3-dev)
  upstream=${version%%-*}
  upstream=${upstream#*:}
  local dl=$DEPS/sqlite-src
  local dsc=$dl/${src_pkg}_${version#*:}.dsc
  local tree=$dl/$src_pkg-$upstream
  # Every file is checked against apt's signed index (verify_source) before it
  # is unpacked; dpkg-source then checks the archives against the .dsc's own
  # checksums (and the .dsc's signature too, where the debian-keyring package
  # is installed; without it, it warns and goes on) and applies Debian's
  # patches, the security fixes among them, so this is the same code as the
  # native library. Files from an earlier, broken or altered download are
  # fetched again.
  rm -rf "$tree"
  if [[ ! -f $dsc ]] || ! verify_source "$dl" "$src_pkg" "$version" ||
      ! dpkg-source -x "$dsc" "$tree" >/dev/null 2>&1; then
    rm -rf "$dl"
    mkdir -p "$dl"
    fetch_source "$dl" "$src_pkg" "$version"
    verify_source "$dl" "$src_pkg" "$version" ||
      die "the source of $src_pkg $version does not match apt's index"
    rm -rf "$tree"
    dpkg-source -x "$dsc" "$tree" >/dev/null ||
      die "dpkg-source could not check or unpack $dsc"
  fi

  # The amalgamation is generated on the build machine: ./configure for the
  # host, then only the sqlite3.c target (needs tclsh). Feature flags given to
  # configure shape the generated parser (UPDATE ... LIMIT, for one).
  log "generating the SQLite $upstream amalgamation"
  (cd "$tree" &&
   CFLAGS="-O2 ${SQLITE_FEATURES[*]}" ./configure --disable-load-extension >configure.log 2>&1 &&
   make -j"$(nproc)" sqlite3.c >make.log 2>&1) ||
    die "generating sqlite3.c failed: see $tree/configure.log and $tree/make.log"
  SQLITE_TREE=$tree
}

# build_sqlite OUT CC AR WHAT [FLAG...]: compiles the amalgamation with CC into
# OUT/lib/libsqlite3.a, with the headers in OUT/include, and stamps OUT.
# Skipped while OUT carries the current stamp.
build_sqlite() {
  local out=$1 cc=$2 ar=$3 what=$4 flags=("${@:5}")
  command -v "$cc" >/dev/null || die "$cc not found: run '$0 windows'"
  sqlite_amalgamation
  local t0=$SECONDS tree=$SQLITE_TREE tmp=$out.tmp
  log "compiling SQLite for $what with $cc"
  rm -rf "$tmp"
  mkdir -p "$tmp/lib" "$tmp/include"
  cp "$tree/sqlite3.h" "$tmp/include/"
  "$cc" -O2 "${SQLITE_FEATURES[@]}" "${flags[@]}" -I"$tmp/include" -c "$tree/sqlite3.c" -o "$tmp/sqlite3.o"
  "$ar" rcs "$tmp/lib/libsqlite3.a" "$tmp/sqlite3.o"
  rm "$tmp/sqlite3.o"
  sqlite_stamp "${flags[@]}" >"$tmp/chimewell-build.txt"
  rm -rf "$out"
  mv "$tmp" "$out"
  log "SQLite for $what built in $((SECONDS - t0)) s: $out/lib/libsqlite3.a"
  sqlite_cache_store "$out" "$cc" "${flags[@]}"
}

# The machine's cache of SQLite builds, shared by every clone of the project:
# a fresh clone then copies the two libraries instead of compiling them again.
# A build is keyed by its stamp and the compiler's version. CHIMEWELL_CACHE
# names the cache's folder; set empty, it turns the cache off.
SQLITE_CACHE=${CHIMEWELL_CACHE-${XDG_CACHE_HOME:-$HOME/.cache}/chimewell}

# sqlite_cache_dir CC [FLAG...]: prints the cache folder of that build.
sqlite_cache_dir() {
  local key
  key=$({ sqlite_stamp "${@:2}"; "$1" --version | head -n 1; } | sha256sum)
  printf '%s/sqlite-%s\n' "$SQLITE_CACHE" "${key:0:16}"
}

# sqlite_from_cache OUT CC WHAT [FLAG...]: copies a cached build to OUT; false
# when the cache has none.
sqlite_from_cache() {
  local out=$1 cc=$2 what=$3 cached
  [[ -n $SQLITE_CACHE ]] && command -v "$cc" >/dev/null || return 1
  cached=$(sqlite_cache_dir "$cc" "${@:4}")
  sqlite_built "$cached" "${@:4}" || return 1
  rm -rf "$out.tmp" "$out"
  mkdir -p "$(dirname "$out")" && cp -a "$cached" "$out.tmp" && mv "$out.tmp" "$out" || return 1
  log "SQLite for $what copied from the cache $cached"
}

# sqlite_cache_store OUT CC [FLAG...]: keeps the build in OUT in the cache. A
# cache that can not be written only costs the next clone a build.
sqlite_cache_store() {
  local out=$1 cc=$2 cached
  [[ -n $SQLITE_CACHE ]] || return 0
  cached=$(sqlite_cache_dir "$cc" "${@:3}")
  sqlite_built "$cached" "${@:3}" && return 0
  if mkdir -p "$SQLITE_CACHE" && rm -rf "$cached.tmp.$$" && cp -a "$out" "$cached.tmp.$$" &&
      rm -rf "$cached" && mv "$cached.tmp.$$" "$cached"; then
    log "kept in the cache $cached"
  else
    rm -rf "$cached.tmp.$$"
    log "could not keep the build in the cache $SQLITE_CACHE (the next clone builds it again)"
  fi
}

# sqlite_build_args TARGET: sets SQLITE_ARGS to build_sqlite's arguments for
# TARGET (native, windows).
sqlite_build_args() {
  case $1 in
    native) SQLITE_ARGS=("$DEPS/sqlite-native" gcc ar native "${SQLITE_NATIVE_FLAGS[@]}") ;;
    windows) SQLITE_ARGS=("$DEPS/sqlite-mingw" "$MINGW_CC" "$MINGW_AR" Windows "${SQLITE_WINDOWS_FLAGS[@]}") ;;
    *) die "no SQLite target '$1'" ;;
  esac
}

# setup_sqlite TARGET...: SQLite for each TARGET (native, windows), one
# version and one feature set for both. The amalgamation is made once; the
# targets that need a build compile side by side.
setup_sqlite() {
  local target pids=() failed=0
  for target in "$@"; do
    sqlite_build_args "$target"
    if sqlite_built "${SQLITE_ARGS[0]}" "${SQLITE_ARGS[@]:4}"; then
      log "SQLite for ${SQLITE_ARGS[3]} already built in ${SQLITE_ARGS[0]}"
      sqlite_cache_store "${SQLITE_ARGS[0]}" "${SQLITE_ARGS[1]}" "${SQLITE_ARGS[@]:4}"
      continue
    fi
    sqlite_from_cache "${SQLITE_ARGS[0]}" "${SQLITE_ARGS[1]}" "${SQLITE_ARGS[3]}" "${SQLITE_ARGS[@]:4}" &&
      continue
    sqlite_amalgamation
    build_sqlite "${SQLITE_ARGS[@]}" &
    pids+=($!)
  done
  for target in "${pids[@]}"; do
    wait "$target" || failed=1
  done
  if [[ -n $SQLITE_TREE ]]; then
    rm -rf "$SQLITE_TREE"
    SQLITE_TREE=
  fi
  ((failed == 0)) || die "building SQLite failed (see above)"
}

# --- Locales for the tests ----------------------------------------------------

setup_locale() {
  local wanted
  for wanted in "${TEST_LOCALES[@]}"; do
    # locale -a spells the charset in lower case without the dash.
    if locale -a 2>/dev/null | grep -qx "${wanted%%.*}.utf8"; then
      log "locale $wanted already there"
      continue
    fi
    need_root "generating the locale $wanted"
    localedef -i "${wanted%%.*}" -f UTF-8 "$wanted" || die "generating the locale $wanted failed"
    log "generated the locale $wanted"
  done
}

# --- Wine prefix --------------------------------------------------------------

setup_wineprefix() {
  # shellcheck source=scripts/wine_env.sh
  source "$ROOT/scripts/wine_env.sh"
  chimewell_wine_prefix
}

# --- main ---------------------------------------------------------------------

PARTS=("$@")
((${#PARTS[@]})) || PARTS=(all)

for part in "${PARTS[@]}"; do
  case $part in
    all | windows)
      install_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
      setup_locale
      setup_sqlite native windows
      setup_wineprefix
      ;;
    native)
      install_packages "${NATIVE_PACKAGES[@]}"
      setup_locale
      setup_sqlite native
      ;;
    locale) setup_locale ;;
    sqlite) setup_sqlite native windows ;;
    wineprefix) setup_wineprefix ;;
    -h | --help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown part '$part' (all, native, windows, locale, sqlite, wineprefix)" ;;
  esac
done
