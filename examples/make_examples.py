"""Writes the small example clouds in this folder: the same 2,000 points in each DATA kind."""

import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from pcd_writer import write_pcd  # noqa: E402

FIELDS = [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1), ("intensity", "F", 4, 1),
          ("ring", "U", 2, 1), ("rgb", "U", 4, 1), ("timestamp", "F", 8, 1)]
KINDS = ["binary", "ascii", "binary_compressed"]


def cloud(n: int = 2000) -> np.ndarray:
    """A lidar-like sweep: points on a slightly wavy cylinder, 16 rings."""
    from pcd_writer import records_dtype

    rng = np.random.default_rng(7)
    rec = np.zeros(n, dtype=records_dtype(FIELDS))
    angle = np.linspace(0, 2 * np.pi, n, endpoint=False)
    ring = np.arange(n) % 16
    radius = 10 + np.sin(4 * angle)
    rec["x"] = (radius * np.cos(angle)).astype(np.float32)
    rec["y"] = (radius * np.sin(angle)).astype(np.float32)
    rec["z"] = ((ring - 8) * 0.25).astype(np.float32)
    rec["intensity"] = rng.uniform(0, 255, n).astype(np.float32).round(2)
    rec["ring"] = ring
    rec["rgb"] = (0xFF << 24) | (ring * 16 << 16) | (128 << 8) | 64
    rec["timestamp"] = 1700000000.0 + np.arange(n) * 1e-5
    return rec


def main() -> None:
    rec = cloud()
    for kind in KINDS:
        path = HERE / f"sweep_{kind}.pcd"
        write_pcd(path, FIELDS, rec, kind)
        print(f"wrote {path.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
