"""binary_compressed bodies: real files, round trips through the test writer, and broken bodies."""

import pathlib
import sys

import numpy as np
import pytest

import veloxel
from conftest import expected_fields, real_file
from pcd_writer import (XYZ, compressed_body, field_major, header_text, literal_block,
                        random_records, records_from_field_major)

TYPES = [("F", 4), ("F", 8), ("I", 1), ("I", 2), ("I", 4), ("I", 8), ("U", 1), ("U", 2),
         ("U", 4), ("U", 8)]
MIXED = XYZ + [("intensity", "F", 4, 1), ("ring", "U", 2, 1), ("normal", "F", 8, 3),
               ("label", "I", 1, 1)]
LZF_FAILED = "LZF decompression failed"


def assert_same_load(a, b):
    (points_a, fields_a), (points_b, fields_b) = a, b
    np.testing.assert_array_equal(points_a, points_b)
    assert list(fields_a) == list(fields_b)
    for name in fields_a:
        assert fields_a[name].dtype == fields_b[name].dtype, name
        np.testing.assert_array_equal(fields_a[name], fields_b[name], err_msg=name)


def assert_loads_records(path, records):
    points, fields = veloxel.load_pcd(path)
    np.testing.assert_array_equal(points, np.stack([records[c] for c in "xyz"], -1).astype("f4"))
    assert_same_load((points, fields), (points, expected_fields(records)))


def compressed_file(write_bytes, fields, records, *, points=None, data="binary_compressed",
                    tail=b"", **body):
    n = len(records) if points is None else points
    head = header_text(fields, n, data).encode()
    return write_bytes(head + compressed_body(records, **body) + tail)


# --- real files -----------------------------------------------------------------------------------

@pytest.mark.parametrize("name, points, first", [
    ("pcl/milk.pcd", 13704, (-0.1316076, -0.2095429, 0.772)),
    ("pcl/milk_color.pcd", 13704, (-0.1316076, -0.2095429, 0.772)),
    ("pcl/pcl_logo.pcd", 12909, None),
    ("pcl/lena.pcd", 65536, (1, 1, 0)),
    ("pcl/chef.pcd", 5092, None),  # its block is larger than the data it decodes to
    ("pcl/table_scene_mug_stereo_textured.pcd", 307200, (np.nan,) * 3),
    ("pypcd4/binary_compressed.pcd", 213, (0.93773, 0.33763, 0)),
    ("pypcd4/binary_compressed_organized.pcd", 8, None),
    ("generated/bun0_fpfh_compressed.pcd", 397, None),
    ("generated/o3d_legacy_compressed.pcd", 3903, None),
    ("generated/o3d_tensor_f64_compressed.pcd", 500,
     (494318.4808436607, 4877040.661845653, 100.65038366874427)),
    ("generated/pypcd4_fpfh_compressed.pcd", 397, None),
])
def test_real_compressed_file_loads(name, points, first):
    xyz, _ = veloxel.load_pcd(real_file(name))
    assert xyz.shape == (points, 3)
    if first is not None:
        np.testing.assert_array_equal(xyz[0], np.float32(first))


@pytest.mark.parametrize("binary, compressed", [
    ("pypcd4/binary.pcd", "pypcd4/binary_compressed.pcd"),
    ("generated/bun0_fpfh.pcd", "generated/bun0_fpfh_compressed.pcd"),
    ("generated/o3d_tensor_f64_binary.pcd", "generated/o3d_tensor_f64_compressed.pcd"),
    ("open3d/cloud_bin_0.pcd", "generated/o3d_legacy_compressed.pcd"),
])
def test_real_compressed_file_equals_its_binary_twin(binary, compressed):
    assert_same_load(veloxel.load_pcd(real_file(binary)), veloxel.load_pcd(real_file(compressed)))


def test_real_multi_field_files_are_decoded_field_by_field():
    # Read as interleaved records the two files agree on 2 of 13,704 points.
    milk, _ = veloxel.load_pcd(real_file("pcl/milk.pcd"))
    milk_color, fields = veloxel.load_pcd(real_file("pcl/milk_color.pcd"))
    np.testing.assert_array_equal(milk, milk_color)
    assert fields["rgba"][0] == 0xFF675A55
    lena, fields = veloxel.load_pcd(real_file("pcl/lena.pcd"))
    rows, cols = np.divmod(np.arange(65536), 256)
    np.testing.assert_array_equal(lena, np.stack([cols + 1, rows + 1, 0 * rows], -1))
    assert (fields["intensity"].min(), fields["intensity"].max()) == (20, 239)
    xyz, _ = veloxel.load_pcd(real_file("pcl/table_scene_mug_stereo_textured.pcd"))
    missing = np.isnan(xyz).all(axis=1)
    assert (missing.sum(), missing.argmin()) == (97920, 6538)


def test_real_mixed_sizes_equal_the_binary_twin(write_bytes):
    # PDAL names its fields X Y Z; renamed (same length, same body) the F 8, U 1/2 and F 4 fields
    # of PCL's compressed copy must decode to the binary original.
    def renamed(name):
        content = pathlib.Path(real_file(name)).read_bytes()
        return write_bytes(content.replace(b"FIELDS X Y Z ", b"FIELDS x y z ", 1))

    assert_same_load(veloxel.load_pcd(renamed("pdal/autzen-utm.pcd")),
                     veloxel.load_pcd(renamed("generated/autzen-utm_compressed.pcd")))


def test_real_pypcd4_count_field_is_read_as_pcl_writes_it():
    # pypcd4 stores a COUNT > 1 field element by element (all points' element 0, then element 1,
    # ...); PCL and Open3D keep each point's elements together, and so does veloxel. The pypcd4
    # file therefore loads with every other field intact and fpfh holding the transposed run.
    points, fields = veloxel.load_pcd(real_file("generated/pypcd4_fpfh_compressed.pcd"))
    twin_points, twin = veloxel.load_pcd(real_file("generated/bun0_fpfh.pcd"))
    np.testing.assert_array_equal(points, twin_points)
    for name in ("normal_x", "normal_y", "normal_z", "curvature"):
        np.testing.assert_array_equal(fields[name], twin[name])
    np.testing.assert_array_equal(fields["fpfh"].ravel(), twin["fpfh"].T.ravel())
    np.testing.assert_allclose(twin["fpfh"].sum(axis=1), 300, rtol=1e-5)


def test_real_file_without_xyz():
    with pytest.raises(RuntimeError, match=r"^PCD must contain x, y, z fields$"):
        veloxel.load_pcd(real_file("pcl/brisk_descriptors_gt.pcd"))


# --- round trips ----------------------------------------------------------------------------------

@pytest.mark.parametrize("count", [0, 1, 2, 3])
@pytest.mark.parametrize("type_, size", TYPES)
def test_round_trip_every_type_and_count(write, type_, size, count):
    fields = XYZ[:2] + [("value", type_, size, count)] + XYZ[2:] + [("after", "U", 2, 1)]
    records = random_records(fields, 257, seed=size * 4 + count)
    compressed = write(fields, records, "binary_compressed")
    assert_loads_records(compressed, records)
    assert_same_load(veloxel.load_pcd(compressed), veloxel.load_pcd(write(fields, records)))


CLOUDS = {
    "mixed": MIXED,
    "xyzi": XYZ + [("intensity", "F", 4, 1)],
    "xyz F 8": [(name, "F", 8, 1) for name in "xyz"],
    "eight 4-byte": XYZ + [(f"u{i}", "U", 2, 2) for i in range(5)],
    "nine 4-byte": XYZ + [(f"i{i}", "I", 4, 1) for i in range(6)],
}


@pytest.mark.parametrize("cloud", CLOUDS)
@pytest.mark.parametrize("n", [0, 1, 2, 3, 5000])
def test_round_trip_point_counts(write, n, cloud):
    records = random_records(CLOUDS[cloud], n, seed=n)
    assert_loads_records(write(CLOUDS[cloud], records, "binary_compressed"), records)


def test_data_kind_in_upper_case(write_bytes):
    records = random_records(MIXED, 10)
    assert_loads_records(compressed_file(write_bytes, MIXED, records, data="BINARY_COMPRESSED"),
                         records)


@pytest.mark.parametrize("tail", [b"\0" * 4000, b"\xff" * 100, b"garbage"])
def test_bytes_after_the_block_are_not_read(write_bytes, tail):
    records = random_records(MIXED, 40)
    assert_loads_records(compressed_file(write_bytes, MIXED, records, tail=tail), records)


@pytest.mark.parametrize("cut", [1, 12 * 40 + 3, 16 * 40 + 1, 49 * 40 - 1])
def test_short_stream_fills_the_first_fields_and_leaves_zeros(write_bytes, cut):
    records = random_records(MIXED, 40)
    raw = field_major(records)[:cut]
    path = compressed_file(write_bytes, MIXED, records, raw=raw)
    assert_loads_records(path, records_from_field_major(raw, records.dtype, len(records)))


# --- broken bodies --------------------------------------------------------------------------------

@pytest.mark.parametrize("body", [b"", b"\x05\0\0\0", b"\x05\0\0\0\x10\0\0"])
def test_body_shorter_than_its_sizes(write_bytes, body):
    head = header_text(MIXED, 3, "binary_compressed").encode()
    with pytest.raises(RuntimeError,
                       match=r"^PCD binary_compressed body ends before its two sizes$"):
        veloxel.load_pcd(write_bytes(head + body))


@pytest.mark.parametrize("extra", [-1, 1])
def test_block_decoding_to_one_byte_more_or_fewer(write_bytes, extra):
    records = random_records(MIXED, 30)
    raw = field_major(records)
    block_data = raw + b"\x07" if extra > 0 else raw[:-1]
    path = compressed_file(write_bytes, MIXED, records, block=literal_block(block_data),
                           uncompressed_size=len(raw))
    with pytest.raises(RuntimeError, match=f"^{LZF_FAILED}$"):
        veloxel.load_pcd(path)


@pytest.mark.parametrize("stated", ["one fewer", "one more", "4 GiB"])
def test_stated_size_other_than_the_block_decodes_to(write_bytes, stated):
    records = random_records(MIXED, 30)
    raw = field_major(records)
    size = {"one fewer": len(raw) - 1, "one more": len(raw) + 1, "4 GiB": 2**32 - 1}[stated]
    path = compressed_file(write_bytes, MIXED, records, uncompressed_size=size)
    with pytest.raises(RuntimeError, match=f"^{LZF_FAILED}$"):
        veloxel.load_pcd(path)


def test_block_decoding_beyond_the_point_buffer(write_bytes):
    # The block is consistent with its sizes, but there is no room for what it holds.
    records = random_records(MIXED, 30)
    raw = field_major(records) + b"\x01" * 8
    with pytest.raises(RuntimeError, match=f"^{LZF_FAILED}$"):
        veloxel.load_pcd(compressed_file(write_bytes, MIXED, records, raw=raw))


@pytest.mark.parametrize("stream", [1290, 1000])  # all 30 records of 43 bytes, or fewer
@pytest.mark.parametrize("missing", [1, 5, "the last run's data"])
def test_file_ending_inside_the_block_decodes_with_zeros(write_bytes, missing, stream):
    records = random_records(MIXED, 30)
    raw = field_major(records)[:stream]
    block = literal_block(raw)
    if not isinstance(missing, int):
        missing = len(raw) % 32 or 32  # all but the control byte of the last literal run
    path = compressed_file(write_bytes, MIXED, records, raw=raw, block=block[:-missing],
                           compressed_size=len(block))
    expected = records_from_field_major(raw[:-missing], records.dtype, len(records))
    assert_loads_records(path, expected)


def test_file_ending_inside_the_block_fails_when_zeros_change_the_size(write_bytes):
    # Losing a whole literal run, control byte included, leaves zeros that decode as runs of one
    # zero byte each: too few bytes.
    records = random_records(MIXED, 30)
    block = literal_block(field_major(records))
    path = compressed_file(write_bytes, MIXED, records, block=block[:-33],
                           compressed_size=len(block))
    with pytest.raises(RuntimeError, match=f"^{LZF_FAILED}$"):
        veloxel.load_pcd(path)


@pytest.mark.parametrize("block, stated, ok", [
    (b"", 0, True),  # nothing compressed, nothing stated: all zeros
    (b"", 5, False),
    (literal_block(b"\x01" * 40), 0, True),  # a stated size of 0 equals liblzf's failure result
])
def test_empty_block_or_empty_stated_size(write_bytes, block, stated, ok):
    records = random_records(MIXED, 4)
    path = compressed_file(write_bytes, MIXED, records, block=block, uncompressed_size=stated)
    if ok:
        assert_loads_records(path, np.zeros_like(records))
    else:
        with pytest.raises(RuntimeError, match=f"^{LZF_FAILED}$"):
            veloxel.load_pcd(path)


@pytest.mark.skipif(sys.platform == "win32", reason="ru_maxrss is POSIX")
@pytest.mark.parametrize("uncompressed_size", [16 * 10, 2**32 - 1])
def test_four_gib_claim_in_a_tiny_file_costs_no_memory(write_bytes, uncompressed_size):
    import resource

    fields = XYZ + [("intensity", "F", 4, 1)]
    records = random_records(fields, 10)
    path = compressed_file(write_bytes, fields, records, compressed_size=2**32 - 1,
                           uncompressed_size=uncompressed_size)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(RuntimeError, match=f"^{LZF_FAILED}$"):
        veloxel.load_pcd(path)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 64 * 1024


def test_field_outside_the_record_is_not_written(write_bytes):
    # COUNT -1 shrinks the record to 12 bytes, so the 8-byte z at offset 8 sticks out of it: its
    # run, inside the stream, is skipped, and the loader refuses the header.
    fields = XYZ[:2] + [("z", "F", 8, 1), ("w", "F", 4, -1)]
    head = header_text(fields, 50, "binary_compressed").encode()
    body = compressed_body(None, raw=bytes(range(200)) * 3)
    with pytest.raises(RuntimeError, match=r"^PCD field z lies outside the point record$"):
        veloxel.load_pcd(write_bytes(head + body))
