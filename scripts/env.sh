# Sourced by the scripts: where builds live and which wine prefix they use.
# The project keeps a wine prefix of its own, never the user's default one.
PROJECT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${BUILD_ROOT:-$PROJECT_ROOT/build}
export WINEPREFIX=${WINEPREFIX:-$BUILD_ROOT/wineprefix}
export WINEDEBUG=-all
# Keep wine's own windows (crash dialogs, mono and gecko installers) away.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export DISPLAY=

build_windows() {
  cmake -S "$PROJECT_ROOT" -B "$BUILD_ROOT/win" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PROJECT_ROOT/cmake/mingw-i686.cmake" >/dev/null
  cmake --build "$BUILD_ROOT/win" -j"$(nproc)"
}

build_native() {
  cmake -S "$PROJECT_ROOT" -B "$BUILD_ROOT/native" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DFUZZ_SECONDS="${FUZZ_SECONDS:-60}" >/dev/null
  cmake --build "$BUILD_ROOT/native" -j"$(nproc)"
}

# One wineserver for the whole run: each process start then costs tens of
# milliseconds instead of half a second. The first start creates the prefix.
start_wine() {
  mkdir -p "$WINEPREFIX"
  wineserver -p 600 2>/dev/null || true  # fails harmlessly when one already runs
  wine cmd /c exit >/dev/null 2>&1 || true
}
