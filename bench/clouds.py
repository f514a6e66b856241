"""The benchmark clouds: two shapes of lidar-like scan, each written in all three DATA kinds.

x y z intensity (four F 4 fields) and x y z with normals and curvature (seven F 4 fields). The
points lie on 64 rings of a wavy cylinder at millimetre precision, so that LZF finds in them what
it finds in real scans. ascii bodies are written as PCL writes them (up to 8 significant digits),
binary_compressed bodies field by field, as PCL, Open3D and pypcd4 write them. Files are written
once under bench/data/ and reused.
"""

from __future__ import annotations

import dataclasses
import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"
sys.path.insert(0, str(HERE.parent / "tests"))

import pcd_writer  # noqa: E402

XYZ = [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1)]
SHAPES = {
    "xyzi": XYZ + [("intensity", "F", 4, 1)],
    "normals": XYZ + [(n, "F", 4, 1) for n in ("normal_x", "normal_y", "normal_z", "curvature")],
}
KINDS = ["binary", "binary_compressed", "ascii"]


@dataclasses.dataclass(frozen=True)
class Cloud:
    """One benchmark file and what the readers need to know about its body."""

    kind: str
    shape: str
    points: int
    path: str
    offset: int  # where the body starts
    body: int  # bytes of body: the records, the compressed block, or the text
    point_data: int  # bytes of the records as binary holds them
    uncompressed: int = 0  # binary_compressed: the block's decoded size
    header_lines: int = 0  # ascii: lines before the body

    @property
    def fields(self):
        return SHAPES[self.shape]

    @property
    def values(self) -> int:
        return self.points * len(self.fields)

    @property
    def dtype(self) -> np.dtype:
        return pcd_writer.records_dtype(self.fields)


def lidar_records(fields, n: int) -> np.ndarray:
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


def _write(path: pathlib.Path, kind: str, fields, n: int) -> None:
    records = lidar_records(fields, n)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        f.write(pcd_writer.header_text(fields, n, kind).encode())
        if kind == "binary":
            records.tofile(f)
        elif kind == "binary_compressed":
            f.write(pcd_writer.compressed_body(records))
        else:
            # Every field is F 4 here, so the records are a plain float table.
            table = records.view(np.float32).reshape(n, len(fields))
            for start in range(0, n, 1 << 20):
                np.savetxt(f, table[start:start + (1 << 20)], fmt="%.8g", delimiter=" ")
    tmp.rename(path)


def _describe(path: pathlib.Path, kind: str, shape: str, n: int) -> Cloud:
    with open(path, "rb") as f:
        head = f.read(4096)
    end = head.index(b"\n", head.index(b"\nDATA ") + 1) + 1
    dtype = pcd_writer.records_dtype(SHAPES[shape])
    common = dict(kind=kind, shape=shape, points=n, path=str(path), offset=end,
                  point_data=n * dtype.itemsize)
    if kind == "binary_compressed":
        with open(path, "rb") as f:
            f.seek(end)
            sizes = f.read(8)
        return Cloud(**common, body=int.from_bytes(sizes[:4], "little"),
                     uncompressed=int.from_bytes(sizes[4:], "little"))
    return Cloud(**common, body=path.stat().st_size - end,
                 header_lines=head[:end].count(b"\n"))


def cloud(kind: str, shape: str, n: int) -> Cloud:
    """The benchmark file of this kind, shape and size, written first if missing."""
    path = DATA / f"{shape}_{n}_{kind}.pcd"
    if not path.exists():
        DATA.mkdir(parents=True, exist_ok=True)
        _write(path, kind, SHAPES[shape], n)
    return _describe(path, kind, shape, n)
