#!/usr/bin/env python3
"""Writes fuzz seeds into fuzz/corpus/seeds/ (git-ignored): small PCD files made by the test writer
in all three DATA kinds, plus a few damaged headers. The real files are not copied; run_fuzz.sh
hands their directory to the fuzzers as a second seed directory.

Usage: tools/make_fuzz_seeds.py [OUT_DIR]
"""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

import pcd_writer  # noqa: E402
from pcd_writer import XYZ  # noqa: E402

LAYOUTS = {
    "xyz": XYZ,
    "xyzi": XYZ + [("intensity", "F", 4, 1)],
    "rgb": XYZ + [("rgb", "U", 4, 1), ("label", "I", 2, 1)],
    "f64": [("x", "F", 8, 1), ("y", "F", 8, 1), ("z", "F", 8, 1), ("t", "F", 8, 1)],
    "hist": XYZ + [("fpfh", "F", 4, 5), ("ring", "U", 1, 1)],
    "padding": XYZ + [("_", "U", 1, 4), ("i", "I", 1, 1), ("_", "U", 1, 10)],
    "ints": [("x", "I", 1, 1), ("y", "U", 2, 1), ("z", "I", 8, 1), ("w", "U", 8, 2)],
    "zxy": [("z", "F", 4, 1), ("x", "F", 4, 1), ("y", "F", 4, 1)],
}

DAMAGED = [
    b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nPOINTS 2147483647\nDATA binary\n\0\0\0\0",
    b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nPOINTS -1\nDATA ascii\n1 2 3\n",
    b"FIELDS x y z\nCOUNT 1 1 1\nSIZE 8 8 8\nTYPE F F F\nPOINTS 2\nDATA ascii\n1 2 3 4 5 6\n",
    b"FIELDS x y\nCOUNT 1 1\nFIELDS z\nPOINTS 1\nDATA binary\n" + bytes(12),
    b"FIELDS x y z big\nSIZE 4 4 4 65536\nTYPE F F F U\nCOUNT 1 1 1 65536\nPOINTS 3\nDATA binary\n",
    b"FIELDS x y z\nSIZE 4 4 -4\nCOUNT 1 -1 0\nPOINTS 1\nDATA binary_compressed\n"
    b"\xff\xff\xff\xff\x00\x00\x00\x01",
    b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nPOINTS 10000000\nDATA binary_compressed\n"
    b"\x05\x00\x00\x00\x0c\x00\x00\x00\x0b\x00\x00\x80\x3f",
    b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 1\nDATA ascii\n" + b"9" * 4000 + b"\n",
    b"FIELDS x y z\nTYPE F F F\nPOINTS 1\nDATA\n",
    # x, y, z 2^64 - 8 bytes into a record of an empty cloud (convert_xyz once formed that pointer)
    b"FIELDS a x y z\nSIZE 4 1 1 1\nTYPE F U U U\nCOUNT -2 1 1 1\nPOINTS 0\nDATA binary\n",
]


def main() -> None:
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "fuzz" / "corpus" / "seeds"
    out.mkdir(parents=True, exist_ok=True)
    written = 0
    for name, fields in LAYOUTS.items():
        for data in ("ascii", "binary", "binary_compressed"):
            for n in (1, 7):
                records = pcd_writer.random_records(fields, n, seed=n)
                blob = pcd_writer.encode(fields, records, data)
                (out / f"{name}-{n}-{data}.pcd").write_bytes(blob)
            # An empty cloud: the header alone.
            (out / f"{name}-0-{data}.pcd").write_bytes(pcd_writer.header_text(fields, 0, data).encode())
            written += 3
        records = pcd_writer.random_records(fields, 3, seed=3)
        crlf = pcd_writer.header_text(fields, 3, "ascii").replace("\n", "\r\n").encode()
        (out / f"{name}-crlf.pcd").write_bytes(crlf + pcd_writer.ascii_body(records, eol="\r\n"))
        no_count = pcd_writer.header_text(fields, 3, "binary", count_line=False).encode()
        (out / f"{name}-nocount.pcd").write_bytes(no_count + records.tobytes())
        written += 2
    for i, blob in enumerate(DAMAGED):
        (out / f"damaged-{i}.pcd").write_bytes(blob)
        written += 1
    print(f"{written} seeds in {out}")


if __name__ == "__main__":
    main()
