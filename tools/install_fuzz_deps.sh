#!/usr/bin/env bash
# Installs what the fuzzers and the sanitizer suite need beyond ./setup.sh on Debian 12 or 13:
# clang with its libFuzzer, ASan and UBSan runtimes (libclang-rt-<version>-dev, or on older
# archives libclang-common-<version>-dev) for tools/run_fuzz.sh, and GCC's ASan runtime (libasan,
# which g++ pulls in) for tools/sanitize_tests.sh. Installs only what is missing.
set -euo pipefail

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
apt_updated=0
apt_install() {
    if [ "$apt_updated" -eq 0 ]; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
        apt_updated=1
    fi
    echo "==> apt-get install $*"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}
in_archive() { apt-cache policy "$1" 2>/dev/null | grep -q 'Candidate: [0-9]'; }
has_runtime() {
    local lib
    lib=$(clang -print-file-name="$1" 2>/dev/null) && [ -f "$lib" ] && return 0
    # clang 14 names its runtimes by architecture inside one directory
    lib=$(clang -print-runtime-dir 2>/dev/null)/$(basename "$1" .a)-x86_64.a
    [ -f "$lib" ]
}

command -v clang >/dev/null || apt_install clang
command -v g++ >/dev/null || apt_install g++
# libasan.so, the link GCC preloads from, comes with libgcc-<version>-dev
[ -f "$(gcc -print-file-name=libasan.so)" ] || apt_install "libgcc-$(gcc -dumpversion | cut -d. -f1)-dev"

if ! has_runtime libclang_rt.fuzzer.a; then
    version=$(clang -dumpversion | cut -d. -f1)
    [ "$apt_updated" -eq 1 ] || { as_root apt-get update -q >/dev/null; apt_updated=1; }
    for pkg in "libclang-rt-$version-dev" "libclang-common-$version-dev"; do
        if in_archive "$pkg"; then apt_install "$pkg"; break; fi
    done
fi
has_runtime libclang_rt.fuzzer.a || { echo "no libFuzzer runtime for $(clang --version | head -1)" >&2; exit 1; }
echo "clang $(clang -dumpversion) with libFuzzer; $(gcc -print-file-name=libasan.so)"
