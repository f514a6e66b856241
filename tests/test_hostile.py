"""Hostile files: each ends in its documented error or result, and huge claims over tiny bodies
leave the process resident in about what the file holds."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import pcd_writer
import veloxel
from pcd_writer import XYZ

def header(fields="x y z", size="4 4 4", type_="F F F", count="1 1 1", points=1, data="binary"):
    return (f"FIELDS {fields}\nSIZE {size}\nTYPE {type_}\nCOUNT {count}\n"
            f"POINTS {points}\nDATA {data}\n").encode("utf-8", "surrogateescape")


MEASURE = textwrap.dedent("""
    import json, sys
    import numpy, veloxel
    def peak_kib():  # VmHWM: ru_maxrss would carry over the parent's peak through fork and exec
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmHWM"))
    before = peak_kib()
    try:
        points, fields = veloxel.load_pcd(sys.argv[1])
        outcome = {"shape": list(points.shape), "first": points[:1].tolist(),
                   "fields": {k: list(v.shape) for k, v in fields.items()}}
    except Exception as e:
        outcome = {"error": type(e).__name__, "message": str(e)}
    outcome["grew_mib"] = (peak_kib() - before) / 1024
    print(json.dumps(outcome))
""")


def load_measured(path):
    """The outcome of load_pcd in a fresh interpreter, with its growth in peak resident memory."""
    run = subprocess.run([sys.executable, "-c", MEASURE, path], capture_output=True, text=True,
                         env=os.environ)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


XYZ_001 = np.array([0, 0, 1], "<f4").tobytes()

# Claims of gigabytes over a body of a few bytes: the loader maps zero pages that nothing touches,
# or reports that it cannot have them.
HUGE_CLAIMS = {
    "points_2_31_minus_1_binary": header(points=2**31 - 1) + XYZ_001,
    "points_2_31_minus_1_ascii": header(points=2**31 - 1, data="ascii") + b"0 0 1\n",
    "size_times_count_past_32_bits": header("x y z big", "4 4 4 8", "F F F U", "1 1 1 536870912",
                                            points=4) + XYZ_001,
}


@pytest.mark.parametrize("name", HUGE_CLAIMS)
def test_huge_claim_over_tiny_body_stays_small(write_bytes, name):
    outcome = load_measured(write_bytes(HUGE_CLAIMS[name]))
    if "error" in outcome:
        assert outcome["error"] == "MemoryError"
    else:
        assert outcome["first"] == [[0.0, 0.0, 1.0]]
        if name.startswith("size_times_count"):
            assert outcome["fields"] == {"big": [4, 536870912]}
    assert outcome["grew_mib"] < 64


@pytest.mark.parametrize("head, error, message", [
    (header(points=-1), ValueError, "vector too long"),
    (header(points=-2147483648, data="ascii"), ValueError, "vector too long"),
    (header(size="4 -4 4"), RuntimeError, "Unsupported PCD type/size"),
    (header("x y z i", "4 4 4 -4", "F F F U", "1 1 1 1"), RuntimeError,
     "PCD field z lies outside the point record"),
    (header(count="1 1 -1"), RuntimeError, "PCD field y lies outside the point record"),
    (header("i x y z", "4 4 4 4", "F F F F", "-1 1 1 1"), RuntimeError,
     "PCD field x lies outside the point record"),
    (header("x y z i", "4 4 4 4", "F F F F", "1 1 1 -2147483648"), ValueError, "vector too long"),
    # size x count near 2^62 per record, and points x point_step past 2^64
    (header("x y z big", "4 4 4 2147483647", "F F F U", "1 1 1 2147483647", points=4),
     ValueError, "vector too long"),
    (header("x y z big", "4 4 4 8", "F F F U", "1 1 1 2147483647", points=2**31 - 1),
     ValueError, "vector too long"),
    # offsets are laid out when COUNT is read, from the sizes known then
    (b"FIELDS x y z\nCOUNT 1 1 1\nSIZE 8 8 8\nTYPE F F F\nPOINTS 1\nDATA binary\n" + bytes(24),
     RuntimeError, "PCD field z lies outside the point record"),
    (header("x y z \udcff", "4 4 4 1", "F F F U", "1 1 1 1") + bytes(13),
     UnicodeDecodeError, "invalid start byte"),
    (b"", RuntimeError, "PCD must contain x, y, z fields"),
    (b"FIELDS x y z\n" + b"# no DATA line\n" * 1_000_000, RuntimeError,
     "Unsupported PCD DATA type: "),
], ids=["negative_points", "min_points_ascii", "negative_xyz_size", "negative_field_size",
        "negative_xyz_count", "negative_count_before_xyz", "min_count", "size_times_count_2_62",
        "points_times_step_past_64_bits", "size_after_count", "field_name_not_utf8",
        "empty_file", "million_header_lines_no_data"])
def test_hostile_header_is_refused(write_bytes, head, error, message):
    with pytest.raises(error) as info:
        veloxel.load_pcd(write_bytes(head))
    if error is UnicodeDecodeError:
        assert message in str(info.value)
    else:
        assert str(info.value) == message


def test_fields_after_count_keep_offset_zero(write_bytes):
    # z comes after the COUNT line, so it gets no offset of its own and reads x's bytes.
    body = np.array([1.5, 2.5], "<f4").tobytes()
    points, fields = veloxel.load_pcd(write_bytes(
        b"FIELDS x y\nSIZE 4 4\nTYPE F F\nCOUNT 1 1\nFIELDS z\nPOINTS 1\nDATA binary\n" + body))
    assert points.tolist() == [[1.5, 2.5, 1.5]] and fields == {}


@pytest.mark.parametrize("data", ["binary", "ascii", "binary_compressed"])
def test_data_line_and_nothing_after(write_bytes, data):
    path = write_bytes(header(points=2, data=data))
    if data == "binary_compressed":
        # A body without its two size words cannot be decoded.
        with pytest.raises(RuntimeError) as info:
            veloxel.load_pcd(path)
        assert str(info.value) == "PCD binary_compressed body ends before its two sizes"
        return
    points, fields = veloxel.load_pcd(path)
    assert points.tolist() == [[0, 0, 0], [0, 0, 0]] and fields == {}


def test_binary_body_spelling_data(write_bytes):
    body = b"DATA binary\n" + bytes(12)
    points, _ = veloxel.load_pcd(write_bytes(header(points=2) + body))
    assert points.tobytes() == body


@pytest.mark.parametrize("data", ["binary", "ascii", "binary_compressed"])
def test_padding_and_count_zero_fields(write, data):
    fields = XYZ + [("_", "U", 1, 4), ("i", "I", 2, 1), ("_", "U", 1, 10), ("e", "F", 4, 0),
                    ("_", "U", 1, 4)]
    records = pcd_writer.random_records(fields, 5, seed=5)
    points, got = veloxel.load_pcd(write(fields, records, data))
    assert np.array_equal(points, np.stack([records[c] for c in "xyz"], axis=1))
    assert sorted(got) == ["_", "e", "i"]
    assert np.array_equal(got["i"], records["i"])
    assert got["e"].shape == (5, 0)
    # the later "_" wins, as a dict keeps one value per key
    assert np.array_equal(got["_"], records[records.dtype.names[-1]])


def test_directory_is_refused(tmp_path):
    with pytest.raises(RuntimeError) as info:
        veloxel.load_pcd(str(tmp_path))
    assert str(info.value) == f"Cannot open PCD file: {tmp_path}"


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0,
                    reason="root reads files whatever their mode")
def test_unreadable_file_is_refused(write, tmp_path):
    path = write(XYZ, pcd_writer.random_records(XYZ, 1))
    os.chmod(path, 0)
    with pytest.raises(RuntimeError) as info:
        veloxel.load_pcd(path)
    assert str(info.value) == f"Cannot open PCD file: {path}"


# Bodies that only the ascii and compressed decoders read.
def compressed(points, block_sizes, block=b""):
    return header(points=points, data="binary_compressed") + b"".join(
        n.to_bytes(4, "little") for n in block_sizes) + block


def test_one_huge_ascii_token(write_bytes):
    path = write_bytes(header(points=2, data="ascii") + b"1" * 10_000_000 + b"\n")
    points, _ = veloxel.load_pcd(path)
    assert points.tolist() == [[np.inf, 0, 0], [0, 0, 0]]


@pytest.mark.parametrize("body", [
    compressed(1, [2**32 - 1, 2**32 - 1], b"\x00abc"),
    compressed(1, [2**32 - 1, 12], b"\x0b" + bytes(12)),
    compressed(1, [13, 2**32 - 1], b"\x0b" + bytes(12)),
    # raw records under a binary_compressed header, as an old writer stored them: 1.0f as sizes
    header(points=3, data="binary_compressed") + np.ones(9, "<f4").tobytes(),
], ids=["both_4_gib", "compressed_4_gib", "uncompressed_4_gib", "raw_records"])
def test_compressed_sizes_that_lie(write_bytes, body):
    outcome = load_measured(write_bytes(body))
    assert outcome.get("message") == "LZF decompression failed"
    assert outcome["grew_mib"] < 64


def test_compressed_body_far_smaller_than_points(write_bytes):
    # 10^7 points claimed; the block holds six values: the start of the x run, stored field by
    # field. Only the stated bytes are decoded; the rest of the buffer stays untouched zero pages.
    raw = np.arange(1, 7, dtype="<f4").tobytes()
    block = pcd_writer.lzf_compress(raw)
    outcome = load_measured(write_bytes(compressed(10**7, [len(block), len(raw)], block)))
    assert outcome["shape"] == [10**7, 3] and outcome["first"] == [[1.0, 0.0, 0.0]]
    assert outcome["grew_mib"] < 64


def test_empty_cloud_with_wrapped_offsets(write_bytes):
    # Regression: a negative COUNT wraps the running offset so x, y and z sit 2^64 - 8 bytes into a
    # record; with no points, converting them formed a pointer that far past the empty buffer
    # (undefined behaviour that UBSan reports in the sanitizer build).
    path = write_bytes(header("a x y z", "4 1 1 1", "F U U U", "-2 1 1 1", points=0))
    points, fields = veloxel.load_pcd(path)
    assert points.shape == (0, 3) and points.dtype == np.float32
    assert {name: a.shape for name, a in fields.items()} == {"a": (0, 0)}
