#!/usr/bin/env bash
# Sets up what is missing, builds the relays and shows the main job: the relay
# launching a child with hard arguments and the decoded report. It runs the
# 32-bit relay where the host runs 32-bit programs natively, and the 64-bit
# one otherwise: under emulation the 32-bit relay would be several times slower. Extra words are
# handed to procferry-run instead of its demo, e.g.
#   scripts/main-job.sh --json -- cmd /c echo "a b"
# Relative paths among them are taken from the current directory.
set -euo pipefail
source "$(dirname "$0")/env.sh"
choose_archs "" native
arch=${ARCHS[0]}
if [ "$arch" = i686 ]; then
  echo "$HOST_NOTE; running the 32-bit relay (i686)"
elif [ -n "${PROCFERRY_ARCHS:-}" ]; then
  echo "$HOST_NOTE; running the 64-bit relay (x86_64)"
else
  echo "$HOST_NOTE; running the 64-bit relay (x86_64), the fastest this host runs natively"
fi
ARCHS=("$arch")
"$PROJECT_ROOT/scripts/setup.sh" "$arch"
build_windows "$arch" >/dev/null
start_wine
if [ $# -eq 0 ]; then
  set -- --demo
fi
run_wine "$arch" "$(win_build_dir "$arch")/bin/procferry-run.exe" "$@"
