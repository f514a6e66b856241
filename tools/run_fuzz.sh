#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan into build-fuzz/ and runs each one for a
# bounded time, one process at a time. Any crash, sanitizer report, broken property, leak, timeout
# or memory blow-up fails the run; its input is kept in fuzz/crashes/.
#
# Usage: tools/run_fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default: 60 s, every target)
# FUZZ_MAX_LEN sets the largest input in bytes (default 8192; longer seeds are cut there).
# Corpora grow in fuzz/corpus/<target>/ (git-ignored) and are reused by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(fuzz_header fuzz_load fuzz_ascii fuzz_compressed fuzz_kinds_agree)

cmake=cmake
[ -x .venv/bin/cmake ] && cmake=.venv/bin/cmake
generator=()
{ [ -x .venv/bin/ninja ] || command -v ninja >/dev/null; } && generator=(-G Ninja)
[ -x .venv/bin/ninja ] && export PATH="$PWD/.venv/bin:$PATH"
CC=clang CXX=clang++ "$cmake" -S . -B build-fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELOXEL_MODULE=OFF -DVELOXEL_FUZZ=ON -DVELOXEL_SANITIZE=ON -DVELOXEL_WERROR=ON >/dev/null
"$cmake" --build build-fuzz

python=python3
[ -x .venv/bin/python ] && python=.venv/bin/python
"$python" tools/make_fuzz_seeds.py >/dev/null
real=../shared/testdata/real
mkdir -p fuzz/crashes

total=0
for target in "${targets[@]}"; do
    mkdir -p "fuzz/corpus/$target"
    seeds=("fuzz/corpus/seeds")
    [ -d "$real" ] && seeds+=("$real")
    # This target builds its own records from the bytes; files are no use to it.
    [ "$target" = fuzz_kinds_agree ] && seeds=()
    log="fuzz/crashes/$target.log"
    echo "==> $target for ${seconds}s"
    # UBSan and ASan stop at the first report; 2 GiB of RSS or a 512 MiB malloc ends the run.
    if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -malloc_limit_mb=512 -max_len="${FUZZ_MAX_LEN:-8192}" -dict=fuzz/pcd.dict -print_final_stats=1 \
            -artifact_prefix="fuzz/crashes/$target-" "fuzz/corpus/$target" "${seeds[@]}" \
            >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "FAILED: $target (input and log in fuzz/crashes/)" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "    $runs executions"
    total=$((total + ${runs:-0}))
done
echo "==> $total executions in all, no findings"
