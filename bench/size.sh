#!/usr/bin/env bash
# Size report of the two relay programs: the stripped size of each and what it
# imports, DLL by DLL. The build's own files are left as they are; a copy is
# stripped. Usage: bench/size.sh [directory holding the programs] [toolchain prefix]
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
bin=${1:-$BUILD_ROOT/win-i686/bin}
tools=${2:-i686-w64-mingw32}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for program in procferry.exe procferry-console.exe; do
  cp "$bin/$program" "$scratch/$program"
  "$tools-strip" "$scratch/$program"
  printf '%s: %d bytes stripped (%d as built)\n' "$program" \
    "$(stat -c %s "$scratch/$program")" "$(stat -c %s "$bin/$program")"
  # objdump lists each DLL as "DLL Name: x" followed by one line per import
  # (address, hint, name) and a blank line.
  "$tools-objdump" -p "$scratch/$program" | awk '
    /^The Import Tables/ { in_imports = 1; next }
    in_imports && /^The / { in_imports = 0 }
    in_imports && /DLL Name:/ { dll = $3; count[dll] = 0; order[++dlls] = dll; next }
    in_imports && dll != "" && NF >= 3 && $1 ~ /^[0-9a-f]+$/ { names[dll] = names[dll] " " $3; count[dll]++ ; next }
    in_imports && NF == 0 { dll = "" }
    END { for (i = 1; i <= dlls; i++) printf "  %s (%d):%s\n", order[i], count[order[i]], names[order[i]] }'
done
