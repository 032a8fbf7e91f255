#!/usr/bin/env bash
# The Linux serial path against the kernel's real USB serial driver, without hardware: a QEMU
# guest (software emulation) runs Debian's kernel, whose ftdi_sio driver drives QEMU's emulated
# FTDI adapter on an emulated xHCI controller. The adapter's other end is a simulator's
# pseudo-terminal on this machine; QEMU's monitor plugs and pulls the adapter. The guest boots
# once and every case runs in it, driven from here through the monitor and the guest's console.
#
#   scripts/test-vm.sh BUILD_DIR
#
# Safety: the guest's console is a pair of FIFOs and its log a file, never a terminal of this
# machine; the only devices QEMU opens are the simulators' pseudo-terminals. Everything made
# lives in a temporary folder, removed at the end; a failed run keeps its logs there (console,
# QEMU's usb_serial_* trace, simulators) and prints the folder.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath "${1:?usage: scripts/test-vm.sh BUILD_DIR}")
cli=$build/src/app/cli/quillon-cli
sim=$build/tools/sim/quillon-sim
for tool in qemu-system-x86_64 socat busybox dpkg-deb; do
    command -v "$tool" >/dev/null || {
        echo "test-vm: $tool is missing (scripts/setup.sh --test installs it)" >&2
        exit 1
    }
done
[[ -x $cli && -x $sim ]] || { echo "test-vm: build $build first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-vm.XXXXXX")
pids=()
failures=0
started=$EPOCHREALTIME

cleanup() {
    local status=$?
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    exec 7>&-
    if [[ $status -eq 0 && $failures -eq 0 ]]; then
        rm -rf "$work"
    else
        rm -rf "$work/initramfs.cpio" "$work/kernel" "$work/console.in" "$work/console.out" \
            "$work/qmp.fifo"
        echo "test-vm: logs kept in $work (console.log, usb-serial-trace.log, sim-*.log)" >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

seconds_since() { # START [DECIMALS]: seconds since START
    awk -v a="$1" -v b="$EPOCHREALTIME" -v d="${2:-1}" 'BEGIN { printf "%.*f", d, b - a }'
}

# Waits until FILE holds a line matching the extended regular expression, at most SECONDS.
wait_for() { # FILE REGEX SECONDS
    local deadline=$((SECONDS + $3))
    until grep -Eq -- "$2" "$1" 2>/dev/null; do
        ((SECONDS < deadline)) || return 1
        sleep 0.02
    done
}

# Each case prints one line (its verdict, time and figures), then the checks that failed.
case_name=""
case_started=""
case_errors=""
case_notes=""
begin_case() {
    case_name=$1
    case_started=$EPOCHREALTIME
    case_errors=""
    case_notes=""
}
note() { case_notes+=" $*"; }
check() { # STATUS MESSAGE: a failed check when STATUS is not 0
    if [[ $1 -ne 0 ]]; then
        case_errors+="      failed: $2"$'\n'
        failures=$((failures + 1))
    fi
}
expect() { # MESSAGE COMMAND...: the check passes when the command succeeds
    local message=$1 status=0
    shift
    "$@" || status=$?
    check "$status" "$message"
}
end_case() { # [SECONDS]: the case's time, when not the time since begin_case
    local verdict=ok
    [[ -z $case_errors ]] || verdict=FAILED
    printf '  %-34s %-6s %5s s%s\n' "$case_name" "$verdict" \
        "${1:-$(seconds_since "$case_started")}" "$case_notes"
    printf '%s' "$case_errors"
}

echo "== real driver: QEMU guest with an emulated FTDI adapter =="
image_started=$EPOCHREALTIME
scripts/vm-image.sh "$build" "$work" | sed 's/^/  /'
echo "  guest image made in $(seconds_since "$image_started") s"

# Two simulated inverters: A answers at once, B holds the handshake and block 40 back (so a
# port is surely held, and a transfer surely under way, when the adapter is pulled).
start_sim() { # NAME ARGS...
    local name=$1
    shift
    "$sim" --link "$work/sim-$name" "$@" >"$work/sim-$name.out" 2>"$work/sim-$name.log" &
    pids+=($!)
    wait_for "$work/sim-$name.out" '^pty: ' 10 || { echo "test-vm: simulator $name did not start"; exit 1; }
}
start_sim A --save-image "$work/received-A.bin"
start_sim B --fault size:1=delay:3500 --fault block:40=delay:3000
pty_a=$(sed -n 's/^pty: //p' "$work/sim-A.out")
pty_b=$(sed -n 's/^pty: //p' "$work/sim-B.out")

# The console: QEMU reads the guest's input from console.in and writes its output to
# console.out (FIFOs it holds open itself); a reader copies the output into console.log.
mkfifo "$work/console.in" "$work/console.out" "$work/qmp.fifo"
touch "$work/console.log"
cat "$work/console.out" >>"$work/console.log" &
pids+=($!)
bios=()
[[ -f /usr/share/qemu/qboot.rom ]] && bios=(-bios /usr/share/qemu/qboot.rom)  # faster to start
boot_started=$EPOCHREALTIME
qemu-system-x86_64 -accel tcg -machine pc -m 256 -smp 1 "${bios[@]}" \
    -nodefaults -no-user-config -display none -no-reboot \
    -chardev pipe,id=console,path="$work/console" -serial chardev:console \
    -chardev socket,id=qmp,path="$work/qmp.sock",server=on,wait=off -mon chardev=qmp,mode=control \
    -chardev serial,id=simA,path="$pty_a" -chardev serial,id=simB,path="$pty_b" \
    -device qemu-xhci,id=xhci -device usb-serial,id=adapter,chardev=simB,bus=xhci.0 \
    -msg timestamp=on -trace enable='usb_serial_*',file="$work/usb-serial-trace.log" \
    -kernel "$work/kernel" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet panic=-1 cryptomgr.notests mitigations=off tsc=reliable" \
    </dev/null >"$work/qemu.log" 2>&1 &
qemu=$!
pids+=($qemu)

# QMP through one connection that stays open: fd 7 keeps the FIFO socat reads from open.
wait_for_socket() {
    local deadline=$((SECONDS + 10))
    until [[ -S $work/qmp.sock ]]; do
        ((SECONDS < deadline)) || return 1
        sleep 0.02
    done
}
wait_for_socket || { cat "$work/qemu.log"; echo "test-vm: QEMU did not start"; exit 1; }
socat - "UNIX-CONNECT:$work/qmp.sock" <"$work/qmp.fifo" >"$work/qmp.log" 2>&1 &
pids+=($!)
exec 7<>"$work/qmp.fifo"
qmp_replies=0
qmp() { # JSON: sends one command; waits for its answer; fails on an error answer
    printf '%s\n' "$1" >&7
    qmp_replies=$((qmp_replies + 1))
    local deadline=$((SECONDS + 10))
    until (($(grep -Ec '^\{"(return|error)"' "$work/qmp.log") >= qmp_replies)); do
        ((SECONDS < deadline)) || { echo "test-vm: no answer to $1"; return 1; }
        sleep 0.02
    done
    ! grep -E '^\{"(return|error)"' "$work/qmp.log" | tail -n 1 | grep -q '^{"error"'
}
qmp '{"execute": "qmp_capabilities"}'

# Runs one command line in the guest; its output (both streams) is left in $work/out.ID,
# its status in $guest_status. At most SECONDS (default 60).
guest_count=0
guest_status=0
guest() { # COMMAND [SECONDS]
    guest_count=$((guest_count + 1))
    local id=$guest_count
    printf '%s %s\n' "$id" "$(base64 -w 0 <<<"$1")" >"$work/console.in"
    if ! wait_for "$work/console.log" "^@@end $id " "${2:-60}"; then
        echo "test-vm: the guest did not finish: $1"
        exit 1
    fi
    sed -n "/^@@begin $id\$/,/^@@end $id /p" "$work/console.log" | sed '1d;$d' >"$work/out.$id"
    guest_status=$(sed -n "s/^@@end $id //p" "$work/console.log")
    last_out=$work/out.$id
}

if ! wait_for "$work/console.log" '^@@ready' 180; then
    tail -n 20 "$work/console.log"
    echo "test-vm: the guest did not boot"
    failures=1
    exit 1
fi
guest 'for i in $(seq 500); do test -e /sys/class/tty/ttyUSB0 && break; usleep 20000; done
       test -e /sys/class/tty/ttyUSB0'
if [[ $guest_status -ne 0 ]]; then
    echo "test-vm: the adapter was not attached to ttyUSB0"
    failures=1
    exit 1
fi
echo "  guest booted, adapter attached: $(seconds_since "$boot_started") s"
if grep -q '^@@failed' "$work/console.log"; then
    grep '^@@failed' "$work/console.log"
    failures=1
    exit 1
fi

adapter='QEMU USB SERIAL (ttyUSB0)'
latency=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
flash='quillon-cli flash --port /dev/ttyUSB0 /fw/Master_vm.mot'
# The device node as udev leaves it on Debian (there is no udev in the guest).
as_udev='chgrp dialout /dev/ttyUSB0 && chmod 0660 /dev/ttyUSB0'

begin_case "ports lists the adapter"
guest 'quillon-cli ports; for t in /sys/class/tty/ttyS[1-3]; do cat $t/type; done'
expect "ports exits 0" test "$guest_status" -eq 0
printf '%s\t%s\n' "$adapter" /dev/ttyUSB0 'Serial port (ttyS0)' /dev/ttyS0 >"$work/ports.expected"
# The 8250 driver's ports without hardware exist (type 0) but are not listed.
printf '0\n0\n0\n' >>"$work/ports.expected"
expect "the list is the adapter and ttyS0 only: $(tr '\n\t' '|>' <"$last_out")" \
    cmp -s "$last_out" "$work/ports.expected"
end_case

begin_case "ports --watch starts"
guest '(sh -c "echo \$\$ >/tmp/watch.pid; exec quillon-cli ports --watch" >/tmp/watch.out 2>/tmp/watch.err
        echo $? >/tmp/watch.status) &
       for i in $(seq 100); do grep -q Watching /tmp/watch.err && break; usleep 50000; done
       cat /tmp/watch.err'
# No udev daemon runs in the guest: the monitor takes the kernel's own events.
expect "the watch follows the kernel's events: $(cat "$last_out")" \
    grep -q 'device events: kernel' "$last_out"
end_case

# One run on inverter B holds the port: while its handshake waits (the size step), a second
# run tries the same port; when block 40 is held back, the adapter is pulled.
begin_case "unplug mid-transfer"
guest "cat $latency"
latency_idle=$(cat "$last_out")
guest "($flash >/tmp/held.out 2>&1; echo \"@@bg held \$?\") &"
wait_for "$work/sim-B.log" 'injecting size:1=delay' 60 || check 1 "the held run reached no size step"
# Not waited for here: the adapter is pulled while block 40 is held back, whenever that comes.
# The flat image: no conversion before the port is opened.
busy_command="cat $latency; a=\$(cut -d' ' -f1 /proc/uptime); ${flash%.mot}.bin
              echo \"@@busy \$? \$a \$(cut -d' ' -f1 /proc/uptime)\""
printf '%s %s\n' busy "$(base64 -w 0 <<<"$busy_command")" >"$work/console.in"
wait_for "$work/sim-B.log" 'injecting block:40=delay' 60 || check 1 "the transfer reached no block 40"
pulled=$EPOCHREALTIME
qmp '{"execute": "device_del", "arguments": {"id": "adapter"}}' || check 1 "device_del failed"
if wait_for "$work/console.log" '^@@bg held ' 30; then
    ended_after=$(seconds_since "$pulled" 3)
    note "the run ended ${ended_after} s after the pull"
    expect "the run ends within 2 s of the pull" awk -v s="$ended_after" 'BEGIN { exit !(s <= 2.0) }'
    expect "exit 1 after the pull: $(grep '^@@bg held' "$work/console.log")" \
        grep -q '^@@bg held 1$' "$work/console.log"
else
    check 1 "the run did not end after the pull"
fi
guest 'cat /tmp/held.out; quillon-cli history --json --last 1'
expect "the transfer-failure ending" grep -q '^Programming Process Error.' "$last_out"
detail=$(grep '^[0-9]* of [0-9]* bytes were sent' "$last_out" || true)
expect "the hang-up named: $detail" \
    grep -Eq '^[0-9]+ of 16448 bytes were sent to /dev/ttyUSB0, then the line hung up \(read\)\. Check the cable, then flash again after 40 seconds\.$' <<<"$detail"
record=$(grep '^{' "$last_out" || true)
sent=$(sed -n 's/.*"bytes_sent": *\([0-9]*\).*/\1/p' <<<"$record")
total=$(sed -n 's/.*"bytes_total": *\([0-9]*\).*/\1/p' <<<"$record")
note "($sent of $total bytes recorded)"
expect "history: transfer-failed, the hang-up in its detail" \
    grep -q '"outcome": *"transfer-failed".*then the line hung up' <<<"$record"
expect "history: bytes sent under the total" \
    test "${sent:-0}" -gt 0 -a "${sent:-0}" -lt "${total:-0}" -a "${total:-0}" -eq 16448
end_case

begin_case "second flash on the held port"
wait_for "$work/console.log" '^@@busy ' 30 || check 1 "the second flash did not end"
busy_out=$(sed -n '/^@@begin busy$/,/^@@busy /p' "$work/console.log")
read -r _ busy_status busy_from busy_to <<<"$(grep '^@@busy ' <<<"$busy_out")"
note "latency timer $latency_idle idle, $(sed -n 2p <<<"$busy_out") held"
expect "low latency granted while held (latency timer 1)" \
    test "$(sed -n 2p <<<"$busy_out")" = 1 -a "$latency_idle" != 1
expect "exit 4, not $busy_status" test "$busy_status" = 4
expect "the busy text" grep -q '^/dev/ttyUSB0: flock: Device or resource busy\. Another program holds the port' <<<"$busy_out"
# Timed in the guest: it ran while the unplug case waited.
end_case "$(awk -v a="${busy_from:-0}" -v b="${busy_to:-0}" 'BEGIN { printf "%.1f", b - a }')"

begin_case "replug: listed again"
# Plugged in again, into inverter A this time.
qmp '{"execute": "device_add", "arguments": {"driver": "usb-serial", "id": "adapter", "chardev": "simA", "bus": "xhci.0"}}' ||
    check 1 "device_add failed"
replugged=$EPOCHREALTIME
guest 'for i in $(seq 200); do quillon-cli ports | grep -q ttyUSB0 && break; usleep 20000; done
       quillon-cli ports'
note "listed $(seconds_since "$replugged") s after the plug"
expect "listed $(seconds_since "$replugged") s after the plug: $(tr '\n\t' '|>' <"$last_out")" \
    grep -qFx "$(printf '%s\t%s' "$adapter" /dev/ttyUSB0)" "$last_out"
end_case

# The line settings the driver gave the adapter, from QEMU's trace from line FROM on: at the
# low-latency request (made once the settings are in) and at every change after it.
line_settings() { # FROM
    tail -n +"$1" "$work/usb-serial-trace.log" | awk '
        /got control 0x4009, value 0x1$/ && !at { at = 1; print "at: " baud " " data " " flow }
        /usb_serial_set_baud/ { baud = $NF; if (at && baud != 9600) bad = bad " baud " baud }
        /usb_serial_set_data/ { sub(/.*parity /, ""); data = $0
                                if (at && data != "N, data bits 8, stop bits 1") bad = bad " " data }
        /usb_serial_set_flow_control/ { flow = "flow " $NF; if (at && $NF != 0) bad = bad " " flow }
        END { if (!at) print "at: no low-latency request seen"; print "after:" bad }'
}

begin_case "flash through /dev/ttyUSB0"
# The adapter keeps its settings between opens: start from others, so that what the run sets
# is seen in the trace. The latency timer: the driver's (0 under QEMU), 1 with low latency.
guest "stty -F /dev/ttyUSB0 19200 cs7 parenb cstopb crtscts ixon; cat $latency"
latency_before=$(cat "$last_out")
trace_from=$(($(wc -l <"$work/usb-serial-trace.log") + 1))
rm -f "$work/received-A.bin"
guest "$flash 2>&1 | tail -n 2; cat $latency"
expect "exit 0: $(tr '\n' '|' <"$last_out")" grep -q '^Master Programming successfully !$' "$last_out"
expect "the simulator saved exactly the image" cmp -s "$work/received-A.bin" "$work/Master_vm.bin"
settings=$(line_settings "$trace_from")
expect "9600 8N1 without flow control: $(tr '\n' ' ' <<<"$settings")" \
    test "$settings" = "$(printf 'at: 9600 N, data bits 8, stop bits 1 flow 0\nafter:')"
expect "the old settings were there before the run (trace sees changes)" \
    grep -q 'baud rate 19200' <(tail -n +"$trace_from" "$work/usb-serial-trace.log")
latency_after=$(tail -n 1 "$last_out")
expect "low latency given back on close (latency timer $latency_before before, $latency_after after)" \
    test "$latency_after" = "$latency_before"
end_case

begin_case "dialout: a user may flash"
rm -f "$work/received-A.bin"
guest "$as_udev; su visitor -c '$flash'; echo \"@@visitor \$?\"; su tech -c '$flash' 2>&1 | tail -n 2"
expect "a user outside dialout is refused (exit 4)" grep -q '^@@visitor 4$' "$last_out"
expect "... and told to join dialout" grep -q 'You must belong to the group that owns the device (dialout' "$last_out"
expect "a user in dialout flashes" grep -q '^Master Programming successfully !$' "$last_out"
expect "... the whole image" cmp -s "$work/received-A.bin" "$work/Master_vm.bin"
end_case

begin_case "ports --watch saw it go and come"
guest 'kill -INT $(cat /tmp/watch.pid)
       for i in $(seq 100); do test -s /tmp/watch.status && break; usleep 50000; done
       cat /tmp/watch.out; exit $(cat /tmp/watch.status)'
line=$(printf '%s\t%s' "$adapter" /dev/ttyUSB0)
expect "one removal, then one arrival: $(tr '\n\t' '|>' <"$last_out")" \
    test "$(cat "$last_out")" = "$(printf -- '- %s\n+ %s' "$line" "$line")"
expect "it ended on SIGINT with exit 0 (not $guest_status)" test "$guest_status" -eq 0
end_case

# A station slot on the adapter: the unit there is flashed at once; the adapter pulled and
# plugged back in is the next unit, flashed again; SIGINT then ends the station.
begin_case "station: a unit, pulled, the next"
rm -f "$work/received-A.bin"
guest '(sh -c "echo \$\$ >/tmp/station.pid; exec quillon-cli station --port /dev/ttyUSB0 --operator vm --work-order WO-VM /fw/Master_vm.mot" >/tmp/station.out 2>/tmp/station.err
        echo $? >/tmp/station.status) &
       for i in $(seq 600); do test "$(grep -c " success " /tmp/station.out)" -ge 1 && break; usleep 50000; done
       cat /tmp/station.out'
expect "the unit there at the start is flashed: $(tr '\n' '|' <"$last_out")" \
    test "$(grep -c ' success ' "$last_out")" -eq 1
expect "... the whole image" cmp -s "$work/received-A.bin" "$work/Master_vm.bin"
rm -f "$work/received-A.bin"
qmp '{"execute": "device_del", "arguments": {"id": "adapter"}}' || check 1 "device_del failed"
guest 'for i in $(seq 200); do test -e /dev/ttyUSB0 || break; usleep 20000; done; test ! -e /dev/ttyUSB0'
expect "the adapter went away" test "$guest_status" -eq 0
qmp '{"execute": "device_add", "arguments": {"driver": "usb-serial", "id": "adapter", "chardev": "simA", "bus": "xhci.0"}}' ||
    check 1 "device_add failed"
replugged=$EPOCHREALTIME
guest 'for i in $(seq 600); do test "$(grep -c " success " /tmp/station.out)" -ge 2 && break; usleep 50000; done
       kill -INT $(cat /tmp/station.pid)
       for i in $(seq 200); do test -s /tmp/station.status && break; usleep 50000; done
       cat /tmp/station.out; quillon-cli history --json --work-order WO-VM; exit $(cat /tmp/station.status)'
note "the next unit ended $(seconds_since "$replugged") s after the plug"
expect "the plugged-in unit is flashed as the next: $(tr '\n' '|' <"$last_out")" \
    test "$(grep -c ' success ' "$last_out")" -eq 2
expect "... the whole image" cmp -s "$work/received-A.bin" "$work/Master_vm.bin"
expect "the summary: 2 units, both passed" grep -q '^2 units: 2 passed, 0 failed' "$last_out"
expect "exit 0 after SIGINT (not $guest_status)" test "$guest_status" -eq 0
expect "two records of the work order, by the operator" \
    test "$(grep -c '"outcome": *"success".*"operator": *"vm".*"work_order": *"WO-VM"' "$last_out")" -eq 2
end_case

guest 'dmesg' 30
mv "$last_out" "$work/dmesg.log"
qmp '{"execute": "quit"}' || true
wait "$qemu" 2>/dev/null || true
echo "  VM part: $(seconds_since "$started") s in all"
if [[ $failures -ne 0 ]]; then
    echo "test-vm: $failures check(s) failed"
    exit 1
fi
