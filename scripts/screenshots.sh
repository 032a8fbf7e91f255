#!/usr/bin/env bash
# Makes the README's screenshots (docs/*.png) on a virtual X display from real runs against the
# simulated inverter: the main window with the inverter and a sample firmware file chosen and
# summed up, the main window during a slow handshake, the progress window part-way, the
# failure box of an inverter that stops answering, the history window (with a run of
# quillon-cli made first) and the About box. Prints the history at the end.
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
cmake --build "$build" -j "$(nproc)" --target gui_screenshots quillon-sim quillon-mkfw quillon-cli

work=$(mktemp -d)
xvfb_pid=""
sim_pids=()
cleanup() {
    local pid
    for pid in "${sim_pids[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A private runtime folder: the simulator's link goes into its virtual ports folder, where
# the port list of the window finds it.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The runs go into a private history, never the user's own.
export XDG_DATA_HOME=$work/data

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s "$work/display" ]] && break
    sleep 0.1
done
[[ -s "$work/display" ]] || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY

# start_sim NAME [OPTIONS...]: a simulated inverter at 9600 baud; its link in sim_link. (Not
# run in a subshell, so that cleanup knows every simulator.)
start_sim() {
    local name=$1
    shift
    : >"$work/$name.out"  # there before the reading below, which may come before the child opens it
    "$build/tools/sim/quillon-sim" --target master --baud 9600 --name "$name" "$@" \
        >"$work/$name.out" 2>"$work/$name.err" &
    sim_pids+=($!)
    local link=""
    for _ in $(seq 100); do
        link=$(sed -n 's/^link: //p' "$work/$name.out")
        [[ -n "$link" ]] && break
        sleep 0.1
    done
    [[ -n "$link" ]] || { echo "quillon-sim did not start" >&2; cat "$work/$name.err" >&2; exit 1; }
    sim_link=$link
}
start_sim inverter
link=$sim_link
# This one stops answering after 150 blocks.
start_sim inverter-2 --fault block:150=silence
faulty=$sim_link
# This one does not answer the target's announcement.
start_sim inverter-3 --fault select=silence
silent=$sim_link

mkdir -p "$work/firmware"
firmware=$work/firmware/Master_V1.0.mot
"$build/tools/mkfw/quillon-mkfw" --target master --size 0x8000 "$firmware" >/dev/null

# A run from the command line first, so the history holds both front ends.
"$build/src/app/cli/quillon-cli" flash --port "$link" "$firmware" 2>/dev/null

mkdir -p "$root/docs"
QT_QPA_PLATFORM=xcb "$build/tools/screenshots/gui_screenshots" "$root/docs" "$link" "$faulty" "$silent" "$firmware"
echo
echo "quillon-cli history:"
"$build/src/app/cli/quillon-cli" history
