#!/usr/bin/env bash
# Sets veloxel up on a Debian machine and runs the main job:
#   system packages -> .venv with the newest CPython here -> veloxel built and installed into it
#   with its test extra -> the example clouds loaded and described.
# Safe to run again; it installs only what is missing.
set -euo pipefail
cd "$(dirname "$0")"

say() { printf '\n==> %s\n' "$*"; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
apt_updated=0
apt_install() {
    if [ "$apt_updated" -eq 0 ]; then
        say "apt-get update"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
        apt_updated=1
    fi
    say "apt-get install $*"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}
in_archive() { apt-cache policy "$1" 2>/dev/null | grep -q 'Candidate: [0-9]'; }

say "System packages (C++ compiler, liblzf, fast_float)"
missing=()
for pkg in g++ liblzf-dev libfast-float-dev; do installed "$pkg" || missing+=("$pkg"); done
if [ "${#missing[@]}" -gt 0 ]; then apt_install "${missing[@]}"; else echo "all present"; fi

# CPython 3.13 where there is one (on PATH, under pyenv, or from the archive on Debian 13), else
# the system's python3.
works() { [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }
find_313() {
    local candidate
    for candidate in "$(command -v python3.13 || true)" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/bin/python3.13; do
        if works "$candidate"; then echo "$candidate"; return 0; fi
    done
    return 1
}
if ! PY=$(find_313); then
    [ "$apt_updated" -eq 1 ] || in_archive python3.13-venv || { as_root apt-get update -q >/dev/null; apt_updated=1; }
    if in_archive python3.13-venv; then apt_install python3.13-dev python3.13-venv; fi
    PY=$(find_313) || PY=$(command -v python3)
fi
say "Python: $PY ($("$PY" --version 2>&1))"
# Debian's own interpreters keep venv and the C headers in separate packages.
if ! "$PY" -c 'import ensurepip, venv, sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
    ver=$("$PY" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
    apt_install "python$ver-dev" "python$ver-venv"
fi

if [ ! -x .venv/bin/python ]; then
    say "Creating .venv"
    "$PY" -m venv .venv
fi

say "Build tools into .venv"
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=3" cmake ninja

say "Building and installing veloxel with its test extra${SKBUILD_CMAKE_DEFINE:+ ($SKBUILD_CMAKE_DEFINE)}"
.venv/bin/python -m pip install -q --no-build-isolation ".[test]"

say "Main job: loading the example clouds"
.venv/bin/python examples/show.py
