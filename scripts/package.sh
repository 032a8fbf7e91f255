#!/usr/bin/env bash
# Makes the packages in dist/ (or QUILLON_DIST):
#   quillon_<version>_amd64.deb            CPack, from the Linux build folder, with the manual
#                                          pages the build made
#   quillon-<version>-windows-x86_64.zip   quillon.exe, quillon-cli.exe, quillon-sim.exe and
#                                          README.txt, for use without installing
#   quillon-<version>-windows-x86_64.msi   the same files as a Windows installer (wixl)
# With --check it then checks them: dpkg-deb --info and --contents, the programs unpacked with
# dpkg -x and run from there (--version, one conversion), the manual pages, lintian without
# errors or warnings, the zip's listing and programs, the installer's tables, and the
# installer under Wine (scripts/test-msi.sh: install over an older version, start, remove).
# Environment: QUILLON_LINUX_BUILD (default build), QUILLON_WIN_BUILD (default build-win),
# QUILLON_JOBS (default nproc).
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${QUILLON_LINUX_BUILD:-build}
win_build=${QUILLON_WIN_BUILD:-build-win}
dist=$(realpath -m "${QUILLON_DIST:-dist}")
jobs=${QUILLON_JOBS:-$(nproc)}
check=0
[[ ${1:-} == --check ]] && check=1

fail() {
    echo "package: FAILED: $*" >&2
    exit 1
}

echo "== Debian package =="
if [[ ! -f $linux_build/build.ninja ]]; then
    cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$linux_build" -j "$jobs"
version=$(sed -n 's/^#define QUILLON_VERSION_TEXT "\(.*\)"$/\1/p' \
    "$linux_build/generated/quillon_build_info.h")
build_text=$(sed -n 's/^#define QUILLON_BUILD_TEXT "\(.*\)"$/\1/p' \
    "$linux_build/generated/quillon_build_info.h")
[[ -n $version ]] || fail "no version in $linux_build"
[[ -x $linux_build/src/app/gui/quillon ]] || fail "the desktop application was not built"
mkdir -p "$dist"
rm -rf "$linux_build/packages"
(cd "$linux_build" && cpack -G DEB >cpack.log 2>&1) || fail "cpack: $(cat "$linux_build/cpack.log")"
deb=quillon_${version}_amd64.deb
[[ -f $linux_build/packages/$deb ]] || fail "cpack made no $deb: $(ls "$linux_build/packages")"
cp "$linux_build/packages/$deb" "$dist/"
echo "$dist/$deb"

echo "== Windows zip =="
QUILLON_WIN_BUILD=$win_build QUILLON_JOBS=$jobs scripts/build-windows.sh quillon quillon-cli quillon-sim
zip_name=quillon-$version-windows-x86_64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$zip_name"
cp "$win_build/src/app/gui/quillon.exe" "$win_build/src/app/cli/quillon-cli.exe" \
    "$win_build/tools/sim/quillon-sim.exe" "$stage/$zip_name/"
x86_64-w64-mingw32-strip "$stage/$zip_name"/*.exe
# Notepad wants CR LF.
sed -e "s/@VERSION@/$version/" -e "s/@BUILD@/$build_text/" -e 's/$/\r/' \
    res/windows/README.txt >"$stage/$zip_name/README.txt"
rm -f "$dist/$zip_name.zip"
(cd "$stage" && cmake -E tar cf "$dist/$zip_name.zip" --format=zip "$zip_name")
echo "$dist/$zip_name.zip"

echo "== Windows installer =="
command -v wixl >/dev/null || fail "wixl is missing (scripts/setup.sh --test installs it)"
msi_name=quillon-$version-windows-x86_64.msi
mkdir "$stage/msi"
cp "$stage/$zip_name"/* res/quillon.ico "$stage/msi/"
# wixl takes the files from the folder it runs in.
make_msi() {
    (cd "$stage/msi" && wixl -a x64 -D Version="$1" -o "$2" "$OLDPWD/res/windows/quillon.wxs") \
        >"$stage/wixl.log" 2>&1 || fail "wixl: $(cat "$stage/wixl.log")"
}
make_msi "$version" "$dist/$msi_name"
echo "$dist/$msi_name"

[[ $check == 1 ]] || exit 0

echo "== checking $deb =="
dpkg-deb --info "$dist/$deb" | tee "$stage/info"
dpkg-deb --contents "$dist/$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$stage/contents"
programs=(quillon quillon-cli quillon-sim quillon-mkfw)
for path in "${programs[@]/#//usr/bin/}" "${programs[@]/#//usr/share/man/man1/}" \
    /usr/share/applications/quillon.desktop /usr/share/icons/hicolor/scalable/apps/quillon.svg \
    /usr/share/doc/quillon/README.Debian /usr/share/doc/quillon/copyright \
    /usr/share/doc/quillon/changelog.gz; do
    [[ $path != */man1/* ]] || path+=.1.gz
    grep -qxF "$path" "$stage/contents" || fail "$deb lacks $path"
done
depends=$(sed -n 's/^ Depends: //p' "$stage/info")
for lib in libc6 libstdc++6 libqt6widgets6 libudev1; do
    [[ $depends == *"$lib "* || $depends == *"$lib" || $depends == *"$lib,"* ]] ||
        fail "Depends does not name $lib (shlibdeps): $depends"
done
dpkg -x "$dist/$deb" "$stage/root"
grep -q dialout "$stage/root/usr/share/doc/quillon/README.Debian" ||
    fail "no note on the dialout group"
cli=$stage/root/usr/bin/quillon-cli
[[ $("$cli" --version) == "quillon-cli $version (build $build_text)" ]] ||
    fail "quillon-cli --version printed '$("$cli" --version)'"
# quillon answers these before it needs a display.
for program in quillon quillon-sim quillon-mkfw; do
    [[ $("$stage/root/usr/bin/$program" --version) == "$program $version (build "*")" ]] ||
        fail "$program --version"
done
"$stage/root/usr/bin/quillon-mkfw" "$stage/Master_fw.mot" >/dev/null
"$stage/root/usr/bin/quillon-mkfw" --format bin "$stage/expected.bin" >/dev/null
"$cli" convert "$stage/Master_fw.mot" "$stage/image.bin" || fail "quillon-cli convert failed"
cmp "$stage/image.bin" "$stage/expected.bin" || fail "the unpacked quillon-cli converted wrongly"
echo "unpacked: quillon-cli --version and convert work"

# Each page names its program and has its options; quillon-cli's has its commands and the
# exit codes of flash (from flash --help, or while that has none from the README).
man_page() { gzip -dc "$stage/root/usr/share/man/man1/$1.1.gz"; }
for program in "${programs[@]}"; do
    page=$(man_page "$program")
    [[ $page == *$'\n.SH NAME\n'"${program//-/\\-} \\- "* && $page == *'\-\-version'* ]] ||
        fail "the manual page of $program has no NAME line or no options"
done
page=$(man_page quillon-cli)
for text in '.SH COMMANDS' '.SS "quillon\-cli flash' '.SH "EXIT STATUS"' 'the handshake failed'; do
    [[ $page == *"$text"* ]] || fail "quillon-cli(1) lacks '$text'"
done
# Exit codes that flash --help lists are taken from there instead (a stand-in program).
printf '%s\n' '#!/bin/sh' 'case "$*" in' \
    "'--help') printf 'Stand-in\nUsage: x [OPTIONS] SUBCOMMAND\n\nSubcommands:\n  flash  F\n' ;;" \
    "'flash --help') printf 'F\nUsage: x flash FILE\n\nExit codes:\n  0  done\n  9  odd ending\n' ;;" \
    'esac' >"$stage/stand-in"
chmod +x "$stage/stand-in"
res/man/make-page.sh quillon-cli "$stage/stand-in" 1 res/man/quillon-cli.h2m README.md \
    "$stage/stand-in.1.gz"
page=$(gzip -dc "$stage/stand-in.1.gz" | sed -n '/^\.SH "EXIT STATUS"/,/^\.SH /p')
[[ $page == *$'.TP\n9\nodd ending'* && $page != *"the transfer failed"* ]] ||
    fail "the exit codes of flash --help did not replace the README's: $page"
echo "manual pages: ${programs[*]}; EXIT STATUS follows flash --help"

lintian --fail-on error,warning --tag-display-limit 0 "$dist/$deb" >"$stage/lintian" 2>&1 ||
    lintian_rc=$?
sed 's/^/  /' "$stage/lintian"
errors=$(grep -c '^E:' "$stage/lintian" || true)
warnings=$(grep -c '^W:' "$stage/lintian" || true)
echo "lintian: $errors errors, $warnings warnings"
[[ ${lintian_rc:-0} == 0 && $errors == 0 && $warnings == 0 ]] ||
    fail "lintian reports errors or warnings"

echo "== checking $zip_name.zip =="
cmake -E tar tf "$dist/$zip_name.zip" | sort >"$stage/zip-list"
printf '%s\n' "$zip_name/" "$zip_name/README.txt" "$zip_name/quillon-cli.exe" \
    "$zip_name/quillon.exe" "$zip_name/quillon-sim.exe" | sort >"$stage/zip-expected"
diff "$stage/zip-expected" "$stage/zip-list" || fail "the zip holds other files"
mkdir "$stage/zip" && (cd "$stage/zip" && cmake -E tar xf "$dist/$zip_name.zip")
for exe in quillon.exe:GUI quillon-cli.exe:CUI quillon-sim.exe:CUI; do
    headers=$(x86_64-w64-mingw32-objdump -p "$stage/zip/$zip_name/${exe%:*}")
    [[ $headers == *"(Windows ${exe#*:})"* && $headers == *"DLL Name: KERNEL32.dll"* ]] ||
        fail "${exe%:*} in the zip is not a Windows ${exe#*:} program"
done
echo "zip: $(stat -c %s "$dist/$zip_name.zip") bytes"

echo "== checking $msi_name =="
msi_table() { msiinfo export "$dist/$msi_name" "$1" | tr -d '\r'; }
msi_table Property >"$stage/msi-property"
for row in ALLUSERS$'\t'1 ProductName$'\t'Quillon ProductVersion$'\t'"$version" \
    UpgradeCode$'\t'"{$(sed -n 's/.*UpgradeCode="\([^"]*\)".*/\1/p' res/windows/quillon.wxs)}"; do
    grep -qxF "$row" "$stage/msi-property" || fail "the installer's Property table lacks '$row'"
done
msi_table File | awk -F '\t' 'NR > 3 { print $3 }' | sort >"$stage/msi-files"
printf '%s\n' README.txt quillon-cli.exe quillon-sim.exe quillon.exe | sort |
    diff - "$stage/msi-files" || fail "the installer holds other files"
msi_table Shortcut | grep -q $'^[^\t]*\tProgramMenuFolder\tQuillon\t[^\t]*\t\[INSTALLDIR\]quillon.exe\t' ||
    fail "the installer has no Start menu shortcut to quillon.exe"
echo "msi: $(stat -c %s "$dist/$msi_name") bytes, version $version, per machine"
# An older version to be replaced: the same files under the lowest version there is.
[[ $version != 0.0.1 ]] || fail "version 0.0.1 leaves no older version to test the upgrade with"
make_msi 0.0.1 "$stage/quillon-0.0.1.msi"
scripts/test-msi.sh "$dist/$msi_name" "$stage/quillon-0.0.1.msi"
