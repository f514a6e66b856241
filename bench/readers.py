"""Everything the benchmark times, as one registry.

A reader makes, for one cloud, a function that loads the cloud once and returns the seconds that
took. Python loaders are timed around the call and their result is dropped after the clock stops
(a user frees arrays after the load); the ceilings in bench/ceilings.cpp time themselves.
"""

from __future__ import annotations

import ctypes
import dataclasses
import pathlib
import shutil
import subprocess
import time
from typing import Callable

import numpy as np

from clouds import DATA, Cloud

HERE = pathlib.Path(__file__).resolve().parent
CEILINGS_SOURCE = HERE / "ceilings.cpp"
CEILINGS_LIB = DATA / "ceilings.so"
# Debian's liblzf-dev ships liblzf's sources; veloxel builds its decoder from them, so does this.
LZF_SOURCE = pathlib.Path("/usr/src/liblzf/lzf_d.c")
LZF_INCLUDE = pathlib.Path("/usr/include/liblzf")


@dataclasses.dataclass(frozen=True)
class Reader:
    name: str
    role: str  # "veloxel", "floor", "ceiling" or "peer"
    kinds: tuple[str, ...]
    make: Callable[[Cloud], Callable[[], float]]
    note: str = ""


def _timed(load: Callable[[], object]) -> Callable[[], float]:
    def run() -> float:
        start = time.perf_counter()
        result = load()
        seconds = time.perf_counter() - start
        del result
        return seconds

    return run


def _veloxel(cloud: Cloud):
    import veloxel

    return _timed(lambda: veloxel.load_pcd(cloud.path))


def _fromfile(cloud: Cloud):
    dtype = cloud.dtype
    return _timed(lambda: np.fromfile(cloud.path, dtype=dtype, offset=cloud.offset))


def _loadtxt(cloud: Cloud):
    return _timed(lambda: np.loadtxt(cloud.path, skiprows=cloud.header_lines, dtype=np.float32))


def _pandas(cloud: Cloud):
    import pandas

    return _timed(lambda: pandas.read_csv(cloud.path, sep=" ", header=None, engine="c",
                                          skiprows=cloud.header_lines, dtype=np.float32))


def _open3d(cloud: Cloud):
    import open3d

    open3d.utility.set_verbosity_level(open3d.utility.VerbosityLevel.Error)
    return _timed(lambda: open3d.io.read_point_cloud(cloud.path, format="pcd"))


def _open3d_tensor(cloud: Cloud):
    import open3d

    open3d.utility.set_verbosity_level(open3d.utility.VerbosityLevel.Error)
    return _timed(lambda: open3d.t.io.read_point_cloud(cloud.path, format="pcd"))


def _pypcd4(cloud: Cloud):
    import pypcd4

    return _timed(lambda: pypcd4.PointCloud.from_path(cloud.path).pc_data)


def build_ceilings() -> pathlib.Path:
    """Builds bench/ceilings.cpp into a shared library (once; again when the source changes).
    Raises RuntimeError when g++ or liblzf's sources are missing or the build fails."""
    if CEILINGS_LIB.exists() and CEILINGS_LIB.stat().st_mtime > CEILINGS_SOURCE.stat().st_mtime:
        return CEILINGS_LIB
    if shutil.which("g++") is None or shutil.which("gcc") is None:
        raise RuntimeError("no gcc/g++ to build the ceilings")
    if not LZF_SOURCE.exists():
        raise RuntimeError(f"no {LZF_SOURCE} (Debian: liblzf-dev)")
    DATA.mkdir(parents=True, exist_ok=True)
    obj = DATA / "lzf_d.o"
    # The flags veloxel's CMake Release build gives its copy of the decoder (liblzf's CMake package
    # adds -funroll-all-loops).
    commands = [
        ["gcc", "-O3", "-DNDEBUG", "-funroll-all-loops", "-fPIC", "-c", str(LZF_SOURCE),
         f"-I{LZF_INCLUDE}", "-o", str(obj)],
        ["g++", "-O3", "-DNDEBUG", "-std=c++20", "-shared", "-fPIC", f"-I{LZF_INCLUDE}",
         str(CEILINGS_SOURCE), str(obj), "-o", str(CEILINGS_LIB)],
    ]
    for command in commands:
        proc = subprocess.run(command, capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"{' '.join(command[:2])} failed: {proc.stderr.strip()[-400:]}")
    return CEILINGS_LIB


_lib = None


def _ceilings():
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(str(build_ceilings()))
        u64, u32, dbl = ctypes.c_uint64, ctypes.c_uint32, ctypes.c_double
        lib.ceiling_read.restype = dbl
        lib.ceiling_read.argtypes = [ctypes.c_char_p, u64, u64]
        lib.ceiling_lzf.restype = dbl
        lib.ceiling_lzf.argtypes = [ctypes.c_char_p, u64, u32, u32, ctypes.POINTER(dbl)]
        lib.ceiling_fast_float.restype = dbl
        lib.ceiling_fast_float.argtypes = [ctypes.c_char_p, u64, u64, u64, ctypes.POINTER(dbl)]
        _lib = lib
    return _lib


def _checked(seconds: float, what: str) -> float:
    if seconds < 0:
        raise RuntimeError(f"{what} failed")
    return seconds


def _read_ceiling(cloud: Cloud):
    lib, path = _ceilings(), cloud.path.encode()
    return lambda: _checked(lib.ceiling_read(path, cloud.offset, cloud.body), "read")


def _lzf_ceiling(cloud: Cloud):
    lib, path, step = _ceilings(), cloud.path.encode(), ctypes.c_double()
    return lambda: _checked(lib.ceiling_lzf(path, cloud.offset + 8, cloud.body, cloud.uncompressed,
                                            ctypes.byref(step)), "lzf_decompress")


def _fast_float_ceiling(cloud: Cloud):
    lib, path, step = _ceilings(), cloud.path.encode(), ctypes.c_double()
    return lambda: _checked(lib.ceiling_fast_float(path, cloud.offset, cloud.body, cloud.values,
                                                   ctypes.byref(step)), "fast_float parse")


ALL = ("binary", "binary_compressed", "ascii")
READERS = [
    Reader("veloxel", "veloxel", ALL, _veloxel),
    Reader("bare read", "ceiling", ("binary",), _read_ceiling,
           "read() of the body into a fresh buffer"),
    Reader("numpy.fromfile", "floor", ("binary",), _fromfile,
           "structured record dtype, one read into a fresh array"),
    Reader("bare lzf_decompress", "ceiling", ("binary_compressed",), _lzf_ceiling,
           "read() of the block, then one lzf_decompress into a fresh buffer"),
    Reader("bare fast_float loop", "ceiling", ("ascii",), _fast_float_ceiling,
           "read() of the text, then fast_float over every value into a fresh float array"),
    Reader("numpy.loadtxt", "peer", ("ascii",), _loadtxt, "dtype float32"),
    Reader("pandas.read_csv", "peer", ("ascii",), _pandas, "C engine, dtype float32"),
    Reader("open3d.io", "peer", ALL, _open3d,
           "open3d.io.read_point_cloud (keeps x y z and normals, drops other fields)"),
    Reader("open3d.t.io", "peer", ALL, _open3d_tensor, "open3d.t.io.read_point_cloud"),
    Reader("pypcd4", "peer", ALL, _pypcd4, "PointCloud.from_path(...).pc_data"),
]
BY_NAME = {r.name: r for r in READERS}
# What each reader needs importable (or buildable) before it can run at all.
REQUIRES = {"pandas.read_csv": "pandas", "open3d.io": "open3d", "open3d.t.io": "open3d",
            "pypcd4": "pypcd4", "veloxel": "veloxel"}


def for_kind(kind: str) -> list[Reader]:
    return [r for r in READERS if kind in r.kinds]
