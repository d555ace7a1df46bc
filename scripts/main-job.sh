#!/usr/bin/env bash
# Sets up what is missing, builds the relays and shows the main job: the relay
# launching a child with hard arguments and the decoded report. It runs the
# 32-bit relay where the host can and the 64-bit one otherwise. Extra words are
# handed to procferry-run instead of its demo, e.g.
#   scripts/main-job.sh --verbose -- probe_child.exe "a b" 'x\'
# Relative paths among them are taken from the current directory.
set -euo pipefail
source "$(dirname "$0")/env.sh"
choose_archs
arch=${ARCHS[0]}
"$PROJECT_ROOT/scripts/setup.sh" "$arch"
ARCHS=("$arch")
build_windows "$arch" >/dev/null
start_wine
echo "running the $arch relay ($( [ "$arch" = i686 ] && echo 32 || echo 64)-bit) through procferry-run"
if [ $# -eq 0 ]; then
  set -- --demo
fi
run_wine "$arch" "$(win_build_dir "$arch")/bin/procferry-run.exe" "$@"
