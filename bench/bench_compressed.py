"""Loading binary_compressed PCD files: veloxel against a bare lzf_decompress of the same block (the
ceiling, bench/lzf_ceiling.cpp) and against Open3D's and pypcd4's readers where they are installed.

    .venv/bin/python -m pip install --no-build-isolation ".[bench]"   # the peers, into .venv only
    .venv/bin/python bench/bench_compressed.py [--large] [--repeat N]

Clouds of 1e5 and 1e6 points (1e7 with --large) in two shapes: x y z intensity, and x y z with
normals and curvature (seven F 4 fields), compressed field by field by liblzf as PCL writes them.
Every time is the median of --repeat loads after one warm-up load, each reader in its own
subprocess, all in this one run; between two loads the subprocess times the ceiling (into a buffer
already written, "warm", and into fresh pages, "fresh"), so that the ratios compare times taken
under the same load of a shared machine. Peak memory is the peak resident size of a fresh
subprocess that loads the file once, less that of one that only imports the reader; the budget is
the compressed block plus twice the point data. Data goes to bench/data/, the table to
bench/results/compressed.md (both ignored by git). Timing never belongs in the tests.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"
RESULTS = HERE / "results"
sys.path.insert(0, str(HERE.parent / "tests"))

import pcd_writer  # noqa: E402

F4 = [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1)]
CLOUDS = {
    "xyzi": F4 + [("intensity", "F", 4, 1)],
    "normals": F4 + [(n, "F", 4, 1) for n in ("normal_x", "normal_y", "normal_z", "curvature")],
}
READERS = ["veloxel", "open3d", "pypcd4"]
LZF_SOURCE = pathlib.Path("/usr/src/liblzf/lzf_d.c")  # Debian's liblzf-dev
LZF_INCLUDE = pathlib.Path("/usr/include/liblzf")


# --- data -----------------------------------------------------------------------------------------

def lidar_records(fields, n: int) -> np.ndarray:
    """A lidar-like sweep: 64 rings of points on a wavy cylinder, millimetre precision, so that
    LZF finds what it finds in real scans (repeated exponents and high bytes)."""
    rng = np.random.default_rng(n)
    rec = np.zeros(n, dtype=pcd_writer.records_dtype(fields))
    ring = np.arange(n) % 64
    angle = np.arange(n) // 64 * (2 * np.pi / 2048)
    radius = 8 + 2 * np.sin(3 * angle) + rng.normal(0, 0.02, n)
    rec["x"] = np.round(radius * np.cos(angle), 3)
    rec["y"] = np.round(radius * np.sin(angle), 3)
    rec["z"] = np.round((ring - 32) * 0.05 + rng.normal(0, 0.01, n), 3)
    names = rec.dtype.names
    if "intensity" in names:
        rec["intensity"] = rng.integers(0, 256, n)
    if "normal_x" in names:
        normal = np.stack([np.cos(angle), np.sin(angle), rng.normal(0, 0.05, n)])
        normal /= np.linalg.norm(normal, axis=0)
        for axis, name in enumerate(("normal_x", "normal_y", "normal_z")):
            rec[name] = np.round(normal[axis], 4)
        rec["curvature"] = np.round(rng.exponential(0.01, n), 5)
    return rec


def body_block(path: pathlib.Path) -> tuple[bytes, int]:
    """The LZF block and the uncompressed size of a binary_compressed file."""
    content = path.read_bytes()
    start = content.index(b"\n", content.index(b"\nDATA ") + 1) + 1
    compressed = int.from_bytes(content[start:start + 4], "little")
    uncompressed = int.from_bytes(content[start + 4:start + 8], "little")
    return content[start + 8:start + 8 + compressed], uncompressed


def make_cloud(shape: str, n: int) -> pathlib.Path:
    path = DATA / f"{shape}_{n}.pcd"
    if not path.exists():
        fields = CLOUDS[shape]
        pcd_writer.write_pcd(path, fields, lidar_records(fields, n), "binary_compressed")
    return path


CEILING = DATA / "liblzf_ceiling.so"


def build_ceiling() -> None:
    source = HERE / "lzf_ceiling.cpp"
    if CEILING.exists() and CEILING.stat().st_mtime > source.stat().st_mtime:
        return
    # liblzf's decoder with the flags veloxel's build gives it (CMake Release, -funroll-all-loops).
    obj = DATA / "lzf_d.o"
    subprocess.run(["gcc", "-O3", "-funroll-all-loops", "-fPIC", "-c", str(LZF_SOURCE),
                    f"-I{LZF_INCLUDE}", "-o", str(obj)], check=True)
    subprocess.run(["g++", "-O2", "-std=c++17", "-shared", "-fPIC", f"-I{LZF_INCLUDE}",
                    str(source), str(obj), "-o", str(CEILING)], check=True)


def ceiling_function(path: str):
    """lzf_ceiling(fresh) -> seconds of one bare lzf_decompress of path's block."""
    import ctypes

    lib = ctypes.CDLL(str(CEILING))
    lib.lzf_ceiling.restype = ctypes.c_double
    lib.lzf_ceiling.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_uint, ctypes.c_int]
    block, uncompressed = body_block(pathlib.Path(path))

    def run(fresh: bool) -> float:
        seconds = lib.lzf_ceiling(block, len(block), uncompressed, int(fresh))
        if seconds < 0:
            raise RuntimeError(f"{path}: block does not decode to {uncompressed} bytes")
        return seconds

    return run


# --- measurements ---------------------------------------------------------------------------------

def load_function(reader: str):
    if reader == "veloxel":
        import veloxel
        return veloxel.load_pcd
    if reader == "open3d":
        import open3d
        return lambda path: open3d.io.read_point_cloud(path)
    if reader == "pypcd4":
        import pypcd4
        return lambda path: pypcd4.PointCloud.from_path(path).pc_data
    raise ValueError(reader)


def peak_rss_kib() -> int:
    """The peak resident size of this process. ru_maxrss, where Linux has it, also counts the
    parent's size at fork, so there the peak of this process's own memory, VmHWM, is used."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker(reader: str, path: str, repeat: int) -> None:
    """Runs in a subprocess and prints JSON. With repeat 0 the file is loaded once and the peak
    memory reported; with path "-" only the reader is imported. Otherwise one warm-up load, then
    repeat rounds of (ceiling warm, ceiling fresh, load), and the median of each."""
    load = load_function(reader)
    result = {}
    if path != "-" and repeat == 0:
        load(path)
    elif path != "-":
        ceiling = ceiling_function(path)
        load(path)
        ceiling(False)
        times = {"warm": [], "fresh": [], "load": []}
        for _ in range(repeat):
            times["warm"].append(ceiling(False))
            times["fresh"].append(ceiling(True))
            start = time.perf_counter()
            load(path)
            times["load"].append(time.perf_counter() - start)
        result = {k: statistics.median(v) for k, v in times.items()}
    result["peak_kib"] = peak_rss_kib()
    print(json.dumps(result))


def run_worker(reader: str, path: str, repeat: int) -> dict | None:
    proc = subprocess.run([sys.executable, __file__, "--worker", reader, path, str(repeat)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        print(f"  {reader} failed on {path}: {proc.stderr.strip().splitlines()[-1:]}")
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def available(reader: str) -> bool:
    return subprocess.run([sys.executable, "-c", f"import {reader}"],
                          capture_output=True).returncode == 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="add clouds of 1e7 points")
    parser.add_argument("--repeat", type=int, default=7, help="timed loads per measurement")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], args.worker[1], int(args.worker[2]))
        return

    DATA.mkdir(exist_ok=True)
    RESULTS.mkdir(exist_ok=True)
    if shutil.which("g++") is None or not LZF_SOURCE.exists():
        sys.exit("needs g++ and liblzf's sources (Debian: liblzf-dev)")
    build_ceiling()
    readers = [r for r in READERS if available(r)]
    missing = sorted(set(READERS) - set(readers))
    baseline = {r: run_worker(r, "-", 0)["peak_kib"] for r in readers}

    sizes = [100_000, 1_000_000] + ([10_000_000] if args.large else [])
    header = ["cloud", "points", "block MiB", "ratio", "lzf warm ms", "lzf fresh ms"]
    header += [f"{r} ms" for r in readers] + ["veloxel / lzf warm", "veloxel / lzf fresh"]
    header += [f"{r} / veloxel" for r in readers[1:]]
    header += [f"{r} peak MiB" for r in readers] + ["budget MiB"]
    rows = []
    for n in sizes:
        for shape in CLOUDS:
            path = make_cloud(shape, n)
            block, uncompressed = body_block(path)
            print(f"{shape} {n}: {len(block) / 2**20:.1f} MiB block", flush=True)
            times, peaks, lzf = {}, {}, {"warm": float("nan"), "fresh": float("nan")}
            for r in readers:
                timed = run_worker(r, str(path), args.repeat)
                once = run_worker(r, str(path), 0)
                times[r] = timed["load"] if timed else float("nan")
                peaks[r] = (once["peak_kib"] - baseline[r]) / 1024 if once else float("nan")
                if r == "veloxel" and timed:
                    lzf = timed
            velox = times.get("veloxel", float("nan"))
            row = [shape, f"{n:.0e}", f"{len(block) / 2**20:.1f}",
                   f"{len(block) / uncompressed:.2f}",
                   f"{lzf['warm'] * 1e3:.2f}", f"{lzf['fresh'] * 1e3:.2f}"]
            row += [f"{times[r] * 1e3:.2f}" for r in readers]
            row += [f"{velox / lzf['warm']:.2f}x", f"{velox / lzf['fresh']:.2f}x"]
            row += [f"{times[r] / velox:.1f}x" for r in readers[1:]]
            row += [f"{peaks[r]:.1f}" for r in readers]
            row += [f"{(len(block) + 2 * uncompressed) / 2**20:.1f}"]
            rows.append(row)

    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    notes = [f"python {sys.version.split()[0]}, {os.cpu_count()} cpus, median of {args.repeat}; "
             "lzf columns timed between veloxel's loads in the same process",
             "peak = peak resident size of one load in a fresh process minus that of importing "
             "the reader; budget = compressed block + 2 x point data"]
    if missing:
        notes.append("not installed: " + ", ".join(missing))
    table = "\n".join(lines + [""] + notes)
    print("\n" + table)
    (RESULTS / "compressed.md").write_text(table + "\n")


if __name__ == "__main__":
    main()
