#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 into QUILLON_WIN_BUILD (default build-win):
# quillon.exe against the static Qt that scripts/build-qt-mingw.sh makes (or finds in its
# cache), found through Qt's qt.toolchain.cmake, which chain-loads cmake/mingw-w64.cmake.
# Arguments: the targets to build (default: all). Environment: QUILLON_JOBS (default nproc).
set -euo pipefail
cd "$(dirname "$0")/.."
win_build=${QUILLON_WIN_BUILD:-build-win}
jobs=${QUILLON_JOBS:-$(nproc)}

qt=$(scripts/build-qt-mingw.sh)
toolchain=$qt/lib/cmake/Qt6/qt.toolchain.cmake
[[ -f $toolchain ]] || { echo "build-windows: no $toolchain" >&2; exit 1; }

# A folder configured with another toolchain (an older Qt, or none) is configured afresh.
fresh=()
if [[ -f $win_build/CMakeCache.txt ]] &&
    ! grep -qxF "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$win_build/CMakeCache.txt" &&
    ! grep -qxF "CMAKE_TOOLCHAIN_FILE:UNINITIALIZED=$toolchain" "$win_build/CMakeCache.txt"; then
    fresh=(--fresh)
fi
echo "== Windows cross build ($win_build, mingw-w64, Qt in $qt) =="
cmake "${fresh[@]}" -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DQUILLON_GUI=ON \
    -DQUILLON_WERROR=ON >/dev/null
targets=()
for t in "$@"; do
    targets+=(--target "$t")
done
cmake --build "$win_build" -j "$jobs" "${targets[@]}"
