#!/usr/bin/env bash
# Installs what building and testing needs, when it is missing, and only for
# the architectures given (default: see choose_archs in env.sh). Where the
# host cannot run 32-bit programs itself and i686 is wanted, it sets up
# user-mode emulation for them, and checks that setting again on every run,
# since the kernel forgets it at reboot. Safe to run again: it does nothing
# that is done.
# Usage: scripts/setup.sh [i686] [x86_64]
set -euo pipefail
source "$(dirname "$0")/env.sh"
if [ $# -gt 0 ]; then
  ARCHS=("$@")
  check_32bit
else
  choose_archs
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo "$@"
  fi
}

# Where to go when the i686 side cannot be set up, for the words below.
i686_way_out() {
  [[ " ${ARCHS[*]} " == *" i686 "* ]] || return 0
  if [ "$I386_MODE" = native ]; then
    echo "; or set PROCFERRY_ARCHS=x86_64 to leave the i686 programs out"
  else
    echo "; or set PROCFERRY_SKIP_EMULATED=1 to leave the emulated i686 programs out"
  fi
}

# Debian's mirrors are now and then mid-sync, and one index (seen: i386's
# security index) then fails to download. A few tries over about two minutes
# usually see it through; apt's own words stay on the screen.
APT_TRIES=${APT_TRIES:-5}
APT_PAUSE=${APT_PAUSE:-30}
apt_updated=no
apt_update() {
  [ $apt_updated = no ] || return 0
  local try
  for ((try = 1; ; try++)); do
    if as_root apt-get update -qq; then
      apt_updated=yes
      return 0
    fi
    [ "$try" -lt "$APT_TRIES" ] || break
    echo "$(basename "$0"): apt-get update failed (try $try of $APT_TRIES, apt's words above); trying again in ${APT_PAUSE} s" >&2
    sleep "$APT_PAUSE"
  done
  # The indexes that did arrive are in use, and they often hold all that is
  # needed (a missing i386 index does not stop an x86_64 set-up).
  echo "$(basename "$0"): apt-get update failed on each of $APT_TRIES tries over $(((APT_TRIES - 1) * APT_PAUSE)) s (apt's words above): a Debian mirror is most likely in the middle of a sync. Going on with the indexes apt has; if what follows fails, run this again in a while$(i686_way_out)" >&2
  apt_updated=yes
}

qemu_major() {
  "$1" --version 2>/dev/null | sed -n '1s/.* version \([0-9]*\)\..*/\1/p'
}

# Bookworm's own qemu 7.2 does not know an mmap flag wine's 32-bit loader
# uses and makes it retry for minutes per process; 10.0 runs it well. The
# package's qemu-i386 is a static program, so it needs nothing of the host's
# and serves from any folder.
fetch_qemu() {
  local codename package=qemu-user dir
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ "$codename" = bookworm ]; then
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo "adding Debian's bookworm-backports suite to apt's sources, for qemu-user 10"
      printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        as_root tee /etc/apt/sources.list.d/backports.sources >/dev/null
      apt_updated=no
    fi
    package=qemu-user/bookworm-backports
  fi
  apt_update
  dir=$(mktemp -d)
  chmod 755 "$dir"
  echo "fetching $package for its static qemu-i386"
  (cd "$dir" && apt-get download -qq "$package") ||
    fail "could not download $package (apt-get's words above)$(i686_way_out)"
  dpkg-deb --fsys-tarfile "$dir"/qemu-user_*.deb | tar -x -C "$dir" ./usr/bin/qemu-i386 ||
    fail "$package holds no usr/bin/qemu-i386"
  as_root install -D -m 755 "$dir/usr/bin/qemu-i386" "$QEMU_I386"
  rm -rf "$dir"
  [ "$(qemu_major "$QEMU_I386")" -ge 10 ] 2>/dev/null ||
    fail "$QEMU_I386 is older than 10.0, which wine needs; install a qemu-user of 10.0 or later and copy its static qemu-i386 there"
}

# The registration: binfmt_misc decodes the \x escapes itself. F opens the
# interpreter at once, so it serves in every mount namespace and chroot.
I386_REGISTRATION=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU_I386"':F'

register_qemu() {
  if [ ! -f "$BINFMT_DIR/register" ]; then
    as_root mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" ||
      fail "could not mount binfmt_misc on $BINFMT_DIR; run as root, or set PROCFERRY_SKIP_EMULATED=1"
  fi
  [ "$(cat "$BINFMT_DIR/status")" = enabled ] || echo 1 | as_root tee "$BINFMT_DIR/status" >/dev/null
  # An entry of that name for another interpreter (an older qemu) gives way.
  if [ -f "$BINFMT_DIR/qemu-i386" ]; then
    echo -1 | as_root tee "$BINFMT_DIR/qemu-i386" >/dev/null
  fi
  printf '%s' "$I386_REGISTRATION" | as_root tee "$BINFMT_DIR/register" >/dev/null ||
    fail "could not register $QEMU_I386 with binfmt_misc"
}

# Makes 32-bit programs run under the emulator, and says so.
ensure_i386_emulation() {
  local interpreter
  if interpreter=$(i386_interpreter) && [ "$(qemu_major "$interpreter")" -ge 10 ] 2>/dev/null &&
    host_runs_32bit; then
    return
  fi
  [ "$(uname -m)" = x86_64 ] || fail "only an x86_64 host can run the i686 programs under emulation here; set PROCFERRY_ARCHS=x86_64"
  [ "$(qemu_major "$QEMU_I386")" -ge 10 ] 2>/dev/null || fetch_qemu
  echo "registering $QEMU_I386 with binfmt_misc for 32-bit programs"
  register_qemu
  host_runs_32bit ||
    fail "32-bit programs still do not run with $QEMU_I386 registered; set PROCFERRY_SKIP_EMULATED=1 to leave them out"
}

if [[ " ${ARCHS[*]} " == *" i686 "* && $I386_MODE != native ]]; then
  ensure_i386_emulation
fi

need=()
for arch in "${ARCHS[@]}"; do
  case $arch in
    i686)
      command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix mingw-w64-i686-dev)
      [ -x "$WINE32_LOADER" ] || need+=(wine32:i386)
      ;;
    x86_64)
      command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)
      ;;
  esac
done
# wine64 serves both architectures' prefix and wineserver; wine32 adds the
# 32-bit loader, and is installed only where i686 is wanted.
[ -x "$WINE64_LOADER" ] || need+=(wine64)
command -v wine >/dev/null || need+=(wine)
command -v cmake >/dev/null || need+=(cmake)
command -v clang++ >/dev/null || need+=(clang)
# clang's Windows programs are linked by lld (cmake/clang-mingw-flags.cmake).
command -v ld.lld >/dev/null || need+=(lld)
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -d /usr/src/googletest ] || need+=(googletest)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/cxxopts.hpp ] || need+=(libcxxopts-dev)
[ -f /usr/include/asio.hpp ] || need+=(libasio-dev)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  # wine32 is an i386 package, so the i386 architecture must be known to dpkg first.
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    apt_updated=no
  fi
  apt_update
  install_log=$(mktemp)
  if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" \
    >"$install_log" 2>&1; then
    cat "$install_log" >&2
    # wine32:i386 shares libraries with the amd64 side, and a multi-arch library
    # must have one version on both. When one architecture's index is behind the
    # other's (a mirror mid-sync), apt's resolver gives up.
    if [[ " ${need[*]} " == *" wine32:i386 "* ]] &&
      grep -Eq 'generated breaks|held broken packages|unmet dependencies|but [^ ]+ is to be installed' "$install_log"; then
      rm -f "$install_log"
      codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
      fail "wine32:i386 cannot be installed: apt's i386 and amd64 indexes offer different versions of the libraries both architectures share (apt's words above). One index is behind the other, most often because a Debian mirror is mid-sync; run this script again in a while. Or install from the release's own index, which has one version for both (without its security updates): apt-get install -t ${codename:-RELEASE} --no-install-recommends ${need[*]}$(i686_way_out)"
    fi
    rm -f "$install_log"
    fail "could not install ${need[*]} (apt-get's words above)$(i686_way_out)"
  fi
  rm -f "$install_log"
fi
for arch in "${ARCHS[@]}"; do
  check_arch_tools "$arch"
done
