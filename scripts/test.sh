#!/usr/bin/env bash
# Sets up what is missing, builds everything and runs every test: the native
# unit tests and fuzzing, then the end-to-end tests of the real programs under
# wine, once for each architecture this host can run (see env.sh).
set -euo pipefail
source "$(dirname "$0")/env.sh"
choose_archs "building and testing"
"$PROJECT_ROOT/scripts/setup.sh" "${ARCHS[@]}"
# How the i686 programs run now that the set-up is done, for the summary.
check_32bit
i686_how=
if [ "$I386_MODE" = emulated ]; then
  i686_how=" (under emulation: $(emulator_note))"
  export PROCFERRY_I386_EMULATED=1
fi
build_native
# The native suite (its minute of fuzzing above all) runs while the Windows
# trees build; its output follows once it is done.
native_log=$(mktemp)
ctest --test-dir "$BUILD_ROOT/native" --output-on-failure >"$native_log" 2>&1 &
native_pid=$!
# A failed build ends the script; the fuzzer must not outlive it.
trap 'kill "$native_pid" 2>/dev/null || true; release_wine_desktop' EXIT
for arch in "${ARCHS[@]}"; do
  build_windows "$arch"
done
start_wine
# The last architecture built is x86_64 where both are: never the emulated one.
hold_wine_desktop "${ARCHS[${#ARCHS[@]}-1]}"

# Every suite runs even when one fails; the summary names each with its counts.
summary=()
failed=0
note_suite() {
  local name=$1 status=$2 log=$3
  [ "$status" -eq 0 ] || failed=1
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$log" | tail -1)")
}
native_status=0
wait "$native_pid" || native_status=$?
cat "$native_log"
note_suite native "$native_status" "$native_log"
# The end-to-end tests spend most of their time waiting for wine to start
# processes, so they run two at a time.
for arch in "${ARCHS[@]}"; do
  log=$(mktemp)
  status=0
  # Under emulation the random tests send fewer vectors and texts, which the
  # x86_64 suite sends in full: the logic they check is the same on both.
  # PROCFERRY_EMULATED_LIMITS=1 runs a native i686 suite with the emulated
  # one's counts and limits, so that they can be tried on any host.
  counts=()
  if [ "$arch" = i686 ] && { [ -n "$i686_how" ] || [ "${PROCFERRY_EMULATED_LIMITS:-0}" = 1 ]; }; then
    counts=(PROCFERRY_VECTORS="${PROCFERRY_VECTORS:-60}" PROCFERRY_TEXTS="${PROCFERRY_TEXTS:-60}")
  fi
  env "${counts[@]}" WINELOADER=$(wine_loader "$arch") ctest --test-dir "$(win_build_dir "$arch")" -j"$(nproc)" \
    --output-on-failure 2>&1 | tee "$log" || status=$?
  how=
  [ "$arch" != i686 ] || how=$i686_how
  note_suite "$arch end-to-end$how" "$status" "$log"
  rm -f "$log"
done
rm -f "$native_log"

echo
echo "== summary (architectures: ${ARCHS[*]})"
printf '%s\n' "${summary[@]}"
exit "$failed"
