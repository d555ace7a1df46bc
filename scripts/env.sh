# Sourced by the scripts: which architectures this host builds and runs, where
# builds live and which wine prefix they use. The project keeps a wine prefix
# of its own, never the user's default one.
#
# PROCFERRY_ARCHS chooses the Windows architectures by hand: "i686", "x86_64"
# or "i686 x86_64". Unset, it is every architecture this host can run.
PROJECT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${BUILD_ROOT:-$PROJECT_ROOT/build}
# A prefix the caller names is theirs: the scripts never delete it.
OWN_WINEPREFIX=no
[ -n "${WINEPREFIX:-}" ] || OWN_WINEPREFIX=yes
export WINEPREFIX=${WINEPREFIX:-$BUILD_ROOT/wineprefix}
export WINEDEBUG=-all
# Keep wine's own windows (crash dialogs, mono and gecko installers) away.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export DISPLAY=

WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64

fail() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

# Some hypervisors run 64-bit user code only: there every i386 program fails
# with "Exec format error", wine's 32-bit loader included. The only sure test
# is to run one. This is a complete i386 Linux program of 91 bytes that calls
# exit(0); nothing else on a fresh host is known to be 32-bit.
host_runs_32bit() {
  local probe
  probe=$(mktemp)
  base64 -d >"$probe" <<'EOF'
f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhbAAAAWwAAAAUAAAAAEAAAMdsxwEDNgA==
EOF
  chmod +x "$probe"
  local status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return "$status"
}

# Such a host runs 32-bit programs through user-mode emulation: binfmt_misc
# hands every i386 program to a static qemu-i386 (scripts/setup.sh registers
# it). binfmt_misc is asked before the kernel's own loader, so while such an
# entry is enabled every 32-bit program runs emulated, whatever the processor
# could do. BINFMT_DIR is where the kernel shows the entries.
BINFMT_DIR=${BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
QEMU_I386=/opt/procferry-qemu/qemu-i386

# Prints the interpreter of the enabled entry that takes i386 programs
# (magic: a 32-bit little-endian ELF file for machine 3), or fails when none does.
i386_interpreter() {
  local entry
  [ "$(cat "$BINFMT_DIR/status" 2>/dev/null)" = enabled ] || return 1
  for entry in "$BINFMT_DIR"/*; do
    case ${entry##*/} in status | register) continue ;; esac
    [ -f "$entry" ] && grep -qx enabled "$entry" && grep -qx 'offset 0' "$entry" &&
      grep -q '^magic 7f454c4601.\{26\}0300' "$entry" || continue
    sed -n 's/^interpreter //p' "$entry"
    return 0
  done
  return 1
}

# Sets I386_MODE: "native", "emulated" (I386_EMULATOR names the interpreter)
# or "none".
check_32bit() {
  I386_EMULATOR=
  if ! host_runs_32bit; then
    I386_MODE=none
  elif I386_EMULATOR=$(i386_interpreter); then
    I386_MODE=emulated
  else
    I386_MODE=native
  fi
}

# One line on the emulator, for notes and summaries.
emulator_note() {
  local version
  version=$("$I386_EMULATOR" --version 2>/dev/null | sed -n '1s/.* version \([^ ]*\).*/\1/p')
  echo "${I386_EMULATOR##*/}${version:+ $version} through binfmt_misc"
}

# Sets ARCHS and HOST_NOTE, why they are what they are, from I386_MODE.
#   choose_archs [DOING] [native]
# With DOING, says in one line what follows: "$HOST_NOTE; DOING the ...".
# Unless "native" is given, a host that runs 32-bit programs only under
# emulation, or cannot yet (scripts/setup.sh sets the emulation up on an
# x86_64 host), has its i686 programs run under emulation; with
# PROCFERRY_SKIP_EMULATED=1 they are left out, for a quick run.
choose_archs() {
  local doing=${1:-} only_native=${2:-} what
  check_32bit
  if [ -n "${PROCFERRY_ARCHS:-}" ]; then
    ARCHS=()
    local arch
    for arch in $PROCFERRY_ARCHS; do
      case $arch in
        i686 | x86_64) ARCHS+=("$arch") ;;
        *) fail "PROCFERRY_ARCHS holds '$arch'; use i686, x86_64 or both" ;;
      esac
    done
    [ ${#ARCHS[@]} -gt 0 ] || fail "PROCFERRY_ARCHS is empty; use i686, x86_64 or both"
    if [[ " ${ARCHS[*]} " == *" i686 "* && $I386_MODE == none && $(uname -m) != x86_64 ]]; then
      fail "PROCFERRY_ARCHS asks for i686, but this host cannot run 32-bit programs; set PROCFERRY_ARCHS=x86_64"
    fi
    HOST_NOTE="PROCFERRY_ARCHS=\"${ARCHS[*]}\" chooses the architectures"
    what="the ${ARCHS[*]} relay only"
    if [[ " ${ARCHS[*]} " == *" i686 "* && $I386_MODE != native ]]; then
      what+=", i686 under emulation"
    fi
  elif [ "$I386_MODE" = native ]; then
    ARCHS=(i686 x86_64)
    HOST_NOTE="this host runs 32- and 64-bit programs"
    what="the i686 and x86_64 relays"
  else
    if [ "$I386_MODE" = emulated ]; then
      HOST_NOTE="this host runs 32-bit programs under emulation ($(emulator_note))"
    else
      HOST_NOTE="this host cannot run 32-bit programs natively"
    fi
    if [ -n "$only_native" ] || [ "${PROCFERRY_SKIP_EMULATED:-0}" = 1 ] || [ "$(uname -m)" != x86_64 ]; then
      ARCHS=(x86_64)
      what="the 64-bit relay only"
      if [ -z "$only_native" ] && [ "$(uname -m)" = x86_64 ]; then
        HOST_NOTE+="; PROCFERRY_SKIP_EMULATED=1 leaves the i686 programs out"
      fi
    else
      ARCHS=(i686 x86_64)
      [ "$I386_MODE" = emulated ] || HOST_NOTE+="; scripts/setup.sh sets up user-mode emulation"
      what="the i686 relay under emulation and the x86_64 relay"
    fi
  fi
  [ -z "$doing" ] || echo "$HOST_NOTE; $doing $what"
}

# A crash in an i386 program under the emulator reports another exception code
# than an access violation (is_null_write_crash in tests/e2e/relay_fixture.h).
if [ -z "${PROCFERRY_I386_EMULATED:-}" ] && i386_interpreter >/dev/null; then
  export PROCFERRY_I386_EMULATED=1
fi

# The wine loader that runs an architecture's programs. On a host without
# 32-bit support /usr/bin/wine would still pick the 32-bit loader whenever
# wine32 is installed, so the loader is named directly.
wine_loader() {
  case $1 in
    i686) echo "$WINE32_LOADER" ;;
    x86_64) echo "$WINE64_LOADER" ;;
  esac
}

toolchain_prefix() {
  case $1 in
    i686) echo i686-w64-mingw32 ;;
    x86_64) echo x86_64-w64-mingw32 ;;
  esac
}

win_build_dir() {
  echo "$BUILD_ROOT/win-$1"
}

# Runs a Windows program of the given architecture, wine's own errors shown.
run_wine() {
  local arch=$1
  shift
  WINELOADER=$(wine_loader "$arch") "$(wine_loader "$arch")" "$@"
}

check_arch_tools() {
  local arch=$1 prefix
  prefix=$(toolchain_prefix "$arch")
  command -v "$prefix-g++-posix" >/dev/null ||
    fail "the $arch cross compiler $prefix-g++-posix is missing; install g++-mingw-w64-${prefix%%-*}-posix (scripts/setup.sh does), or leave $arch out of PROCFERRY_ARCHS"
  if [ "$arch" = i686 ]; then
    [ -x "$WINE32_LOADER" ] ||
      fail "wine's 32-bit loader $WINE32_LOADER is missing; install wine32:i386 (after dpkg --add-architecture i386), or set PROCFERRY_ARCHS=x86_64"
  else
    [ -x "$WINE64_LOADER" ] || fail "wine's 64-bit loader $WINE64_LOADER is missing; install wine64"
  fi
}

build_windows() {
  local arch=$1 dir
  check_arch_tools "$arch"
  dir=$(win_build_dir "$arch")
  cmake -S "$PROJECT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PROJECT_ROOT/cmake/mingw-$arch.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$(wine_loader "$arch")" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

build_native() {
  cmake -S "$PROJECT_ROOT" -B "$BUILD_ROOT/native" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DFUZZ_SECONDS="${FUZZ_SECONDS:-60}" >/dev/null
  cmake --build "$BUILD_ROOT/native" -j"$(nproc)"
}

# A 64-bit prefix first made while wine32 was not installed (a first run for
# x86_64 alone) has no syswow64 and never gets one: every 32-bit program in it
# fails with "could not load kernel32.dll". The project's own prefix is made
# again; a caller's is left alone.
ensure_prefix_runs_32bit() {
  [[ " ${ARCHS[*]} " == *" i686 "* ]] && [ -f "$WINEPREFIX/system.reg" ] || return 0
  ! grep -qx '#arch=win32' "$WINEPREFIX/system.reg" || return 0
  [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ] || return 0
  if [ "$OWN_WINEPREFIX" != yes ]; then
    fail "the wine prefix $WINEPREFIX (your WINEPREFIX) was made before wine32 was installed and cannot run 32-bit programs; remove it (rm -rf $WINEPREFIX) so that it is made again, set WINEPREFIX to a new folder, or set PROCFERRY_ARCHS=x86_64"
  fi
  echo "the wine prefix $WINEPREFIX was made before wine32 was installed and cannot run 32-bit programs; making it again"
  stop_wineserver
  rm -rf "$WINEPREFIX"
}

# Ends the server and everything it runs, and waits until it has gone.
stop_wineserver() {
  local server=wineserver
  [ ! -x /usr/lib/wine/wineserver64 ] || server=/usr/lib/wine/wineserver64
  "$server" -k 2>/dev/null || true
  "$server" -w 2>/dev/null || true
}

# One wineserver for the whole run: each process start then costs tens of
# milliseconds instead of half a second. The first start creates the prefix,
# always by the 64-bit loader, so that the prefix serves both architectures.
start_wine() {
  local arch=x86_64
  if [ -f "$WINEPREFIX/system.reg" ] && grep -qx '#arch=win32' "$WINEPREFIX/system.reg" &&
    [[ " ${ARCHS[*]} " == *" x86_64 "* ]]; then
    fail "the wine prefix $WINEPREFIX was made for 32-bit Windows and cannot run 64-bit programs; remove it (rm -rf $WINEPREFIX) or set WINEPREFIX to another folder"
  fi
  ensure_prefix_runs_32bit
  mkdir -p "$WINEPREFIX"
  start_wineserver
  local log status=0
  log=$(mktemp)
  # Without a display wine makes no window, unless its null graphics driver
  # stands in: the tests ask a child's window to close. Only in the project's
  # own prefix: in a caller's it would hide every window wine shows there.
  # A desktop the prefix's making brought up runs without it, and would
  # serve every window after it (hold_wine_desktop keeps one up): the server
  # and all it runs start again once it is set.
  if [ "$OWN_WINEPREFIX" = yes ] && ! grep -qs '^"Graphics"="null"' "$WINEPREFIX/user.reg"; then
    if ! run_wine "$arch" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >"$log" 2>&1; then
      cat "$log" >&2
      rm -f "$log"
      fail "wine could not set its null graphics driver in $WINEPREFIX (its own words above)"
    fi
    stop_wineserver
    start_wineserver
  fi
  # Its words go to a file, not a pipe: the first start after the server's
  # leaves wine's services running, and they hold on to whatever output
  # they inherited (a test's, which its runner would wait on for ever).
  run_wine "$arch" cmd /c exit >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    rm -f "$log"
    fail "wine could not run a program in $WINEPREFIX with $(wine_loader "$arch") (its own words above)"
  fi
  rm -f "$log"
}

# -p fails harmlessly when a server for this prefix already runs; that one serves.
start_wineserver() {
  if [ -x /usr/lib/wine/wineserver64 ]; then
    /usr/lib/wine/wineserver64 -p 600 2>/dev/null || true
  else
    wineserver -p 600 2>/dev/null || true
  fi
}

# wine brings up its desktop process (explorer.exe /desktop) for the first
# window a program makes, started by that program: within the job of a test
# child that made it. A stop then gives the desktop the child's whole grace
# period, as something the child started, and ends it. wine also ends the
# desktop a moment after the last program that used it, so it is not enough
# to bring it up once: a holder of the given build, outside any job, brings
# it up and keeps it until release_wine_desktop (or for four hours).
DESKTOP_HOLDER_PID=
hold_wine_desktop() {
  local arch=$1 holder ready tries
  holder="$(win_build_dir "$arch")/bin/desktop_holder.exe"
  [ -x "$holder" ] || fail "$holder is missing; build the $arch tree first"
  # The holder says when the desktop is up, which must be before any test
  # runs: a test program that came first would bring it up itself, and the
  # desktop would hold that program's output (a test runner's pipe) open
  # for as long as the holder keeps it. The holder is the wine process
  # itself, so that release_wine_desktop ends it.
  ready=$(mktemp)
  (
    export WINELOADER
    WINELOADER=$(wine_loader "$arch")
    exec "$WINELOADER" "$holder" </dev/null >"$ready" 2>/dev/null
  ) &
  DESKTOP_HOLDER_PID=$!
  for ((tries = 0; tries < 300; tries++)); do
    if grep -qs 'desktop up' "$ready"; then
      rm -f "$ready"
      return 0
    fi
    sleep 0.1
  done
  rm -f "$ready"
  release_wine_desktop
  fail "wine's desktop did not come up within 30 s ($holder)"
}

release_wine_desktop() {
  [ -z "$DESKTOP_HOLDER_PID" ] || kill "$DESKTOP_HOLDER_PID" 2>/dev/null || true
  DESKTOP_HOLDER_PID=
}
