"""How fast veloxel reads ascii PCD bodies, against its peers and against fast_float alone.

    .venv/bin/python bench/bench_ascii.py [--large] [--reps N]

Writes PCL-style clouds (values printed with up to 8 significant digits) of 1e5 and 1e6 points,
and 1e7 with --large, to bench/data/, then times on each file, one fresh process per reader:
veloxel.load_pcd, numpy.loadtxt, pandas.read_csv (C engine) and Open3D's read_point_cloud where
installed, plus bench/ascii_ceiling.cpp, which only parses the same text into a float array.
Speeds are MB/s of body text (median of --reps runs after a warm-up run); peak memory is the rise
of the process's peak resident set over its size after imports, against body text + point data.
The table goes to stdout and to bench/results/ascii.md.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
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

CLOUDS = {
    "xyzi": [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1), ("intensity", "F", 4, 1)],
    "normals": [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1), ("rgb", "F", 4, 1),
                ("normal_x", "F", 4, 1), ("normal_y", "F", 4, 1), ("normal_z", "F", 4, 1),
                ("curvature", "F", 4, 1)],
}
READERS = ["veloxel", "numpy.loadtxt", "pandas.read_csv", "open3d", "fast_float loop"]


def cloud_path(kind: str, n: int) -> pathlib.Path:
    return DATA / f"{kind}_{n}.pcd"


def make_cloud(kind: str, n: int) -> pathlib.Path:
    from pcd_writer import header_text

    path = cloud_path(kind, n)
    if path.exists():
        return path
    DATA.mkdir(parents=True, exist_ok=True)
    fields = CLOUDS[kind]
    rng = np.random.default_rng(n)
    values = np.empty((n, len(fields)), dtype=np.float32)
    values[:, :3] = rng.uniform(-50, 50, (n, 3))
    if kind == "xyzi":
        values[:, 3] = rng.uniform(0, 255, n).round(1)
    else:
        # rgb as a number below 2^24, unit normals and a small curvature
        values[:, 3] = rng.integers(0, 1 << 24, n)
        normals = rng.normal(size=(n, 3))
        values[:, 4:7] = normals / np.linalg.norm(normals, axis=1, keepdims=True)
        values[:, 7] = rng.uniform(0, 0.1, n)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        f.write(header_text(fields, n, "ascii").encode())
        np.savetxt(f, values, fmt="%.8g", delimiter=" ")
    tmp.rename(path)
    return path


def body_offset(path: pathlib.Path) -> tuple[int, int]:
    """(byte offset of the body, number of header lines)."""
    offset = 0
    with open(path, "rb") as f:
        for lines, line in enumerate(f, 1):
            offset += len(line)
            if line.startswith(b"DATA"):
                return offset, lines
    raise ValueError(f"{path}: no DATA line")


def peak_rss() -> int:
    """The process's peak resident set in bytes. Linux's VmHWM starts afresh at exec, unlike
    ru_maxrss, which a child inherits from the parent that forked it."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    scale = 1 if sys.platform == "darwin" else 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale


def run_reader(reader: str, path: str, reps: int) -> dict:
    """Runs in a fresh process: one warm-up load, then reps timed loads."""
    _, header_lines = body_offset(pathlib.Path(path))
    if reader == "veloxel":
        import veloxel

        def load():
            return veloxel.load_pcd(path)
    elif reader == "numpy.loadtxt":
        def load():
            return np.loadtxt(path, skiprows=header_lines, dtype=np.float32)
    elif reader == "pandas.read_csv":
        import pandas

        def load():
            return pandas.read_csv(path, sep=" ", header=None, skiprows=header_lines, engine="c",
                                   dtype=np.float32)
    elif reader == "open3d":
        import open3d

        def load():
            return open3d.io.read_point_cloud(path, format="pcd")
    else:
        raise ValueError(reader)
    base = peak_rss()
    times = []
    for r in range(reps + 1):
        start = time.perf_counter()
        result = load()
        elapsed = time.perf_counter() - start
        del result
        if r > 0:
            times.append(elapsed)
        if r == 0:
            peak = peak_rss()
    return {"seconds": statistics.median(times), "peak_rise": peak - base}


def build_ceiling() -> pathlib.Path | None:
    exe = RESULTS / "ascii_ceiling"
    source = HERE / "ascii_ceiling.cpp"
    if exe.exists() and exe.stat().st_mtime > source.stat().st_mtime:
        return exe
    compiler = shutil.which("g++")
    if compiler is None:
        return None
    RESULTS.mkdir(parents=True, exist_ok=True)
    subprocess.run([compiler, "-O2", "-std=c++20", str(source), "-o", str(exe)], check=True)
    return exe


def measure(reader: str, path: pathlib.Path, n: int, reps: int, ceiling) -> dict | None:
    if reader == "fast_float loop":
        if ceiling is None:
            return None
        values = n * len(CLOUDS[path.name.split("_")[0]])
        out = subprocess.run([str(ceiling), str(path), str(values), str(reps)], check=True,
                             capture_output=True, text=True).stdout.split()
        return {"seconds": float(out[1]), "peak_rise": None}
    proc = subprocess.run([sys.executable, __file__, "--worker", reader, str(path), str(reps)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["failed"])[-1]
        print(f"  {reader}: {last}", file=sys.stderr)
        return None
    return json.loads(proc.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="also 1e7 points (about 1 GB)")
    parser.add_argument("--reps", type=int, default=3, help="timed runs after the warm-up")
    parser.add_argument("--readers", default=",".join(READERS))
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        reader, path, reps = args.worker
        print(json.dumps(run_reader(reader, path, int(reps))))
        return

    readers = args.readers.split(",")
    sizes = [100_000, 1_000_000] + ([10_000_000] if args.large else [])
    ceiling = build_ceiling()
    rows = []
    for kind in CLOUDS:
        for n in sizes:
            path = make_cloud(kind, n)
            body = path.stat().st_size - body_offset(path)[0]
            point_data = n * sum(size * count for _, _, size, count in CLOUDS[kind])
            results = {r: measure(r, path, n, args.reps, ceiling) for r in readers}
            rows.append((kind, n, body, point_data, results))
            print(f"{kind} {n}: " + ", ".join(
                f"{r} {body / res['seconds'] / 1e6:.0f} MB/s" for r, res in results.items() if res),
                file=sys.stderr)

    lines = ["| cloud | points | body MB | " + " | ".join(f"{r} MB/s" for r in readers)
             + " | veloxel / loop | veloxel / loadtxt | veloxel / pandas | veloxel / open3d"
             + " | veloxel peak rise / (body + points) |",
             "|" + "---|" * (len(readers) + 8)]

    def ratio(results, a, b):
        if results.get(a) and results.get(b):
            return f"{results[b]['seconds'] / results[a]['seconds']:.2f}"
        return "n/a"

    for kind, n, body, point_data, results in rows:
        speeds = [f"{body / results[r]['seconds'] / 1e6:.0f}" if results[r] else "n/a"
                  for r in readers]
        v = results.get("veloxel")
        memory = (f"{v['peak_rise'] / (body + point_data):.3f}" if v and v["peak_rise"] is not None
                  else "n/a")
        lines.append(f"| {kind} | {n:.0e} | {body / 1e6:.1f} | " + " | ".join(speeds)
                     + f" | {ratio(results, 'veloxel', 'fast_float loop')}"
                     + f" | {ratio(results, 'veloxel', 'numpy.loadtxt')}"
                     + f" | {ratio(results, 'veloxel', 'pandas.read_csv')}"
                     + f" | {ratio(results, 'veloxel', 'open3d')} | {memory} |")
    table = "\n".join(lines)
    print(table)
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "ascii.md").write_text(table + "\n")


if __name__ == "__main__":
    main()
