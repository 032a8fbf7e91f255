#!/usr/bin/env bash
# Builds Quillon, generates a sample Master firmware file, converts it with quillon-cli and
# shows the result: the image's size and signature, its first lines and the trace files.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${QUILLON_BUILD_DIR:-build}
echo "== build ($build) =="
# Tests and benchmarks are not needed here (and their packages may be missing); a build
# folder that already has them configured keeps them.
options=()
if ! grep -q '^QUILLON_TESTS:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    options+=(-DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF)
fi
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillon-cli quillon-mkfw

demo=$(mktemp -d "${TMPDIR:-/tmp}/quillon-demo-XXXXXX")
trap 'rm -rf "$demo"' EXIT

echo "== sample firmware =="
# A full 128 KiB Master image, bootloader version 0x12, records shuffled, some left out.
"$build/tools/mkfw/quillon-mkfw" "$demo/Master_demo.mot" --target master --boot-version 0x12 \
    --order shuffle --gaps --seed 7
echo "$demo/Master_demo.mot: $(wc -l <"$demo/Master_demo.mot") lines, $(stat -c %s "$demo/Master_demo.mot") bytes"
head -n 3 "$demo/Master_demo.mot"

echo "== convert =="
"$build/src/app/cli/quillon-cli" convert "$demo/Master_demo.mot" "$demo/Master_demo.bin" \
    --traces "$demo/traces"
echo "exit code 0: $demo/Master_demo.bin written"

echo "== result =="
size=$(stat -c %s "$demo/Master_demo.bin")
printf 'size: %d bytes (0x%x), a multiple of 64: %s\n' "$size" "$size" \
    "$([[ $((size % 64)) -eq 0 ]] && echo yes || echo no)"
echo "signature at 0x4000 (30 64 .. version):"
od -A x -t x1 -j $((0x4000)) -N 4 "$demo/Master_demo.bin" | head -n 1
echo "first lines of the image:"
od -A x -t x1 -N 64 "$demo/Master_demo.bin"
echo "trace files:"
ls -l "$demo/traces"
echo "first lines of fullmottmp.txt:"
head -n 3 "$demo/traces/fullmottmp.txt"
