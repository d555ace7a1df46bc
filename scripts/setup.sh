#!/usr/bin/env bash
# Installs what building and testing needs, when it is missing, and only for
# the architectures given (default: those this host can run; see env.sh).
# Safe to run again: it does nothing that is done.
# Usage: scripts/setup.sh [i686] [x86_64]
set -euo pipefail
source "$(dirname "$0")/env.sh"
if [ $# -gt 0 ]; then
  ARCHS=("$@")
else
  choose_archs
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
# 32-bit loader, and is installed only where the host can run it.
[ -x "$WINE64_LOADER" ] || need+=(wine64)
command -v wine >/dev/null || need+=(wine)
command -v cmake >/dev/null || need+=(cmake)
command -v clang++ >/dev/null || need+=(clang)
[ -d /usr/src/googletest ] || need+=(googletest)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/cxxopts.hpp ] || need+=(libcxxopts-dev)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  # wine32 is an i386 package, so the i386 architecture must be known to dpkg first.
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null ||
    fail "could not install ${need[*]} (apt-get's words above)"
fi
for arch in "${ARCHS[@]}"; do
  check_arch_tools "$arch"
done
