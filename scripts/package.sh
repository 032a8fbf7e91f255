#!/usr/bin/env bash
# Makes the two packages in dist/ (or QUILLON_DIST):
#   quillon_<version>_amd64.deb            CPack, from the Linux build folder
#   quillon-<version>-windows-x86_64.zip   quillon.exe, quillon-cli.exe, quillon-sim.exe and
#                                          README.txt
# With --check it then checks them: dpkg-deb --info and --contents, the programs unpacked with
# dpkg -x and run from there (--version, one conversion), lintian without errors, and the
# zip's listing and programs.
# Environment: QUILLON_LINUX_BUILD (default build), QUILLON_WIN_BUILD (default build-win),
# QUILLON_JOBS (default nproc).
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${QUILLON_LINUX_BUILD:-build}
win_build=${QUILLON_WIN_BUILD:-build-win}
dist=${QUILLON_DIST:-dist}
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
(cd "$stage" && cmake -E tar cf "$OLDPWD/$dist/$zip_name.zip" --format=zip "$zip_name")
echo "$dist/$zip_name.zip"

[[ $check == 1 ]] || exit 0

echo "== checking $deb =="
dpkg-deb --info "$dist/$deb" | tee "$stage/info"
dpkg-deb --contents "$dist/$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$stage/contents"
for path in /usr/bin/quillon /usr/bin/quillon-cli /usr/bin/quillon-sim /usr/bin/quillon-mkfw \
    /usr/share/applications/quillon.desktop /usr/share/icons/hicolor/scalable/apps/quillon.svg \
    /usr/share/doc/quillon/README.Debian /usr/share/doc/quillon/copyright \
    /usr/share/doc/quillon/changelog.gz; do
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
for program in quillon-sim quillon-mkfw; do
    [[ $("$stage/root/usr/bin/$program" --version) == "$program $version (build "*")" ]] ||
        fail "$program --version"
done
"$stage/root/usr/bin/quillon-mkfw" "$stage/Master_fw.mot" >/dev/null
"$stage/root/usr/bin/quillon-mkfw" --format bin "$stage/expected.bin" >/dev/null
"$cli" convert "$stage/Master_fw.mot" "$stage/image.bin" || fail "quillon-cli convert failed"
cmp "$stage/image.bin" "$stage/expected.bin" || fail "the unpacked quillon-cli converted wrongly"
echo "unpacked: quillon-cli --version and convert work"
lintian --fail-on error --tag-display-limit 0 "$dist/$deb" >"$stage/lintian" 2>&1 || {
    cat "$stage/lintian"
    fail "lintian reports errors"
}
echo "lintian: $(grep -c '^E:' "$stage/lintian" || true) errors, $(grep -c '^W:' "$stage/lintian" || true) warnings"
sed 's/^/  /' "$stage/lintian"

echo "== checking $zip_name.zip =="
cmake -E tar tf "$dist/$zip_name.zip" | sort >"$stage/zip-list"
printf '%s\n' "$zip_name/" "$zip_name/README.txt" "$zip_name/quillon-cli.exe" \
    "$zip_name/quillon.exe" "$zip_name/quillon-sim.exe" | sort >"$stage/zip-expected"
diff "$stage/zip-expected" "$stage/zip-list" || fail "the zip holds other files"
mkdir "$stage/zip" && (cd "$stage/zip" && cmake -E tar xf "$OLDPWD/$dist/$zip_name.zip")
for exe in quillon.exe:GUI quillon-cli.exe:CUI quillon-sim.exe:CUI; do
    headers=$(x86_64-w64-mingw32-objdump -p "$stage/zip/$zip_name/${exe%:*}")
    [[ $headers == *"(Windows ${exe#*:})"* && $headers == *"DLL Name: KERNEL32.dll"* ]] ||
        fail "${exe%:*} in the zip is not a Windows ${exe#*:} program"
done
echo "zip: $(stat -c %s "$dist/$zip_name.zip") bytes"
