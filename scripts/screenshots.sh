#!/usr/bin/env bash
# Makes the README's screenshots (docs/*.png) on a virtual X display: the main window with
# the simulated inverter and a sample firmware file chosen, the progress window, the About box.
# --windows: the Windows main window instead, under Wine, ready to flash the simulator through
# COM7 (docs/windows-main-window.png, taken by the Windows tests' whole run).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if [[ ${1:-} == --windows ]]; then
    scripts/setup.sh --test
    exec scripts/test-windows.sh --screenshot "$root/docs/windows-main-window.png"
fi
build=${QUILLON_BUILD_DIR:-build}

scripts/setup.sh --test
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target gui_screenshots quillon-sim quillon-mkfw

work=$(mktemp -d)
xvfb_pid=""
sim_pid=""
cleanup() {
    [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A private runtime folder: the simulator's link goes into its virtual ports folder, where
# the port list of the window finds it.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s "$work/display" ]] && break
    sleep 0.1
done
[[ -s "$work/display" ]] || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY

"$build/tools/sim/quillon-sim" --target master --baud 9600 --name inverter >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
link=""
for _ in $(seq 100); do
    link=$(sed -n 's/^link: //p' "$work/sim.out")
    [[ -n "$link" ]] && break
    sleep 0.1
done
[[ -n "$link" ]] || { echo "quillon-sim did not start" >&2; cat "$work/sim.err" >&2; exit 1; }

mkdir -p "$work/firmware"
firmware=$work/firmware/Master_V1.0.mot
"$build/tools/mkfw/quillon-mkfw" --target master "$firmware" >/dev/null

mkdir -p "$root/docs"
QT_QPA_PLATFORM=xcb "$build/tests/gui/gui_screenshots" "$root/docs" "$link" "$firmware"
