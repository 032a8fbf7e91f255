#!/usr/bin/env bash
# Builds and runs every test: once normally (warnings are errors), once under
# AddressSanitizer and UndefinedBehaviorSanitizer, then against the kernel's real USB serial
# driver in a QEMU guest, then the Windows build under Wine, then the two packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test

jobs=$(nproc)

echo "== format =="
# Every C++ file as .clang-format lays it out.
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

echo "== build =="
# Explicit options: a build folder that run.sh configured without tests is turned back.
cmake -S . -B build -G Ninja -DQUILLON_WERROR=ON -DQUILLON_TESTS=ON -DQUILLON_BENCH=ON >/dev/null
cmake --build build -j "$jobs"
echo "== tests =="
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build with -fsanitize=address,undefined =="
cmake -S . -B build-asan -G Ninja -DQUILLON_WERROR=ON -DQUILLON_SANITIZE=ON \
    -DQUILLON_TESTS=ON -DQUILLON_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j "$jobs"
echo "== tests under sanitizers =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

scripts/test-vm.sh build

scripts/test-windows.sh

echo "== packages =="
scripts/package.sh --check
