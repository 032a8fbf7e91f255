#!/usr/bin/env bash
# Builds a fuzzer with clang (libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs it: the S-record conversion by default, the history reader with
# "history" first. The corpus grows in build-fuzz/corpus (build-fuzz/corpus-history), seeded
# from fuzz/image/corpus (fuzz/app/corpus). Further arguments go to libFuzzer, e.g.
#   scripts/fuzz.sh -runs=10000000
#   scripts/fuzz.sh history -max_total_time=600
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test

target=image
if [[ "${1:-}" == history ]]; then
    target=history
    shift
fi

build=${QUILLON_FUZZ_BUILD:-build-fuzz}
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" -DQUILLON_FUZZ=ON -DQUILLON_SANITIZE=ON \
    -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF -DQUILLON_GUI=OFF >/dev/null
cmake --build "$build" --target "${target}_fuzzer" -j "${QUILLON_JOBS:-2}"

if [[ $target == history ]]; then
    corpus="$build/corpus-history"
    mkdir -p "$corpus"
    cp -n fuzz/app/corpus/* "$corpus/"
    # A record's line is well under 1 KiB; longer inputs only repeat lines and slow the search.
    exec "$build/fuzz/app/history_fuzzer" -dict=fuzz/app/history.dict -max_len=1024 "$corpus" "$@"
fi

corpus="$build/corpus"
mkdir -p "$corpus"
cp -n fuzz/image/corpus/* "$corpus/"
# Each input is converted into a private folder; a memory file system keeps that cheap.
if [[ -z "${TMPDIR:-}" && -d /dev/shm && -w /dev/shm ]]; then
    export TMPDIR=/dev/shm
fi
exec "$build/fuzz/image/image_fuzzer" -dict=fuzz/image/mot.dict -max_len=4096 "$corpus" "$@"
