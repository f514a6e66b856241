"""A small PCD writer for tests, examples and benchmarks.

Fields are (name, type, size, count) tuples. Records are NumPy structured arrays with the packed
layout of a binary body; the same records can be written in all three DATA kinds.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from typing import Iterable, Sequence

import numpy as np

Field = tuple  # (name, type letter, size, count)

XYZ = [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1)]

_NUMPY_KIND = {"F": "f", "I": "i", "U": "u"}


def field_dtype(type_: str, size: int) -> np.dtype:
    return np.dtype(f"<{_NUMPY_KIND[type_]}{size}")


def records_dtype(fields: Sequence[Field]) -> np.dtype:
    """The packed structured dtype of one point record; duplicate names get a suffix."""
    names, formats, offsets = [], [], []
    offset = 0
    for i, (name, type_, size, count) in enumerate(fields):
        base = field_dtype(type_, size)
        names.append(name if name not in names else f"{name}#{i}")
        formats.append(base if count == 1 else (base, (count,)))
        offsets.append(offset)
        offset += size * count
    return np.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": offset})


def random_records(fields: Sequence[Field], n: int, seed: int = 0) -> np.ndarray:
    """n records with values that survive a trip through text (floats printed shortest)."""
    rng = np.random.default_rng(seed)
    out = np.zeros(n, dtype=records_dtype(fields))
    for name in out.dtype.names:
        sub = out[name]
        if sub.dtype.kind == "f":
            sub[...] = rng.normal(0, 100, sub.shape).astype(sub.dtype)
        else:
            info = np.iinfo(sub.dtype)
            sub[...] = rng.integers(info.min, info.max, sub.shape, dtype=sub.dtype, endpoint=True)
    return out


def header_text(fields: Sequence[Field], points: int, data: str, *, width: int | None = None,
                count_line: bool = True, extra: Iterable[str] = ()) -> str:
    lines = ["# .PCD v0.7 - Point Cloud Data file format", "VERSION 0.7",
             "FIELDS " + " ".join(f[0] for f in fields),
             "SIZE " + " ".join(str(f[2]) for f in fields),
             "TYPE " + " ".join(f[1] for f in fields)]
    if count_line:
        lines.append("COUNT " + " ".join(str(f[3]) for f in fields))
    lines += [f"WIDTH {points if width is None else width}", "HEIGHT 1",
              "VIEWPOINT 0 0 0 1 0 0 0", f"POINTS {points}", *extra, f"DATA {data}"]
    return "\n".join(lines) + "\n"


def ascii_body(records: np.ndarray, sep: str = " ", eol: str = "\n") -> bytes:
    """One line a point, each field's elements in order; NumPy prints floats shortest."""
    columns = []
    for name in records.dtype.names:
        col = records[name]
        columns.append(col.reshape(len(records), int(np.prod(col.shape[1:], dtype=np.int64))))
    lines = []
    for i in range(len(records)):
        lines.append(sep.join(str(v) for col in columns for v in col[i]))
    return (eol.join(lines) + (eol if lines else "")).encode()


def field_major(records: np.ndarray) -> bytes:
    """The records regrouped field by field, each point's elements together: the layout that PCL,
    Open3D and pypcd4 compress."""
    return b"".join(np.ascontiguousarray(records[name]).tobytes() for name in records.dtype.names)


def _load_liblzf():
    name = ctypes.util.find_library("lzf")
    for candidate in (name, "liblzf.so.1", "liblzf.so"):
        if not candidate:
            continue
        try:
            lib = ctypes.CDLL(candidate)
        except OSError:
            continue
        lib.lzf_compress.restype = ctypes.c_uint
        lib.lzf_compress.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint]
        return lib
    return None


_LZF = _load_liblzf()


def records_from_field_major(raw: bytes, dtype: np.dtype, n: int) -> np.ndarray:
    """The inverse of field_major: n records of dtype from a field-by-field stream (the stream is
    cut or zero-padded to n records' worth)."""
    raw = raw[:n * dtype.itemsize].ljust(n * dtype.itemsize, b"\0")
    out = np.zeros(n, dtype=dtype)
    position = 0
    for name in dtype.names:
        run = n * dtype.fields[name][0].itemsize
        out[name] = np.frombuffer(raw[position:position + run], dtype=out[name].dtype.base).reshape(
            out[name].shape)
        position += run
    return out


def literal_block(data: bytes) -> bytes:
    """An LZF block of data made of literal runs only: a control byte (length - 1), then up to 32
    bytes as they are. Valid and predictable, never smaller than data."""
    return b"".join(bytes([len(data[i:i + 32]) - 1]) + data[i:i + 32]
                    for i in range(0, len(data), 32))


def lzf_compress(data: bytes) -> bytes:
    """An LZF block of data: liblzf where it is installed, else literal runs (valid, not smaller)."""
    if _LZF is not None and data:
        out = ctypes.create_string_buffer(len(data) + len(data) // 16 + 64)
        n = _LZF.lzf_compress(data, len(data), out, len(out))
        if n:
            return out.raw[:n]
    return literal_block(data)


def compressed_body(records: np.ndarray, *, raw: bytes | None = None, block: bytes | None = None,
                    compressed_size: int | None = None,
                    uncompressed_size: int | None = None) -> bytes:
    """A binary_compressed body: the two sizes, then the block. raw (default: the records field by
    field) is compressed unless block is given; the stated sizes default to the true ones and may
    be made to lie."""
    raw = field_major(records) if raw is None else raw
    block = lzf_compress(raw) if block is None else block
    compressed_size = len(block) if compressed_size is None else compressed_size
    uncompressed_size = len(raw) if uncompressed_size is None else uncompressed_size
    return (compressed_size.to_bytes(4, "little") + uncompressed_size.to_bytes(4, "little") +
            block)


def encode(fields: Sequence[Field], records: np.ndarray, data: str, **header) -> bytes:
    """A whole PCD file holding records in DATA kind data."""
    if data == "binary":
        body = records.tobytes()
    elif data == "ascii":
        body = ascii_body(records)
    elif data == "binary_compressed":
        body = compressed_body(records)
    else:
        raise ValueError(data)
    return header_text(fields, len(records), data, **header).encode() + body


def write_pcd(path: str | os.PathLike, fields: Sequence[Field], records: np.ndarray,
              data: str = "binary", **header) -> str:
    with open(path, "wb") as f:
        f.write(encode(fields, records, data, **header))
    return os.fspath(path)
