"""Binary loading speed and memory: veloxel against numpy.fromfile on the same files.

    .venv/bin/python bench/bench_binary.py [--sizes 1e5 1e6 1e7] [--repeat 7]

Writes clouds under bench/data/, then for each file measures, side by side in one run, the median
load time of veloxel.load_pcd and of numpy.fromfile with the structured record dtype (the floor:
one read into a fresh array), and veloxel's peak extra memory in a fresh process.
"""

import argparse
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import veloxel  # noqa: E402
from pcd_writer import header_text, random_records, records_dtype  # noqa: E402

CLOUDS = {
    "xyzi": [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1), ("intensity", "F", 4, 1)],
    "normals": [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1), ("rgb", "U", 4, 1),
                ("normal_x", "F", 4, 1), ("normal_y", "F", 4, 1), ("normal_z", "F", 4, 1),
                ("curvature", "F", 4, 1)],
}

# Peak resident memory of the load alone, in a fresh process. VmHWM belongs to the process image
# (ru_maxrss would carry over the parent's peak through fork and exec).
PEAK = """
import sys, numpy, veloxel
def hwm():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM"))
base = hwm()
points, fields = veloxel.load_pcd(sys.argv[1])
print(hwm() - base)
"""


def write_cloud(fields, n: int) -> pathlib.Path:
    path = HERE / "data" / f"{'_'.join(f[0][:2] for f in fields)}_{n}_binary.pcd"
    if not path.exists():
        path.parent.mkdir(exist_ok=True)
        records = random_records(fields, n, seed=n)
        with open(path, "wb") as f:
            f.write(header_text(fields, n, "binary").encode())
            records.tofile(f)
    return path


def median_time(fn, repeat: int) -> float:
    fn()  # warm-up: page cache, first NumPy use
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", type=float, default=[1e5, 1e6, 1e7])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    print("| cloud | points | MB | veloxel ms | numpy.fromfile ms | ratio | veloxel GB/s "
          "| peak / data |")
    print("|---|---|---|---|---|---|---|---|")
    for name, fields in CLOUDS.items():
        dtype = records_dtype(fields)
        for n in (int(s) for s in args.sizes):
            path = write_cloud(fields, n)
            offset = len(header_text(fields, n, "binary"))
            data_bytes = n * dtype.itemsize
            t_vx = median_time(lambda: veloxel.load_pcd(str(path)), args.repeat)
            t_np = median_time(lambda: np.fromfile(path, dtype=dtype, offset=offset), args.repeat)
            peak = int(subprocess.run([sys.executable, "-c", PEAK, str(path)], check=True,
                                      capture_output=True, text=True).stdout)
            print(f"| {name} | {n:.0e} | {data_bytes / 1e6:.1f} | {t_vx * 1e3:.2f} | "
                  f"{t_np * 1e3:.2f} | {t_vx / t_np:.2f} | {data_bytes / t_vx / 1e9:.2f} | "
                  f"{peak / data_bytes:.3f} |", flush=True)


if __name__ == "__main__":
    main()
