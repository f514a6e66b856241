"""Loads every example cloud in this folder and describes what load_pcd returned."""

import pathlib
import time

import numpy  # noqa: F401  (imported first so the timings below are the loads alone)
import veloxel

HERE = pathlib.Path(__file__).resolve().parent


def data_kind(path: pathlib.Path) -> str:
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b"DATA"):
                return line.split()[1].decode()
    return "?"


def main() -> None:
    for path in sorted(HERE.glob("*.pcd")):
        start = time.perf_counter()
        points, fields = veloxel.load_pcd(str(path))
        elapsed = time.perf_counter() - start
        print(f"{path.name}: DATA {data_kind(path)}, N = {len(points)}, "
              f"loaded in {elapsed * 1e3:.2f} ms")
        print(f"    points     {points.dtype}  {points.shape}")
        for name, values in fields.items():
            print(f"    {name:<10} {values.dtype}  {values.shape}")


if __name__ == "__main__":
    main()
