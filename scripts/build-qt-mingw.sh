#!/usr/bin/env bash
# Builds a static, minimal Qt 6 (qtbase: Core, Gui, Widgets, Test, the windows and offscreen
# platform plugins, the windowsvista style) for x86_64-w64-mingw32 from Debian's own
# qt6-base source package, the same version as the host tools that QT_HOST_PATH points at.
#
# The result is installed into a cache folder outside the clone, keyed by the source version
# and a hash of the patch and the configure options:
#   ${XDG_CACHE_HOME:-~/.cache}/quillon/qt-mingw-<version>-<hash>
# A second run finds it and returns at once. The install prefix is the only line printed on
# stdout; progress goes to stderr, the build's own output to a log in the work folder.
#
# Options: --print-prefix  print the prefix the build would use, build nothing.
# Environment: QUILLON_JOBS (default nproc).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
patch=$root/cmake/patches/qt6-base-mingw.patch
jobs=${QUILLON_JOBS:-$(nproc)}
triple=x86_64-w64-mingw32
host_cmake=/usr/lib/x86_64-linux-gnu/cmake

say() { echo "build-qt-mingw: $*" >&2; }
fail() {
    say "FAILED: $*"
    exit 1
}

SUDO=""
[[ "$(id -u)" -ne 0 ]] && SUDO="sudo"
apt_get() {
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# Everything else is off: no OpenGL, network, SQL, D-Bus, print support, and the third-party
# libraries are the bundled ones, so nothing from the build machine ends up in the programs.
configure_options=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DFEATURE_static_runtime=ON
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    -DQT_BUILD_TOOLS_WHEN_CROSSCOMPILING=OFF
    -DFEATURE_opengl=OFF
    -DINPUT_opengl=no
    -DFEATURE_vulkan=OFF
    -DFEATURE_direct2d=OFF
    -DFEATURE_network=OFF
    -DFEATURE_sql=OFF
    -DFEATURE_dbus=OFF
    -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF
    -DFEATURE_xml=OFF
    -DFEATURE_testlib=ON
    -DFEATURE_gui=ON
    -DFEATURE_widgets=ON
    -DFEATURE_accessibility=ON
    -DFEATURE_system_zlib=OFF
    -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_freetype=OFF
    -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_png=OFF
    -DFEATURE_system_jpeg=OFF
    -DFEATURE_jpeg=OFF
    -DFEATURE_system_doubleconversion=OFF
    -DFEATURE_icu=OFF
    -DFEATURE_glib=OFF
    -DFEATURE_zstd=OFF
)

[[ -f $patch ]] || fail "$patch is missing"
host_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev 2>/dev/null || true)
[[ -n $host_version ]] || fail "the host Qt (qt6-base-dev) is not installed (scripts/setup.sh)"
key=$( (cat "$patch" && printf '%s\n' "${configure_options[@]}") | sha256sum | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/quillon
prefix=$cache/qt-mingw-${host_version//[:~]/_}-$key

if [[ ${1:-} == --print-prefix ]]; then
    echo "$prefix"
    exit 0
fi
cached() {
    [[ -f $prefix/lib/cmake/Qt6/qt.toolchain.cmake && -f $prefix/.complete ]]
}
if cached; then
    say "cached: $prefix"
    echo "$prefix"
    exit 0
fi
# One build at a time: a second caller (the tests and the packages, say) waits for the first
# and then finds the cache.
mkdir -p "$cache"
exec 9>"$cache/qt-mingw-$key.lock"
if ! flock -n 9; then
    say "another run is building this Qt; waiting for it"
    flock 9
fi
if cached; then
    say "cached: $prefix"
    echo "$prefix"
    exit 0
fi

# Build dependencies: the host Qt tools (moc, rcc, uic and their CMake packages), the
# cross compiler, and what apt-get source and qtbase's configure step use.
needed=(qt6-base-dev qt6-base-dev-tools g++-mingw-w64-x86-64-posix
        cmake ninja-build perl dpkg-dev xz-utils patch)
missing=()
for p in "${needed[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
    say "installing ${missing[*]}"
    apt_get update -qq
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# A deb-src entry for this machine's own Debian suite, added when none is there.
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[[ -n $suite ]] || fail "no VERSION_CODENAME in /etc/os-release"
if ! apt-cache showsrc qt6-base >/dev/null 2>&1 ||
    [[ -z $(apt-cache showsrc qt6-base 2>/dev/null) ]]; then
    if ! grep -rqsE '^\s*(deb-src\b|Types:.*\bdeb-src\b)' /etc/apt/sources.list \
        /etc/apt/sources.list.d/; then
        mirror=$(grep -rhsE '^\s*URIs:\s*\S*/debian/?\s*$' /etc/apt/sources.list.d/*.sources |
            head -n1 | awk '{print $2}')
        if [[ -z $mirror ]]; then
            mirror=$(grep -hsE "^\s*deb\s.*\s$suite\s" /etc/apt/sources.list \
                /etc/apt/sources.list.d/*.list | grep -v '\[.*\]' | head -n1 | awk '{print $2}')
        fi
        mirror=${mirror:-http://deb.debian.org/debian}
        say "adding deb-src $mirror $suite $suite-updates main"
        printf '%s\n' "Types: deb-src" "URIs: $mirror" "Suites: $suite $suite-updates" \
            "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
            $SUDO tee /etc/apt/sources.list.d/quillon-deb-src.sources >/dev/null
    fi
    apt_get update -qq
fi

work=$cache/qt-mingw-work-$key
log=$work/build.log
rm -rf "$work"
mkdir -p "$work/src"
say "work folder $work (log: $log)"
started=$SECONDS

# The source of the host Qt's own version; apt-get source checks its signature.
(cd "$work/src" && apt-get source --only-source "qt6-base=$host_version" >>"$log" 2>&1) ||
    (cd "$work/src" && apt-get source --only-source qt6-base >>"$log" 2>&1) ||
    fail "apt-get source qt6-base: $(tail -n 5 "$log")"
src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
[[ -n $src ]] || fail "no qt6-base source folder after apt-get source"
say "source $(basename "$src")"
patch -d "$src" -p1 --forward <"$patch" >>"$log" 2>&1 || fail "the patch did not apply: $(tail -n 5 "$log")"

# Qt's cross build wants the toolchain of the target; the project's one serves, as it does
# for the programs. Host tools and their CMake packages come from the host Qt.
say "configuring"
cmake -S "$src" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR="$host_cmake" \
    "${configure_options[@]}" >>"$log" 2>&1 || fail "configure: $(tail -n 30 "$log")"
say "building with $jobs jobs"
cmake --build "$work/build" -j "$jobs" >>"$log" 2>&1 || fail "build: $(grep -m5 -A5 'error' "$log" || tail -n 30 "$log")"
rm -rf "$prefix"
cmake --install "$work/build" >>"$log" 2>&1 || fail "install: $(tail -n 20 "$log")"
[[ -f $prefix/lib/cmake/Qt6/qt.toolchain.cmake ]] || fail "no qt.toolchain.cmake under $prefix"
touch "$prefix/.complete"
say "built and installed in $((SECONDS - started)) s: $prefix"
rm -rf "$work"
echo "$prefix"
