#!/usr/bin/env bash
# The Windows side: cross-builds every target with mingw-w64 (the desktop application against
# the static Qt of scripts/build-qt-mingw.sh), runs the Windows test programs under Wine,
# flashes the Linux simulator once with quillon-cli.exe through a Wine COM port (plus one run
# that must fail), flashes quillon-sim.exe through a null-modem pair and over TCP, and once
# the Linux simulator from the desktop application's window. The GUI programs run on a
# private Xvfb display, inside a Wine virtual desktop.
#
# Safety: Wine maps COM1.. to /dev/ttyS0.., and /dev/ttyS0 is this machine's console. The
# prefix is a fresh private one with Wine's mount manager disabled, so no COM name is mapped
# to a machine device; the only COM names are links made here to pseudo-terminals, each
# checked before every Wine run. COM1 to COM4 are never used, and a missing link is an error,
# never a fallback to Wine's default device.
#
# Environment: QUILLON_WIN_BUILD (default build-win), QUILLON_LINUX_BUILD (default build: the
# simulator and the firmware generator come from there), QUILLON_JOBS (default nproc).
# Options: --screenshot FILE  saves a picture of the main window, ready to flash, as FILE.
#          --tests-only  builds without Qt (the project's toolchain alone) and runs only the
#                        test programs under Wine, for a quick check of the Windows lines.
set -euo pipefail
cd "$(dirname "$0")/.."

screenshot=""
tests_only=0
if [[ ${1:-} == --screenshot && -n ${2:-} ]]; then
    screenshot=$(realpath -m "$2")
elif [[ ${1:-} == --tests-only ]]; then
    tests_only=1
fi
win_build=${QUILLON_WIN_BUILD:-build-win}
linux_build=${QUILLON_LINUX_BUILD:-build}
jobs=${QUILLON_JOBS:-$(nproc)}
started=$SECONDS

fail() {
    echo "test-windows: FAILED: $*" >&2
    exit 1
}

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump wine wineboot wineserver \
    socat Xvfb; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh --test installs it)"
done

if [[ $tests_only == 1 ]]; then
    cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DQUILLON_WERROR=ON >/dev/null
    cmake --build "$win_build" -j "$jobs" --target image_tests serial_tests ports_tests \
        app_tests image_fuzz_replay telnet_fuzz_replay quillon-cli
else
    QUILLON_WIN_BUILD=$win_build QUILLON_JOBS=$jobs scripts/build-windows.sh

    # One file that needs no DLLs beside it: only system DLLs imported, and no console window.
    gui_exe=$win_build/src/app/gui/quillon.exe
    x86_64-w64-mingw32-objdump -p "$gui_exe" >"$win_build/quillon.exe.headers"
    grep -q '^Subsystem.*(Windows GUI)' "$win_build/quillon.exe.headers" ||
        fail "quillon.exe is not a GUI-subsystem program"
    dlls=$(sed -n 's/^\s*DLL Name: //p' "$win_build/quillon.exe.headers" | tr 'A-Z' 'a-z' | sort -u)
    system_dlls=" advapi32.dll authz.dll comctl32.dll comdlg32.dll d3d11.dll d3d9.dll dwmapi.dll \
dwrite.dll dxgi.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll netapi32.dll ole32.dll \
oleaut32.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll user32.dll userenv.dll \
uxtheme.dll version.dll winmm.dll ws2_32.dll wtsapi32.dll "
    for dll in $dlls; do
        # api-ms-win-*: the system's API sets
        [[ $system_dlls == *" $dll "* || $dll == api-ms-win-core-*.dll ]] ||
            fail "quillon.exe imports $dll, which Windows does not have"
    done
    echo "quillon.exe: $(stat -c %s "$gui_exe") bytes, GUI subsystem, imports:" $dlls
fi

echo "== Linux simulator and firmware generator ($linux_build) =="
if [[ ! -f $linux_build/build.ninja ]]; then
    cmake -S . -B "$linux_build" -G Ninja -DQUILLON_WERROR=ON >/dev/null
fi
cmake --build "$linux_build" -j "$jobs" --target quillon-sim quillon-mkfw
sim=$linux_build/tools/sim/quillon-sim
mkfw=$linux_build/tools/mkfw/quillon-mkfw

tmp=$(mktemp -d "${TMPDIR:-/tmp}/quillon-wine.XXXXXX")
export WINEPREFIX=$tmp/prefix
export WINEDEBUG=-all
# mscoree, mshtml: no installer prompts for .NET and Gecko. mountmgr.sys: see the top.
export WINEDLLOVERRIDES="mscoree,mshtml=;mountmgr.sys=d"
unset WAYLAND_DISPLAY
helper_pids=()
server_started=0

cleanup() {
    local pid
    for pid in "${helper_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    if [[ $server_started == 1 ]]; then
        wineserver -k 2>/dev/null || true  # this prefix's server and its programs only
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT

# COM names this script made, and the pseudo-terminal each one must lead to.
declare -A com_links=()

is_pty() {
    [[ $1 == /dev/pts/[0-9]* && -c $1 ]]
}

link_com() {
    local name=$1 pty=$2
    case ${name,,} in
        com1 | com2 | com3 | com4) fail "$name is never used: Wine maps it to a machine device" ;;
    esac
    is_pty "$pty" || fail "$pty is not a pseudo-terminal; refusing to link $name to it"
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/${name,,}"
    com_links[${name,,}]=$pty
}

# Every COM entry of the prefix must be one of ours, leading to its pseudo-terminal.
check_com_links() {
    local entry name target
    for entry in "$WINEPREFIX"/dosdevices/*; do
        name=$(basename "$entry")
        [[ ${name,,} == com* ]] || continue
        target=$(readlink -f "$entry" || true)
        [[ -n ${com_links[${name,,}]:-} ]] ||
            fail "unexpected $name -> $target in the Wine prefix"
        [[ $target == "${com_links[${name,,}]}" ]] && is_pty "$target" ||
            fail "$name leads to '$target', not to ${com_links[${name,,}]}"
    done
    for name in "${!com_links[@]}"; do
        [[ -L $WINEPREFIX/dosdevices/$name ]] || fail "$name is not linked (no fallback)"
    done
}

# wine with the links checked first; output into files (Wine's helper processes would
# otherwise hold a pipe open).
run_wine() {
    local out=$1 err=$2
    shift 2
    check_com_links
    local rc=0
    timeout 600 wine "$@" >"$out" 2>"$err" || rc=$?
    sed -i 's/\r$//' "$out" "$err"  # text-mode output ends its lines with CR LF
    return $rc
}

winpath() {
    local p
    p=$(readlink -f "$1")
    echo "Z:${p//\//\\}"
}

# A private X display for Wine (the GUI tests draw on it; the console programs do not care).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
helper_pids+=($!)
for _ in $(seq 100); do
    [[ -s $tmp/display ]] && break
    sleep 0.1
done
[[ -s $tmp/display ]] || fail "Xvfb did not start: $(cat "$tmp/xvfb.log")"
export DISPLAY=":$(head -n1 "$tmp/display")"

echo "== Wine prefix $WINEPREFIX =="
wine --version
wineserver -p >"$tmp/wineserver.log" 2>&1 &
server_started=1
wineboot -i >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed: $(cat "$tmp/wineboot.log")"
# Wine's own Tahoma (fonts-wine), which the dialog font maps to. Without it Wine falls back to
# the first font of the machine, whose line height pushes the text out of Qt's edit boxes.
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" ||
    fail "Wine's fonts are missing (scripts/setup.sh --test installs fonts-wine)"
# Windows drawn by Wine in one virtual desktop: frames and focus without a window manager.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
# The desktop is made when the server starts its first window: restart it to take the setting.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p >>"$tmp/wineserver.log" 2>&1 &
check_com_links
ls "$WINEPREFIX/dosdevices"

echo "== tests under Wine =="
# A null-modem pair for the serial tests: two pseudo-terminals joined by socat, reached as
# COM97 and COM98 (numbers for which Wine has no default device at all).
socat "pty,raw,echo=0,link=$tmp/null-a" "pty,raw,echo=0,link=$tmp/null-b" 2>"$tmp/socat.err" &
helper_pids+=($!)
for _ in $(seq 100); do
    [[ -L $tmp/null-a && -L $tmp/null-b ]] && break
    sleep 0.05
done
link_com com97 "$(readlink -f "$tmp/null-a")"
link_com com98 "$(readlink -f "$tmp/null-b")"

test_failures=0
run_test() {
    local exe=$1
    shift
    local name
    name=$(basename "$exe" .exe)
    local rc=0
    run_wine "$tmp/$name.out" "$tmp/$name.err" "$exe" "$@" || rc=$?
    echo "-- $name $*: exit $rc"
    grep -E '^\[==========\] [0-9]+ tests? from .* ran|^\[  (PASSED|FAILED|SKIPPED) ' \
        "$tmp/$name.out" || true
    # Everything the tests need is provided here, so a skipped test is a failure too.
    local skipped
    skipped=$(sed -n 's/^\[  SKIPPED \] \(.*\)$/\1/p' "$tmp/$name.out")
    if [[ -n $skipped ]]; then
        echo "skipped, but should have run: $skipped"
    fi
    if [[ $rc != 0 || -n $skipped ]]; then
        cat "$tmp/$name.out" "$tmp/$name.err"
        test_failures=$((test_failures + 1))
    fi
}

export QUILLON_TEST_COM_A='\\.\COM97' QUILLON_TEST_COM_B='\\.\COM98'
export QUILLON_TEST_PRIVATE_REGISTRY=1
run_test "$win_build/tests/image/image_tests.exe"
run_test "$win_build/tests/serial/serial_tests.exe"
run_test "$win_build/tests/protocol/protocol_tests.exe"
run_test "$win_build/tests/ports/ports_tests.exe"
run_test "$win_build/tests/app/app_tests.exe"
if [[ -f $win_build/fuzz/image/image_fuzz_replay.exe && -d fuzz/image/corpus ]]; then
    rc=0
    run_wine "$tmp/replay.out" "$tmp/replay.err" "$win_build/fuzz/image/image_fuzz_replay.exe" \
        "$(winpath fuzz/image/corpus)" || rc=$?
    echo "-- image_fuzz_replay corpus: exit $rc"
    tail -n 2 "$tmp/replay.out" "$tmp/replay.err"
    [[ $rc == 0 ]] || test_failures=$((test_failures + 1))
fi
rc=0
run_wine "$tmp/telnet.out" "$tmp/telnet.err" "$win_build/fuzz/serial/telnet_fuzz_replay.exe" \
    "$(winpath fuzz/serial/corpus)" || rc=$?
echo "-- telnet_fuzz_replay corpus: exit $rc"
tail -n 2 "$tmp/telnet.out" "$tmp/telnet.err"
[[ $rc == 0 ]] || test_failures=$((test_failures + 1))
rc=0
run_wine "$tmp/ports.out" "$tmp/ports.err" "$win_build/src/app/cli/quillon-cli.exe" ports || rc=$?
echo "-- quillon-cli.exe ports: exit $rc ($(wc -l <"$tmp/ports.out") ports listed)"
[[ $rc == 0 ]] || test_failures=$((test_failures + 1))
unset QUILLON_TEST_COM_A QUILLON_TEST_COM_B QUILLON_TEST_PRIVATE_REGISTRY
[[ $test_failures == 0 ]] || fail "$test_failures test program(s) failed under Wine"
if [[ $tests_only == 1 ]]; then
    echo "== Windows tests passed in $((SECONDS - started)) s =="
    exit 0
fi

echo "== quillon-cli.exe flash under Wine against quillon-sim =="
"$mkfw" "$tmp/Master_fw.mot" >/dev/null
"$mkfw" --format bin "$tmp/expected.bin" >/dev/null
cli=$win_build/src/app/cli/quillon-cli.exe

# Starts the simulator with the given options and links COM7 to its terminal.
start_sim() {
    : >"$tmp/sim.out"
    "$sim" --once --link "$tmp/sim-link" "$@" >"$tmp/sim.out" 2>"$tmp/sim.err" &
    sim_pid=$!
    helper_pids+=("$sim_pid")
    local pty=""
    for _ in $(seq 200); do
        pty=$(sed -n 's/^pty: //p' "$tmp/sim.out")
        [[ -n $pty ]] && break
        kill -0 "$sim_pid" 2>/dev/null || fail "quillon-sim ended early: $(cat "$tmp/sim.err")"
        sleep 0.05
    done
    [[ -n $pty ]] || fail "quillon-sim printed no terminal"
    link_com com7 "$pty"
}

# The simulator's verdict in sim_rc. A complete run ends it (given 30 s); a run the client
# gave up waits for a client that will not come back, so it is stopped.
wait_sim() {
    local wait_steps=$1
    for _ in $(seq "$wait_steps"); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$sim_pid" 2>/dev/null; then
        echo "stopping quillon-sim"
        kill "$sim_pid" 2>/dev/null || true
    fi
    sim_rc=0
    wait "$sim_pid" || sim_rc=$?
    # Its terminal is gone: so is the COM name that led to it.
    rm -f "$WINEPREFIX/dosdevices/com7"
    unset 'com_links[com7]'
}

start_sim --save-image "$tmp/saved.bin"
rc=0
run_wine "$tmp/flash.out" "$tmp/flash.err" "$cli" flash --port COM7 "$(winpath "$tmp/Master_fw.mot")" ||
    rc=$?
echo "-- quillon-cli.exe flash --port COM7 Master_fw.mot: exit $rc"
echo "stdout:"
sed 's/^/  /' "$tmp/flash.out"
echo "stderr:"
sed 's/^/  /' "$tmp/flash.err"
wait_sim 600
echo "quillon-sim: exit $sim_rc"
sed 's/^/  /' "$tmp/sim.err"
[[ $rc == 0 ]] || fail "flash ended with $rc, expected 0"
grep -qx 'Master Programming successfully !' "$tmp/flash.out" ||
    fail "no success message on stdout"
[[ $sim_rc == 0 ]] || fail "the simulator judged the run incorrect ($sim_rc)"
cmp "$tmp/saved.bin" "$tmp/expected.bin" || fail "the image the simulator received differs"
echo "received image equals the firmware's image ($(stat -c %s "$tmp/saved.bin") bytes)"

# The run is in the history under %LOCALAPPDATA% (of this private prefix), with the digest of
# the image the simulator received. The simulator has ended, so its COM link goes first.
rm -f "$WINEPREFIX/dosdevices/com7"
unset 'com_links[com7]'
rc=0
run_wine "$tmp/history.out" "$tmp/history.err" "$cli" history --json --last 1 || rc=$?
echo "-- quillon-cli.exe history --json --last 1: exit $rc"
sed 's/^/  /' "$tmp/history.out" "$tmp/history.err"
[[ $rc == 0 ]] || fail "history ended with $rc"
sha=$(sha256sum "$tmp/saved.bin" | cut -c1-64)
grep -q "\"sha256\":\"$sha\"" "$tmp/history.out" || fail "the history has not the image's SHA-256 $sha"
grep -q '"front_end":"cli".*"outcome":"success"' "$tmp/history.out" ||
    fail "the history has not the successful run"

echo "== failure: the bootloader stays silent (exit 5 expected) =="
start_sim --fault select=silence
rc=0
run_wine "$tmp/silent.out" "$tmp/silent.err" "$cli" flash --port COM7 \
    "$(winpath "$tmp/Master_fw.mot")" || rc=$?
echo "-- quillon-cli.exe flash --port COM7 Master_fw.mot: exit $rc"
sed 's/^/  /' "$tmp/silent.out" "$tmp/silent.err"
wait_sim 0
echo "quillon-sim: exit $sim_rc"
[[ $rc == 5 ]] || fail "a silent bootloader ended with $rc, expected 5"

echo "== quillon-cli.exe station: a scanned unit through COM7 =="
# A serial number on standard input, then its end: one unit, recorded under that serial.
start_sim --save-image "$tmp/saved-station.bin"
printf ' SN-W1 \n' >"$tmp/serials"
rc=0
run_wine "$tmp/station.out" "$tmp/station.err" "$cli" station --port COM7 --trigger scan \
    --operator Ann --work-order WO-9 "$(winpath "$tmp/Master_fw.mot")" <"$tmp/serials" || rc=$?
echo "-- quillon-cli.exe station --port COM7 --trigger scan Master_fw.mot: exit $rc"
sed 's/^/  /' "$tmp/station.out" "$tmp/station.err"
wait_sim 600
echo "quillon-sim: exit $sim_rc"
[[ $rc == 0 ]] || fail "the station ended with $rc, expected 0"
[[ $sim_rc == 0 ]] || fail "the simulator judged the station's run incorrect ($sim_rc)"
grep -Eq '  COM7  SN-W1 +success +[0-9.]+ s  [0-9a-f]{12}$' "$tmp/station.out" || fail "no success line for SN-W1"
grep -q '^1 unit: 1 passed, 0 failed; first-pass yield 100.0 %' "$tmp/station.out" ||
    fail "no station summary"
cmp "$tmp/saved-station.bin" "$tmp/expected.bin" || fail "the station sent another image"
rc=0
run_wine "$tmp/history.out" "$tmp/history.err" "$cli" history --json --unit SN-W1 || rc=$?
[[ $rc == 0 ]] || fail "history --unit ended with $rc"
sed 's/^/  /' "$tmp/history.out"
grep -q '"unit":"SN-W1","operator":"Ann","station":"[^"]*","work_order":"WO-9"' \
    "$tmp/history.out" || fail "the history has not the unit's record"
grep -q '"outcome":"success"' "$tmp/history.out" || fail "the unit's record is no success"

echo "== quillon-sim.exe under Wine =="
sim_exe=$win_build/tools/sim/quillon-sim.exe
# The machine's own ports, and names that are no COM port, are refused before anything is
# opened.
for name in COM1 '\\.\COM4' NUL; do
    rc=0
    run_wine "$tmp/simexe.out" "$tmp/simexe.err" "$sim_exe" --port "$name" || rc=$?
    echo "-- quillon-sim.exe --port $name: exit $rc"
    sed 's/^/  /' "$tmp/simexe.err"
    [[ $rc == 3 ]] && grep -Eq "one of the machine's own ports|is not a COM port name" \
        "$tmp/simexe.err" || fail "quillon-sim.exe did not refuse $name"
done

# Starts quillon-sim.exe in the background with the given options; waits for its first line.
start_sim_exe() {
    check_com_links
    : >"$tmp/simexe.out"
    wine "$sim_exe" --once --save-image "$(winpath "$tmp")\\saved-exe.bin" "$@" \
        >"$tmp/simexe.out" 2>"$tmp/simexe.err" &
    sim_pid=$!
    helper_pids+=("$sim_pid")
    for _ in $(seq 400); do
        [[ -s $tmp/simexe.out ]] && break
        kill -0 "$sim_pid" 2>/dev/null || fail "quillon-sim.exe ended early: $(cat "$tmp/simexe.err")"
        sleep 0.05
    done
    sed -i 's/\r$//' "$tmp/simexe.out"
    [[ -s $tmp/simexe.out ]] || fail "quillon-sim.exe printed nothing"
}

# The simulator on COM98 of the null-modem pair, flashed through COM97; then on TCP, flashed
# through socket://. Each time the image it saves is the firmware's.
for via in com tcp; do
    rm -f "$tmp/saved-exe.bin"
    if [[ $via == com ]]; then
        start_sim_exe --port COM98
        [[ $(cat "$tmp/simexe.out") == "port: COM98" ]] || fail "quillon-sim.exe printed $(cat "$tmp/simexe.out")"
        port='\\.\COM97'  # as the port list names COM10 and above
    else
        start_sim_exe --listen socket:0
        port=$(sed -n 's|^listen: \(socket://127\.0\.0\.1:[0-9]*\)$|\1|p' "$tmp/simexe.out")
        [[ -n $port ]] || fail "quillon-sim.exe printed $(cat "$tmp/simexe.out")"
    fi
    rc=0
    run_wine "$tmp/flash-exe.out" "$tmp/flash-exe.err" "$cli" flash --port "$port" \
        "$(winpath "$tmp/Master_fw.mot")" || rc=$?
    echo "-- quillon-cli.exe flash --port $port Master_fw.mot (quillon-sim.exe): exit $rc"
    sed 's/^/  /' "$tmp/flash-exe.out" "$tmp/flash-exe.err"
    sim_rc=0
    for _ in $(seq 600); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || sim_rc=$?
    echo "quillon-sim.exe: exit $sim_rc"
    sed 's/\r$//; s/^/  /' "$tmp/simexe.err"
    [[ $rc == 0 ]] || fail "flash through $port ended with $rc, expected 0"
    [[ $sim_rc == 0 ]] || fail "quillon-sim.exe judged the run through $port incorrect ($sim_rc)"
    cmp "$tmp/saved-exe.bin" "$tmp/expected.bin" || fail "quillon-sim.exe received another image"
    echo "quillon-sim.exe received the firmware's image through $port"
done

echo "== the desktop application's tests under Wine =="
# Qt Test programs: they pass when they exit 0 with nothing failed and nothing skipped
# (everything they need is provided here). Their log goes into a file (-o): on Windows Qt Test
# writes to the debugger, not to a redirected stdout.
run_qt_test() {
    local exe=$1 name rc=0 totals
    name=$(basename "$exe" .exe)
    : >"$tmp/$name.log"
    run_wine "$tmp/$name.out" "$tmp/$name.err" "$exe" -o "$(winpath "$tmp/$name.log"),txt" ||
        rc=$?
    sed -i 's/\r$//' "$tmp/$name.log"
    totals=$(grep -h '^Totals:' "$tmp/$name.log" || true)
    echo "-- $name: exit $rc; $totals"
    if [[ $rc != 0 || $totals != *" 0 failed, 0 skipped,"* ]]; then
        cat "$tmp/$name.log" "$tmp/$name.out" "$tmp/$name.err"
        fail "$name failed under Wine"
    fi
}
run_qt_test "$win_build/tests/app/gui/gui_window_tests.exe"

echo "== quillon's window under Wine: a whole run through COM7 to quillon-sim =="
start_sim --save-image "$tmp/saved-gui.bin"
# The firmware where a Windows user keeps it: on drive C:.
mkdir -p "$WINEPREFIX/drive_c/Firmware"
cp "$tmp/Master_fw.mot" "$WINEPREFIX/drive_c/Firmware/"
export QUILLON_TEST_SIM_COM=COM7 QUILLON_TEST_PRIVATE_REGISTRY=1
export QUILLON_TEST_FIRMWARE='C:\Firmware\Master_fw.mot'
if [[ -n $screenshot ]]; then
    mkdir -p "$(dirname "$screenshot")"
    export QUILLON_TEST_SCREENSHOT="Z:${screenshot//\//\\}"
fi
run_qt_test "$win_build/tests/app/gui/gui_com_run_tests.exe"
unset QUILLON_TEST_SIM_COM QUILLON_TEST_PRIVATE_REGISTRY QUILLON_TEST_FIRMWARE QUILLON_TEST_SCREENSHOT
wait_sim 600
echo "quillon-sim: exit $sim_rc"
sed 's/^/  /' "$tmp/sim.err"
[[ $sim_rc == 0 ]] || fail "the simulator judged the window's run incorrect ($sim_rc)"
cmp "$tmp/saved-gui.bin" "$tmp/expected.bin" || fail "the image the window sent differs"
echo "received image equals the firmware's image"
wine reg query 'HKCU\Software\Local AppWizard-Generated Applications\gui_com_run_tests\Config' \
    /v ComPortStr >"$tmp/reg.out" 2>&1 || true
sed -i 's/\r$//' "$tmp/reg.out"
grep -Eq '^\s*ComPortStr\s+REG_SZ\s+COM7$' "$tmp/reg.out" ||
    fail "ComPortStr is not COM7 in the registry: $(cat "$tmp/reg.out")"
echo "registry: ComPortStr = COM7"
if [[ -n $screenshot ]]; then
    [[ -s $screenshot ]] || fail "no screenshot in $screenshot"
    echo "screenshot: $screenshot"
fi

echo "== quillon-cli.exe flash through ser2net on 127.0.0.1 (Winsock) =="
command -v ser2net >/dev/null || fail "ser2net is missing (scripts/setup.sh --test installs it)"
# A TCP port on 127.0.0.1 that nothing answers on.
free_port() {
    local p
    for _ in $(seq 100); do
        p=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return
        fi
    done
    fail "no free TCP port on 127.0.0.1"
}
for mode in rfc2217 socket; do
    start_sim --save-image "$tmp/saved-$mode.bin"
    rc=0
    run_wine "$tmp/refused.out" "$tmp/refused.err" "$cli" flash \
        --port "$mode://127.0.0.1:$(free_port)" "$(winpath "$tmp/Master_fw.mot")" || rc=$?
    echo "-- $mode:// to a port nobody serves: exit $rc ($(tail -n 1 "$tmp/refused.err"))"
    [[ $rc == 4 ]] || fail "a refused connection ended with $rc, expected 4"
    port=$(free_port)
    accepter="tcp,127.0.0.1,$port"
    [[ $mode == rfc2217 ]] && accepter="telnet(rfc2217),$accepter"
    # Only this configuration (never the machine's), only the simulator's terminal.
    printf '%%YAML 1.1\n---\nconnection: &sim\n  accepter: %s\n  connector: serialdev,%s,9600n81,local\n' \
        "$accepter" "$(readlink -f "$tmp/sim-link")" >"$tmp/ser2net.yaml"
    ser2net -n -u -c "$tmp/ser2net.yaml" >"$tmp/ser2net.log" 2>&1 &
    ser2net_pid=$!
    helper_pids+=("$ser2net_pid")
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.05
    done
    rc=0
    run_wine "$tmp/net.out" "$tmp/net.err" "$cli" flash --port "$mode://127.0.0.1:$port" \
        "$(winpath "$tmp/Master_fw.mot")" || rc=$?
    echo "-- quillon-cli.exe flash --port $mode://127.0.0.1:$port Master_fw.mot: exit $rc"
    sed 's/^/  /' "$tmp/net.out"
    tail -n 2 "$tmp/net.err" | sed 's/^/  /'
    wait_sim 600
    kill "$ser2net_pid" 2>/dev/null || true
    wait "$ser2net_pid" 2>/dev/null || true
    [[ $rc == 0 ]] || fail "flash through $mode:// ended with $rc, expected 0"
    [[ $sim_rc == 0 ]] || fail "the simulator judged the $mode:// run incorrect ($sim_rc)"
    cmp "$tmp/saved-$mode.bin" "$tmp/expected.bin" || fail "the image received through $mode:// differs"
done

echo "== Windows part passed in $((SECONDS - started)) s =="
