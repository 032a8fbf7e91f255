#!/usr/bin/env bash
# The README's command examples (the blocks marked <!-- example -->), pasted in order into a
# clean shell as a new user would: once with XDG_RUNTIME_DIR set, once without. Each pass has
# a /tmp of its own, so it neither meets nor leaves anything in the machine's. The only change
# made to the text: the simulator runs at full speed instead of 9600 baud.
set -uo pipefail
readme=$1
build=$(cd "$2" && pwd)
if ! unshare -m true 2>/dev/null; then
    echo "unshare -m is not allowed here: a private /tmp cannot be made" >&2
    exit 77
fi
work=$(mktemp -d "$build/readme-examples.XXXXXX")
trap 'rm -rf "$work"' EXIT
awk '/^<!-- example -->$/ { marked = 1; next }
     marked && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { inside = 0; marked = 0; next }
     inside { print }' "$readme" | sed 's/--baud 9600/--baud 0/' >"$work/examples.sh"
blocks=$(grep -c '^<!-- example -->$' "$readme")
if [[ $blocks -lt 3 ]] || ! grep -q 'quillon-cli flash' "$work/examples.sh"; then
    echo "only $blocks marked examples in $readme" >&2
    exit 1
fi
mkdir "$work/build"

status=0
for runtime in set unset; do
    # Everything the shell sees lives in its private /tmp (the build, which may itself be under
    # the machine's /tmp, is bound in as ./build first).
    vars=(HOME=/tmp/home PATH=/usr/bin:/bin LANG=C.UTF-8)
    if [[ $runtime == set ]]; then
        vars+=(XDG_RUNTIME_DIR=/tmp/run)
    fi
    # -e: a command that fails fails the pass; the simulators end with the shell.
    (cd "$work" && env -i "${vars[@]}" unshare -m --propagation private bash -c '
        mount --bind "$1" build && mount -t tmpfs tmpfs /tmp || exit 1
        mkdir -m 700 /tmp/home ${XDG_RUNTIME_DIR:+/tmp/run}
        set --
        trap "kill \$(jobs -p) 2>/dev/null; wait" EXIT
        set -e
        . ./examples.sh' _ "$build") >"$work/out-$runtime" 2>&1
    code=$?
    out=$(cat "$work/out-$runtime")
    expect() {
        if [[ $out != *"$1"* ]]; then
            echo "XDG_RUNTIME_DIR $runtime: no \"$1\" in the output" >&2
            status=1
        fi
    }
    [[ $code -eq 0 ]] || { echo "XDG_RUNTIME_DIR $runtime: exit $code" >&2; status=1; }
    if [[ $runtime == set ]]; then
        expect "link: /tmp/run/quillon/ports/quillon-sim"
    else
        expect "link: /tmp/quillon-$(id -u)/ports/quillon-sim"
    fi
    expect "quillon-sim (virtual)"
    expect "Master Programming successfully !"
    expect "The inverter answered as Master ('M'); this file is for the Slave."
    expect "exit 5"
    expect "4 of 4 ports succeeded."
    [[ $status -eq 0 ]] || { echo "$out" >&2; break; }
done
exit $status
