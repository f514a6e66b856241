import os
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

import pcd_writer  # noqa: E402

REAL = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "testdata" / "real"


@pytest.fixture
def write(tmp_path):
    """write(fields, records, data="binary", **header) -> path of a new PCD file."""
    counter = iter(range(1_000_000))

    def _write(fields, records, data="binary", **header):
        return pcd_writer.write_pcd(tmp_path / f"cloud{next(counter)}.pcd", fields, records, data,
                                    **header)

    return _write


@pytest.fixture
def write_bytes(tmp_path):
    """write_bytes(content: bytes | str) -> path of a new file holding exactly content."""
    counter = iter(range(1_000_000))

    def _write(content):
        path = tmp_path / f"raw{next(counter)}.pcd"
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return _write


def real_file(relative: str) -> str:
    path = REAL / relative
    if not path.exists():
        pytest.skip(f"real test files not present ({REAL})")
    return str(path)


def expected_fields(records: np.ndarray) -> dict:
    """What load_pcd must return for records: every non-xyz field, (N,) or (N, count)."""
    return {name: records[name] for name in records.dtype.names if name not in ("x", "y", "z")}


def read_header(path):
    """(fields, points, body) of a PCD file, the header parsed here independently of veloxel:
    fields as (name, type, size, count) tuples, body the bytes after the DATA line."""
    with open(path, "rb") as f:
        raw = f.read()
    header, pos = {}, 0
    while True:
        end = raw.index(b"\n", pos)
        words = raw[pos:end].decode().split()
        pos = end + 1
        if words and not words[0].startswith("#"):
            header[words[0]] = words[1:]
        if words and words[0] == "DATA":
            break
    names = header["FIELDS"]
    sizes = [int(s) for s in header.get("SIZE", ["4"] * len(names))]
    counts = [int(c) for c in header.get("COUNT", ["1"] * len(names))]
    return list(zip(names, header["TYPE"], sizes, counts)), int(header["POINTS"][0]), raw[pos:]
