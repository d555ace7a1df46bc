#!/usr/bin/env bash
# Sets up what is missing, builds the relays and shows the main job: the relay
# launching a child with hard arguments and the decoded report. Extra words are
# handed to procferry-run instead of its demo, e.g.
#   scripts/main-job.sh --verbose -- probe_child.exe "a b" 'x\'
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$PROJECT_ROOT/scripts/setup.sh"
build_windows >/dev/null
start_wine
cd "$BUILD_ROOT/win/bin"
if [ $# -eq 0 ]; then
  set -- --demo
fi
exec wine procferry-run.exe "$@"
