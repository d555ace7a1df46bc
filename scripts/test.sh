#!/usr/bin/env bash
# Sets up what is missing, builds everything and runs every test: the native
# unit tests and fuzzing, then the end-to-end tests of the real programs under
# wine, once for each architecture this host can run (see env.sh).
set -euo pipefail
source "$(dirname "$0")/env.sh"
choose_archs "building and testing"
"$PROJECT_ROOT/scripts/setup.sh" "${ARCHS[@]}"
build_native
for arch in "${ARCHS[@]}"; do
  build_windows "$arch"
done
start_wine

# Every suite runs even when one fails; the summary names each with its counts.
summary=()
failed=0
run_suite() {
  local name=$1 dir=$2 log status=0
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure 2>&1 | tee "$log" || status=$?
  [ "$status" -eq 0 ] || failed=1
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$log" | tail -1)")
  rm -f "$log"
}
run_suite native "$BUILD_ROOT/native"
for arch in "${ARCHS[@]}"; do
  WINELOADER=$(wine_loader "$arch") run_suite "$arch end-to-end" "$(win_build_dir "$arch")"
done

echo
echo "== summary (architectures: ${ARCHS[*]})"
printf '%s\n' "${summary[@]}"
exit "$failed"
