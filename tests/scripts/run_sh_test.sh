#!/usr/bin/env bash
# run.sh with a display and a GUI target opens the GUI, also when ninja lists the target first
# and then more than a pipe holds. Everything run.sh calls is a stand-in.
set -euo pipefail
fake=$(mktemp -d) && trap 'rm -rf "$fake"' EXIT
mkdir -p "$fake/scripts" "$fake/bin" "$fake/b/tools/sim" "$fake/b/tools/mkfw" "$fake/b/src/app/gui"
cp "$1/scripts/run.sh" "$fake/scripts/"
stub() { printf '#!/bin/sh\n%s\n' "$2" >"$1" && chmod +x "$1"; }
stub "$fake/scripts/setup.sh" 'exit 0'
stub "$fake/bin/cmake" 'exit 0'
stub "$fake/bin/ninja" 'echo "quillon: phony"; yes "other: phony" | head -c 1000000'
stub "$fake/b/tools/sim/quillon-sim" 'echo "link: /nowhere"; exec sleep 30'
stub "$fake/b/tools/mkfw/quillon-mkfw" 'exit 0'
stub "$fake/b/src/app/gui/quillon" 'echo "desktop application opened"'
out=$(cd "$fake" && PATH="$fake/bin:$PATH" DISPLAY=:99 QUILLON_BUILD_DIR=b bash scripts/run.sh 2>&1) || true
grep -q "desktop application opened" <<<"$out" || { echo "$out"; exit 1; }
