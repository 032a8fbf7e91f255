#!/usr/bin/env bash
# Tests the Windows installer under Wine, in a private prefix on a private Xvfb display:
#   scripts/test-msi.sh NEW.msi OLDER.msi
# OLDER.msi is the same product with a lower version. It is installed first and NEW.msi
# over it, which must replace it (one entry in Programs and Features). Then the three
# programs must be in Program Files\Quillon with the Start menu shortcut, the installed
# quillon.exe must open its main window, and msiexec /x must remove all of it again.
#
# Safety: Wine maps COM1.. to /dev/ttyS0.., and /dev/ttyS0 is this machine's console. As in
# scripts/test-windows.sh, Wine's mount manager is disabled, so no COM name is mapped to a
# machine device, and a COM entry in the prefix is an error before quillon.exe starts (its
# port list only enumerates, but nothing here may lead to a real port). winemenubuilder is
# disabled too: the Start menu shortcut must not become a menu entry of this machine's user.
set -euo pipefail
started=$SECONDS

fail() {
    echo "test-msi: FAILED: $*" >&2
    exit 1
}

[[ $# == 2 && -f $1 && -f $2 ]] || fail "usage: $0 NEW.msi OLDER.msi"
new_msi=$(realpath "$1")
old_msi=$(realpath "$2")
cd "$(dirname "$0")/.."
for tool in wine wineboot wineserver msiinfo Xvfb xwininfo; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh --test installs it)"
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/quillon-msi.XXXXXX")
export WINEPREFIX=$tmp/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;mountmgr.sys=d;winemenubuilder.exe=d"
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

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
helper_pids+=($!)
for _ in $(seq 100); do
    [[ -s $tmp/display ]] && break
    sleep 0.1
done
[[ -s $tmp/display ]] || fail "Xvfb did not start: $(cat "$tmp/xvfb.log")"
export DISPLAY=":$(head -n1 "$tmp/display")"

wineserver -p >"$tmp/wineserver.log" 2>&1 &
server_started=1
wineboot -i >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed: $(cat "$tmp/wineboot.log")"
echo "Wine prefix $WINEPREFIX ready in $((SECONDS - started)) s"

no_com_names() {
    local entry
    for entry in "$WINEPREFIX"/dosdevices/*; do
        [[ $(basename "${entry,,}") != com* ]] ||
            fail "the prefix maps $(basename "$entry") to $(readlink "$entry")"
    done
}

# Output into files: Wine's helper processes would otherwise hold a pipe open.
msiexec() {
    local rc=0
    timeout 300 wine msiexec "$@" >"$tmp/msiexec.out" 2>&1 || rc=$?
    [[ $rc == 0 ]] || fail "msiexec $* ended with $rc: $(tr -d '\r' <"$tmp/msiexec.out")"
}
winpath() {
    echo "Z:${1//\//\\}"
}
product_code() {
    msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'
}
# The value NAME of the product's entry in Programs and Features, or nothing.
uninstall_value() {
    wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" /v "$2" \
        2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p" || true
}

dir="$WINEPREFIX/drive_c/Program Files/Quillon"
# Windows resolves the Start menu of a per-machine package to all users' one; Wine's installer
# always takes the installing user's (a known gap of Wine's msi.dll), so either counts here.
start_menus=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
    "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs")
programs=(quillon.exe quillon-cli.exe quillon-sim.exe)
old_code=$(product_code "$old_msi")
new_code=$(product_code "$new_msi")
[[ -n $old_code && -n $new_code && $old_code != "$new_code" ]] ||
    fail "the two installers need product codes of their own ('$old_code', '$new_code')"

echo "== msiexec /i $(basename "$old_msi") /qn, then $(basename "$new_msi") over it =="
msiexec /i "$(winpath "$old_msi")" /qn
[[ $(uninstall_value "$old_code" DisplayName) == Quillon ]] ||
    fail "the older version has no entry in Programs and Features"
msiexec /i "$(winpath "$new_msi")" /qn
[[ -z $(uninstall_value "$old_code" DisplayName) ]] ||
    fail "the older version is still installed beside the newer one"
name=$(uninstall_value "$new_code" DisplayName)
version=$(uninstall_value "$new_code" DisplayVersion)
echo "Programs and Features: $name $version ($new_code); the older version ($old_code) is gone"
[[ $name == Quillon && $version == $(msiinfo export "$new_msi" Property | tr -d '\r' |
    sed -n 's/^ProductVersion\t//p') ]] || fail "the entry reads '$name' '$version'"
[[ -n $(uninstall_value "$new_code" UninstallString) ]] || fail "the entry has no UninstallString"
for program in "${programs[@]}"; do
    [[ -f $dir/$program ]] || fail "Program Files\\Quillon\\$program was not installed"
done
ls -l "$dir" | sed 1d
shortcut=""
for menu in "${start_menus[@]}"; do
    [[ -f $menu/Quillon.lnk ]] && shortcut=$menu/Quillon.lnk
done
[[ -n $shortcut ]] || fail "no Start menu shortcut: $(find "$WINEPREFIX/drive_c" -name '*.lnk')"
# The link leads to the installed program.
grep -qa 'Quillon.quillon\.exe' "$shortcut" || fail "the shortcut does not lead to quillon.exe"
echo "Start menu: ${shortcut#"$WINEPREFIX/drive_c/"}"

echo "== the installed quillon.exe =="
no_com_names
wine "C:\\Program Files\\Quillon\\quillon.exe" >"$tmp/quillon.out" 2>&1 &
gui_pid=$!
helper_pids+=("$gui_pid")
# Wine names the window before it maps it, and may keep unmapped windows of the
# same name: wait until one of them is viewable.
window="" state=""
for _ in $(seq 300); do
    while read -r id name; do
        window=$name
        state=$(xwininfo -id "$id" 2>/dev/null | sed -n 's/^ *Map State: //p')
        [[ $state == IsViewable ]] && break
    done < <(xwininfo -root -tree 2>/dev/null |
        sed -n 's/^ *\(0x[0-9a-f]*\) \("Quillon V[^"]*"\).*/\1 \2/p')
    [[ $state == IsViewable ]] && break
    kill -0 "$gui_pid" 2>/dev/null || fail "quillon.exe ended: $(cat "$tmp/quillon.out")"
    sleep 0.1
done
[[ -n $window ]] || fail "quillon.exe showed no main window in 30 s"
[[ $state == IsViewable ]] || fail "the main window $window is not shown in 30 s ($state)"
echo "main window $window: $state"
kill "$gui_pid" 2>/dev/null || true
wait "$gui_pid" 2>/dev/null || true
wineserver -w

echo "== msiexec /x $(basename "$new_msi") /qn =="
msiexec /x "$(winpath "$new_msi")" /qn
for program in "${programs[@]}"; do
    [[ ! -e $dir/$program ]] || fail "$program is still there after msiexec /x"
done
[[ ! -e $shortcut ]] || fail "the Start menu shortcut is still there"
[[ -z $(uninstall_value "$new_code" DisplayName) ]] ||
    fail "Programs and Features still lists Quillon"
[[ ! -e $dir ]] || fail "Program Files\\Quillon is left behind: $(ls -A "$dir")"
echo "removed: the programs, the shortcut, the entry and Program Files\\Quillon"
echo "== installer passed in $((SECONDS - started)) s =="
