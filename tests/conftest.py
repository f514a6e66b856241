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
