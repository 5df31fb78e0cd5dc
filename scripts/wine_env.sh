# shellcheck shell=bash
# Wine settings for running Chimewell's Windows build in tests. Source it:
#
#   source scripts/wine_env.sh
#   chimewell_wine_prefix                  # make .deps/wineprefix once
#   chimewell_wineserver_start             # keep a server up: warm starts
#   chimewell_wine_set_documents "$dir"    # Documents folder -> a test folder
#   chimewell_wine build/windows/x.exe     # run a program, under a timeout
#   chimewell_wineserver_stop
#
# Every call to wine goes through `timeout` and runs with HOME set to a folder
# under .deps, so nothing Wine makes or links can reach the real home folder.
# The prefix's user folders (Documents, Desktop, ...) are plain folders in the
# prefix, not links out of it. Headless runs use Wine's null graphics driver;
# "err:winediag:nodrv_CreateWindow" lines on stderr are harmless.
#
# Sourcing changes no shell option of the caller. The functions return non-zero
# on failure.

CHIMEWELL_ROOT=${CHIMEWELL_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
CHIMEWELL_DEPS=${CHIMEWELL_DEPS:-$CHIMEWELL_ROOT/.deps}

export WINEPREFIX=$CHIMEWELL_DEPS/wineprefix
export WINEARCH=win64
# Quiet, except for the one start-up failure below, so that it shows.
export WINEDEBUG=-all,err+virtual
# No install dialogs for the .NET and HTML engines; no menu entries or file
# associations written for the desktop.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# HOME for Wine's processes.
CHIMEWELL_WINE_HOME=$CHIMEWELL_DEPS/winehome
# Seconds a single wine program may run before it is killed.
CHIMEWELL_WINE_TIMEOUT=${CHIMEWELL_WINE_TIMEOUT:-120}
# Seconds that wineboot may take to make a prefix.
CHIMEWELL_WINEBOOT_TIMEOUT=${CHIMEWELL_WINEBOOT_TIMEOUT:-300}
# Seconds that a persistent wineserver stays up once no program is left.
CHIMEWELL_WINESERVER_LINGER=${CHIMEWELL_WINESERVER_LINGER:-900}

_CHIMEWELL_PREFIX_STAMP=$WINEPREFIX/.chimewell-ready

# Wine as Debian packages it has no preloader to keep the low address space
# free, so a process's heap, placed at random up to about 1 GB above the
# loader, now and then covers the page where Wine maps its shared user data:
# the process then exits at start ("failed to map the shared user data"),
# which its parent sees as "Internal error." (about 1 start in 7,700). Without
# address randomization the heap sits beside the loader every time. Every
# Wine program of the tests starts through this.
CHIMEWELL_WINE_LAUNCHER=(setarch -R)

# Runs a Wine tool ("$1": wine, wineboot, wineserver) under a timeout of "$2"
# seconds, with the sandbox HOME.
_chimewell_wine_tool() {
  local tool=$1 limit=$2
  shift 2
  mkdir -p "$CHIMEWELL_WINE_HOME" &&
    HOME=$CHIMEWELL_WINE_HOME timeout -k 10 "$limit" "${CHIMEWELL_WINE_LAUNCHER[@]}" "$tool" "$@"
}

# Runs a Windows program (or a builtin such as `reg`) in the test prefix.
chimewell_wine() {
  _chimewell_wine_tool wine "$CHIMEWELL_WINE_TIMEOUT" "$@"
}

_chimewell_wine_version() {
  timeout 30 wine --version 2>/dev/null
}

# Makes the prefix unless a finished one for this Wine version is there. A
# prefix without its stamp (a run cut short) is removed and made again.
chimewell_wine_prefix() {
  mkdir -p "$CHIMEWELL_DEPS" || return 1
  (
    # One maker at a time; another caller waits, then finds the stamp.
    exec 9>"$CHIMEWELL_DEPS/wineprefix.lock"
    flock -w "$CHIMEWELL_WINEBOOT_TIMEOUT" 9 || { echo "wine-env: prefix lock timed out" >&2; exit 1; }

    version=$(_chimewell_wine_version) || { echo "wine-env: wine not found: run scripts/setup.sh windows" >&2; exit 1; }
    if [[ -f $_CHIMEWELL_PREFIX_STAMP && $(cat "$_CHIMEWELL_PREFIX_STAMP") == "$version" ]]; then
      exit 0
    fi
    echo "wine-env: making the Wine prefix $WINEPREFIX ($version)" >&2
    t0=$SECONDS
    if [[ -d $WINEPREFIX ]]; then
      _chimewell_wine_tool wineserver 30 -k 2>/dev/null || true
      rm -rf "$WINEPREFIX"
    fi
    rm -rf "$CHIMEWELL_WINE_HOME"
    _chimewell_wine_tool wineboot "$CHIMEWELL_WINEBOOT_TIMEOUT" -i 2>/dev/null ||
      { echo "wine-env: wineboot -i failed" >&2; exit 1; }
    _chimewell_wine_tool wine 60 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null ||
      { echo "wine-env: setting the null graphics driver failed" >&2; exit 1; }
    _chimewell_wine_tool wineserver 60 -k 2>/dev/null || true
    # wineboot links the user folders to $HOME; make them plain folders. Wine
    # leaves an existing folder alone when it updates the prefix.
    for link in "$WINEPREFIX"/drive_c/users/*/*; do
      if [[ -L $link ]]; then
        rm "$link" && mkdir "$link" || exit 1
      fi
    done
    printf '%s\n' "$version" >"$_CHIMEWELL_PREFIX_STAMP"
    echo "wine-env: Wine prefix made in $((SECONDS - t0)) s" >&2
  )
}

# Keeps a wineserver running for the prefix, so each program starts warm
# (tens of milliseconds instead of most of a second). It ends by itself
# CHIMEWELL_WINESERVER_LINGER seconds after its last program, or on
# chimewell_wineserver_stop.
chimewell_wineserver_start() {
  # Fails when a server is up for the prefix already; that one serves as well.
  _chimewell_wine_tool wineserver 30 -p"$CHIMEWELL_WINESERVER_LINGER" 2>/dev/null ||
    echo "wine-env: using the wineserver already running for $WINEPREFIX" >&2
  # Boot the prefix's own services now rather than in the first test.
  _chimewell_wine_tool wine 60 cmd /c exit >/dev/null 2>&1 ||
    { echo "wine-env: wine does not start in $WINEPREFIX" >&2; return 1; }
}

# Ends the prefix's wineserver and every program still running in it.
chimewell_wineserver_stop() {
  _chimewell_wine_tool wineserver 30 -k 2>/dev/null || true
}

# Points the prefix's Documents folder at the Unix folder "$1" (made if
# missing), for programs that ask Windows where Documents is.
chimewell_wine_set_documents() {
  local dir
  mkdir -p "$1" && dir=$(cd "$1" && pwd) || return 1
  chimewell_wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
    /v Personal /t REG_EXPAND_SZ /d "Z:${dir//\//\\}" /f >/dev/null
}
