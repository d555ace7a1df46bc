#!/usr/bin/env bash
# Sets up what is missing, builds everything and runs every test: the native
# unit tests and fuzzing, and the end-to-end tests of the real programs under wine.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$PROJECT_ROOT/scripts/setup.sh"
build_native
build_windows
start_wine
ctest --test-dir "$BUILD_ROOT/native" --output-on-failure
ctest --test-dir "$BUILD_ROOT/win" --output-on-failure
