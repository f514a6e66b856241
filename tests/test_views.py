"""The arrays are views on one buffer that a capsule owns."""

import gc

import numpy as np
import pytest

import veloxel
from pcd_writer import XYZ, random_records

FIELDS = XYZ + [("intensity", "F", 4, 1), ("ring", "U", 2, 1), ("hist", "F", 4, 3)]


@pytest.fixture
def loaded(write):
    records = random_records(FIELDS, 50)
    return records, veloxel.load_pcd(write(FIELDS, records))


def address(array):
    return array.__array_interface__["data"][0]


def test_every_array_views_the_one_capsule(loaded):
    _, (points, fields) = loaded
    arrays = [points, *fields.values()]
    assert type(points.base).__name__ == "PyCapsule"
    assert all(a.base is points.base for a in arrays)
    assert not any(a.flags.owndata for a in arrays)
    assert all(a.flags.writeable for a in arrays)
    # Offsets inside the record: x at 0, intensity at 12, ring at 16, hist at 18; 30-byte records.
    assert [address(a) - address(points) for a in arrays] == [0, 12, 16, 18]
    assert points.strides == (30, 4) and fields["hist"].strides == (30, 4)


def test_a_write_shows_in_every_view_of_the_bytes(write_bytes):
    # 'wide' is re-sized after COUNT, so it covers its own byte and the next field's.
    header = "FIELDS x y z wide next\nSIZE 4 4 4 1 1\nTYPE F F F U U\nCOUNT 1 1 1 1 1\n" \
             "SIZE 4 4 4 2 1\nPOINTS 2\nDATA binary\n"
    _, fields = veloxel.load_pcd(write_bytes(header.encode() + bytes(28)))
    fields["wide"][1] = 0x0201
    assert fields["next"][1] == 2


def test_views_keep_the_buffer_alive(loaded):
    records, result = loaded
    points, fields = result
    hist = fields["hist"]
    first_row = points[:1]
    del result, points, fields
    gc.collect()
    np.testing.assert_array_equal(hist, records["hist"])
    np.testing.assert_array_equal(first_row[0], [records["x"][0], records["y"][0], records["z"][0]])


def test_a_write_into_one_column_leaves_the_others(loaded):
    records, (points, fields) = loaded
    points[:, 2] = 7.0
    assert (points[:, 2] == 7.0).all()
    np.testing.assert_array_equal(fields["intensity"], records["intensity"])
