#!/usr/bin/env bash
# Builds and runs the benchmarks: the launch cost under wine, the size report
# of both programs, and the native quoting benchmark when it can be built.
# Usage: scripts/bench.sh [launches per way, default 50]
set -euo pipefail
source "$(dirname "$0")/env.sh"
launches=${1:-100}

build_windows >/dev/null
# wineserver -p fails when a server for the prefix is already up; that one serves.
start_wine || true

echo "== launch cost"
# wine runs the benchmark from its own directory, where the programs lie.
(cd "$BUILD_ROOT/win/bin" && wine bench_launch.exe "$launches")

echo "== size"
"$PROJECT_ROOT/bench/size.sh" "$BUILD_ROOT/win/bin"

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
