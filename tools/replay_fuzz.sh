#!/usr/bin/env bash
# Builds the fuzz targets with GCC (ASan and UBSan, the replay main instead of libFuzzer) into
# build-replay/ and runs the seeds, the real files and any corpus in fuzz/corpus/ through each.
#
# Usage: tools/replay_fuzz.sh [FILE_OR_DIR...]     (default: fuzz/corpus and the real files)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake=cmake
[ -x .venv/bin/cmake ] && cmake=.venv/bin/cmake
[ -x .venv/bin/ninja ] && export PATH="$PWD/.venv/bin:$PATH"
CC=gcc CXX=g++ "$cmake" -S . -B build-replay -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOXEL_MODULE=OFF \
    -DVELOXEL_FUZZ=ON -DVELOXEL_SANITIZE=ON -DVELOXEL_WERROR=ON >/dev/null
"$cmake" --build build-replay

inputs=("$@")
if [ "${#inputs[@]}" -eq 0 ]; then
    python=python3
    [ -x .venv/bin/python ] && python=.venv/bin/python
    "$python" tools/make_fuzz_seeds.py >/dev/null
    inputs=(fuzz/corpus)
    [ -d ../shared/testdata/real ] && inputs+=(../shared/testdata/real)
fi
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in fuzz_header fuzz_load fuzz_ascii fuzz_compressed fuzz_kinds_agree; do
    printf '%-18s ' "$target"
    "build-replay/fuzz/$target" "${inputs[@]}"
done
