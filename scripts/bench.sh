#!/usr/bin/env bash
# Builds and runs the benchmarks for each architecture this host runs
# natively (see env.sh; an emulated one would measure the emulator, but
# PROCFERRY_ARCHS can still ask for it), in one run: the launch cost under
# wine with the relay / null-relay ratio, the parent library against direct
# starts (capture of 64 MiB, starts per second from 1 to 8 threads), 500
# children waited for by exit callbacks (threads, delay), the size report of
# both programs, and the native quoting benchmark
# when it can be built.
# Usage: scripts/bench.sh [launches per way, default 100]
set -euo pipefail
source "$(dirname "$0")/env.sh"
launches=${1:-100}
choose_archs "measuring" native

for arch in "${ARCHS[@]}"; do
  build_windows "$arch" >/dev/null
done
start_wine

for arch in "${ARCHS[@]}"; do
  bin=$(win_build_dir "$arch")/bin
  echo "== launch cost, $arch"
  # wine runs the benchmark from its own directory, where the programs lie.
  (cd "$bin" && run_wine "$arch" bench_launch.exe "$launches")
  echo "== parent library against direct starts (capture, starts per second), $arch"
  (cd "$bin" && run_wine "$arch" bench_library.exe)
  echo "== waiting without a thread per child (exit callbacks), $arch"
  (cd "$bin" && run_wine "$arch" bench_exit_callbacks.exe)
  if [ -x "$bin/bench_asio.exe" ]; then
    echo "== the same on one Asio thread, and 50 children's lines captured at once, $arch"
    (cd "$bin" && run_wine "$arch" bench_asio.exe)
  fi
  echo "== a child's screen through a pseudo console against a pipe, $arch"
  (cd "$bin" && run_wine "$arch" bench_console.exe)
  echo "== size, $arch"
  "$PROJECT_ROOT/bench/size.sh" "$bin" "$(toolchain_prefix "$arch")"
done

# The quoting benchmark is native and needs clang and Google Benchmark; it is
# built when it can be, and run when it is there.
echo "== quoting"
quote_benchmark=$BUILD_ROOT/native/bench/native/quote_benchmark
{ cmake -S "$PROJECT_ROOT" -B "$BUILD_ROOT/native" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ &&
  cmake --build "$BUILD_ROOT/native" --target quote_benchmark; } >/dev/null 2>&1 || true
if [ -x "$quote_benchmark" ]; then
  "$quote_benchmark"
else
  echo "quote_benchmark is not built; skipped"
fi
