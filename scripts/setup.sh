#!/usr/bin/env bash
# Installs what building and testing needs, when it is missing, and prepares the
# project's own wine prefix. Safe to run again: it does nothing that is done.
set -euo pipefail

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix mingw-w64-i686-dev)
command -v wine >/dev/null || need+=(wine wine32:i386 wine64)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
command -v cmake >/dev/null || need+=(cmake)
command -v clang++ >/dev/null || need+=(clang)
[ -d /usr/src/googletest ] || need+=(googletest)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/cxxopts.hpp ] || need+=(libcxxopts-dev)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)

if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  # wine32 is an i386 package, so the i386 architecture must be known to dpkg first.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
