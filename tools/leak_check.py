#!/usr/bin/env python3
"""Leak check: loads small files of each DATA kind, and files that fail in each way the loader
reports, 10,000 times each, and requires resident memory to stay flat after a warm-up.

Usage: tools/leak_check.py [LOADS]     (run with the interpreter that has veloxel installed)
Exits 1 when resident memory grew by more than 2 MiB over the measured loads of any file.
"""

import gc
import os
import pathlib
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

import pcd_writer  # noqa: E402
import veloxel  # noqa: E402

FIELDS = pcd_writer.XYZ + [("intensity", "F", 4, 1), ("ring", "U", 2, 1), ("hist", "F", 4, 5)]
WARM_UP = 1_000
ALLOWED_GROWTH = 2 << 20


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def files(directory: pathlib.Path) -> dict:
    records = pcd_writer.random_records(FIELDS, 100)
    out = {}
    for data in ("binary", "ascii", "binary_compressed"):
        out[data] = pcd_writer.write_pcd(directory / f"{data}.pcd", FIELDS, records, data)
    raw = {
        "no_xyz": b"FIELDS a b\nPOINTS 1\nDATA binary\n",
        "bad_type": b"FIELDS x y z w\nSIZE 4 4 4 3\nCOUNT 1 1 1 1\nPOINTS 1\nDATA binary\n",
        "outside": b"FIELDS x y z\nCOUNT 1 1 1\nSIZE 8 8 8\nPOINTS 4\nDATA binary\n",
        "negative": b"FIELDS x y z\nCOUNT 1 1 1\nPOINTS -1\nDATA binary\n",
        "bad_kind": b"FIELDS x y z\nCOUNT 1 1 1\nPOINTS 1\nDATA lz4\n",
        "not_utf8": b"FIELDS x y z \xff\nSIZE 4 4 4 1\nTYPE F F F U\nCOUNT 1 1 1 1\nPOINTS 1\n"
                    b"DATA binary\n",
    }
    for name, content in raw.items():
        path = directory / f"{name}.pcd"
        path.write_bytes(content)
        out[name] = str(path)
    out["missing"] = str(directory / "missing.pcd")
    return out


def load(path: str) -> None:
    try:
        points, fields = veloxel.load_pcd(path)
        points.sum(), [v.sum() for v in fields.values()]  # touch every view
    except (RuntimeError, ValueError, MemoryError, UnicodeDecodeError):
        pass


def main() -> int:
    loads = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        for name, path in files(pathlib.Path(tmp)).items():
            for _ in range(WARM_UP):
                load(path)
            gc.collect()
            before = resident_bytes()
            for _ in range(loads):
                load(path)
            gc.collect()
            grew = resident_bytes() - before
            verdict = "ok" if grew <= ALLOWED_GROWTH else "LEAK"
            failed |= grew > ALLOWED_GROWTH
            print(f"{name:18} {loads} loads, resident memory {grew / 1024:+8.0f} KiB  {verdict}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
