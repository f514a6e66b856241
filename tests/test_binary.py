"""Loading binary bodies: values, element types, shapes, errors and the order of checks."""

import numpy as np
import pytest

import veloxel
from conftest import expected_fields
from pcd_writer import XYZ, header_text, random_records, records_dtype

ALL_PAIRS = [("F", 4), ("F", 8), ("I", 1), ("I", 2), ("I", 4), ("I", 8),
             ("U", 1), ("U", 2), ("U", 4), ("U", 8)]


def assert_loads_as(path, records):
    points, fields = veloxel.load_pcd(path)
    xyz = np.stack([records["x"], records["y"], records["z"]], axis=-1).astype(np.float32)
    np.testing.assert_array_equal(points, xyz)
    assert points.dtype == np.float32 and points.shape == (len(records), 3)
    expected = expected_fields(records)
    assert list(fields) == list(expected)
    for name, values in expected.items():
        assert fields[name].dtype == values.dtype, name
        np.testing.assert_array_equal(fields[name], values, err_msg=name)


def test_xyz_only(write):
    records = np.zeros(2, dtype=records_dtype(XYZ))
    records["x"], records["y"], records["z"] = [1.5, -2], [3, 4.25], [5, 6]
    points, fields = veloxel.load_pcd(write(XYZ, records))
    np.testing.assert_array_equal(points, [[1.5, 3, 5], [-2, 4.25, 6]])
    assert fields == {}


@pytest.mark.parametrize("type_,size", ALL_PAIRS)
@pytest.mark.parametrize("count", [1, 2, 3])
def test_every_element_type(write, type_, size, count):
    fields = XYZ + [("value", type_, size, count), ("tail", "U", 1, 1)]
    records = random_records(fields, 7, seed=size * count)
    path = write(fields, records)
    assert_loads_as(path, records)
    values = veloxel.load_pcd(path)[1]["value"]
    point_size = 12 + size * count + 1
    assert values.shape == ((7,) if count == 1 else (7, count))
    assert values.strides == ((point_size,) if count == 1 else (point_size, size))


def test_count_zero_gives_an_empty_column(write_bytes):
    header = header_text(XYZ + [("pad", "U", 1, 0), ("i", "U", 1, 1)], 2, "binary")
    body = np.arange(26, dtype=np.uint8).tobytes()
    points, fields = veloxel.load_pcd(write_bytes(header.encode() + body))
    assert fields["pad"].shape == (2, 0)
    np.testing.assert_array_equal(fields["i"], [12, 25])


def test_points_zero(write):
    fields = XYZ + [("intensity", "F", 4, 1), ("hist", "U", 2, 5)]
    points, values = veloxel.load_pcd(write(fields, random_records(fields, 0)))
    assert points.shape == (0, 3)
    assert values["intensity"].shape == (0,) and values["hist"].shape == (0, 5)


def test_short_body_reads_as_zero(write_bytes):
    fields = XYZ + [("intensity", "F", 4, 1)]
    records = random_records(fields, 4)
    data = header_text(fields, 4, "binary").encode() + records.tobytes()[:40]
    points, values = veloxel.load_pcd(write_bytes(data))
    expected = np.zeros_like(records)
    expected.view(np.uint8)[:40] = records.view(np.uint8)[:40]
    np.testing.assert_array_equal(values["intensity"], expected["intensity"])
    np.testing.assert_array_equal(points[:, 0], expected["x"])
    np.testing.assert_array_equal(points[2:, 2], 0)


def test_bytes_after_the_records_are_ignored(write_bytes):
    records = random_records(XYZ, 3)
    data = header_text(XYZ, 3, "binary").encode() + records.tobytes() + b"\xff" * 4000
    points, _ = veloxel.load_pcd(write_bytes(data))
    assert points.shape == (3, 3)


@pytest.mark.parametrize("names", [["X", "Y", "Z"], ["x", "y"], ["x", "z", "intensity"], []])
@pytest.mark.parametrize("kind", ["binary", "ascii", "binary_compressed", "lz4"])
def test_missing_xyz_is_checked_first(write_bytes, names, kind):
    fields = [(n, "F", 4, 1) for n in names]
    with pytest.raises(RuntimeError, match=r"^PCD must contain x, y, z fields$"):
        veloxel.load_pcd(write_bytes(header_text(fields, 1, kind) + "\0" * 64))


@pytest.mark.parametrize("data_line,message", [
    ("DATA lz4", "Unsupported PCD DATA type: lz4"),
    ("DATA LZ4", "Unsupported PCD DATA type: lz4"),
    ("DATA", "Unsupported PCD DATA type: "),
    ("", "Unsupported PCD DATA type: "),
])
def test_unsupported_data_kind(write_bytes, data_line, message):
    header = header_text(XYZ, 1, "binary").replace("DATA binary\n", data_line)
    with pytest.raises(RuntimeError) as info:
        veloxel.load_pcd(write_bytes(header))
    assert str(info.value) == message


def test_missing_file_names_the_file(tmp_path):
    missing = str(tmp_path / "nope.pcd")
    with pytest.raises(RuntimeError) as info:
        veloxel.load_pcd(missing)
    assert str(info.value) == "Cannot open PCD file: " + missing


@pytest.mark.parametrize("name", [b"bad\xff\xfename.pcd", b"with\0nul.pcd"])
def test_unopenable_byte_names_still_raise_runtime_error(tmp_path, name):
    # A NUL byte would otherwise open the shorter path "with".
    (tmp_path / "with").write_bytes(header_text(XYZ, 0, "binary").encode())
    with pytest.raises(RuntimeError, match=r"^Cannot open PCD file: "):
        veloxel.load_pcd(bytes(tmp_path) + b"/" + name)


def test_directory_cannot_be_opened(tmp_path):
    with pytest.raises(RuntimeError) as info:
        veloxel.load_pcd(str(tmp_path))
    assert str(info.value) == f"Cannot open PCD file: {tmp_path}"


def test_negative_points_is_too_long(write_bytes):
    with pytest.raises(ValueError, match=r"^vector too long$"):
        veloxel.load_pcd(write_bytes(header_text(XYZ, -1, "binary")))


def test_point_data_beyond_64_bits_is_refused(write_bytes):
    fields = XYZ + [("huge", "U", 8, 2**31 - 1)]
    with pytest.raises(ValueError, match=r"^vector too long$"):
        veloxel.load_pcd(write_bytes(header_text(fields, 2**31 - 1, "binary")))


def test_unsupported_pair_fails_after_the_body(write_bytes):
    fields = XYZ + [("half", "F", 2, 1)]
    with pytest.raises(RuntimeError, match=r"^Unsupported PCD type/size$"):
        veloxel.load_pcd(write_bytes(header_text(fields, 1, "binary") + "\0" * 14))


def test_duplicate_names(write_bytes):
    fields = [("x", "F", 4, 1), ("normal", "U", 1, 1)] + XYZ + [("i", "U", 1, 1),
                                                                ("normal", "U", 2, 1)]
    header = header_text(fields, 1, "binary").encode()
    body = np.arange(20, dtype=np.uint8).tobytes()
    points, values = veloxel.load_pcd(write_bytes(header + body))
    # The later x counts; the later normal replaces the earlier one but keeps its place.
    assert points.__array_interface__["data"][0] - values["i"].__array_interface__["data"][0] == -12
    assert list(values) == ["normal", "i"]
    assert values["normal"].dtype == np.uint16 and values["normal"][0] == 18 | 19 << 8


@pytest.mark.parametrize("order", [("z", "y", "x"), ("x", "z", "y")])
@pytest.mark.parametrize("type_,size", [("F", 8), ("F", 4), ("I", 2), ("U", 4)])
def test_other_xyz_layouts_are_converted(write, order, type_, size):
    fields = [("intensity", "F", 4, 1)] + [(n, type_, size, 1) for n in order]
    records = random_records(fields, 9, seed=3)
    points, values = veloxel.load_pcd(write(fields, records))
    xyz = np.stack([records[n] for n in "xyz"], axis=-1).astype(np.float32)
    np.testing.assert_array_equal(points, xyz)
    assert points.dtype == np.float32 and points.flags.owndata  # a converted copy
    np.testing.assert_array_equal(values["intensity"], records["intensity"])


@pytest.mark.parametrize("xyz_type", [("F", 2), ("f", 4), ("I", 3)])
def test_unconvertible_xyz_is_unsupported(write_bytes, xyz_type):
    fields = [("x", *xyz_type, 1), ("y", "F", 4, 1), ("z", "F", 4, 1)]
    with pytest.raises(RuntimeError, match=r"^Unsupported PCD type/size$"):
        veloxel.load_pcd(write_bytes(header_text(fields, 1, "binary") + "\0" * 16))


@pytest.mark.parametrize("lines,field", [
    # SIZE after COUNT: 'big' grows to 8 bytes but keeps its 1-byte slot at the end.
    (["FIELDS x y z big", "SIZE 4 4 4 1", "COUNT 1 1 1 1", "SIZE 4 4 4 8"], "big"),
    # z given a count of 0 has no element inside the record.
    (["FIELDS x y z", "SIZE 4 4 8", "TYPE F F F", "COUNT 1 1 0"], "z"),
    # x, y, z converted but z announced after COUNT: offset 0 yet 8 bytes past a 4-byte record.
    (["FIELDS x y", "SIZE 2 2", "TYPE I I", "COUNT 1 1", "FIELDS z", "SIZE 2 2 8", "TYPE I I F"],
     "z"),
])
def test_fields_outside_the_record_are_refused(write_bytes, lines, field):
    text = "\n".join(lines + ["POINTS 2", "DATA binary", ""]) + "\0" * 64
    with pytest.raises(RuntimeError) as info:
        veloxel.load_pcd(write_bytes(text))
    assert str(info.value) == f"PCD field {field} lies outside the point record"


def test_short_body_after_a_large_load_still_reads_as_zero(write_bytes):
    """Buffers of a few MiB come from reused heap memory: what the body misses must be zeroed."""
    n = 400_000  # 4.8 MB of records
    header = header_text(XYZ, n, "binary").encode()
    full = write_bytes(header + b"\xff" * (12 * n))
    short = write_bytes(header + b"\x01" * 12)
    for _ in range(3):
        full_points, _ = veloxel.load_pcd(full)
        assert np.isnan(full_points).all()
        del full_points
        points, _ = veloxel.load_pcd(short)
        assert points.view(np.uint8)[0].tolist() == [1] * 12
        assert not points[1:].any()
