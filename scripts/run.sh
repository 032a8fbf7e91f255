#!/usr/bin/env bash
# Builds Quillon, starts the bootloader simulator (a Master inverter at 9600 baud) in the
# virtual ports folder, writes a sample Master firmware file and opens the desktop
# application: choose the simulated inverter and the printed file, then press "Flash!".
# Without a display ($DISPLAY and $WAYLAND_DISPLAY empty) the same file is flashed with
# quillon-cli instead. The simulator is stopped at the end.
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
targets=(quillon-cli quillon-sim quillon-mkfw)
have_gui=0
# The list is read whole before it is searched: a search that stops at the first match would
# end ninja with SIGPIPE, which pipefail takes for "no GUI target".
all_targets=$'\n'$(ninja -C "$build" -t targets all 2>/dev/null || true)
if [[ $all_targets == *$'\n'quillon:* ]]; then
    targets+=(quillon)
    have_gui=1
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

demo=$(mktemp -d "${TMPDIR:-/tmp}/quillon-demo-XXXXXX")
sim_pid=""
cleanup() {
    if [[ -n "$sim_pid" ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$demo"
}
trap cleanup EXIT

echo "== simulator =="
# Its link goes into the virtual ports folder, where the window's port list finds it. The
# output file exists before the simulator starts: the loop below may read it first, and a
# missing file would end this script under set -e.
: >"$demo/sim.out"
"$build/tools/sim/quillon-sim" --target master --baud 9600 --name quillon-sim \
    >"$demo/sim.out" 2>"$demo/sim.err" &
sim_pid=$!
link=""
for _ in $(seq 100); do
    link=$(sed -n 's/^link: //p' "$demo/sim.out")
    [[ -n "$link" ]] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if [[ -z "$link" ]]; then
    echo "quillon-sim did not start:" >&2
    cat "$demo/sim.err" >&2
    exit 1
fi
echo "simulated inverter (Master, 9600 baud): $link"

echo "== sample firmware =="
# 32 KiB, so that the transfer takes about half a minute at 9600 baud.
firmware=$demo/Master_demo.mot
"$build/tools/mkfw/quillon-mkfw" "$firmware" --target master --size 0x8000 >/dev/null
echo "sample firmware file: $firmware"

if [[ $have_gui -eq 1 && (-n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}") ]]; then
    echo "== quillon =="
    echo "choose \"$(basename "$link") (virtual)\" and the file above, then press Flash!"
    "$build/src/app/gui/quillon"
else
    echo "== quillon-cli flash (no display) =="
    status=0
    "$build/src/app/cli/quillon-cli" flash --port "$link" "$firmware" || status=$?
    echo "quillon-cli exit code: $status"
    exit "$status"
fi
