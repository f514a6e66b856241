#!/usr/bin/env bash
# Runs the whole pytest suite against a build of the module with AddressSanitizer and
# UndefinedBehaviorSanitizer (VELOXEL_SANITIZE=ON, GCC). The build lives in its own environment,
# .venv-asan/ and build-asan/, so .venv is left alone. Any sanitizer report, or a leak of ours,
# fails the run.
#
# Usage: tools/sanitize_tests.sh [PYTEST ARGS...]     (after ./setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || { echo "run ./setup.sh first" >&2; exit 1; }

if [ ! -x .venv-asan/bin/python ]; then
    # The interpreter .venv was made from.
    "$(.venv/bin/python -c 'import sys; print(sys._base_executable)')" -m venv .venv-asan
fi
.venv-asan/bin/python -m pip install -q --upgrade pip
.venv-asan/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=3" cmake ninja
CC=gcc CXX=g++ SKBUILD_CMAKE_DEFINE="VELOXEL_SANITIZE=ON;VELOXEL_WERROR=ON" \
    .venv-asan/bin/python -m pip install -q --no-build-isolation \
    -C build-dir="build-asan/{wheel_tag}" ".[test]"

# The ASan runtime is preloaded from the compiler that built the module, and libstdc++ with it: the
# interpreter does not link libstdc++, and without it ASan cannot find the real __cxa_throw that its
# interceptor forwards every C++ exception to.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)"
# Python objects go through malloc so ASan sees them too. Allocation stacks are kept to a few
# frames so that the suppressions for the interpreter's own leaks cannot match a leak whose first
# frames are in veloxel. Failed allocations return null so that they become MemoryError as in a
# normal build.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:malloc_context_size=3:allocator_may_return_null=1:abort_on_error=0:strict_init_order=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
exec .venv-asan/bin/python -m pytest -p no:cacheprovider "$@"
