"""Files written by PCL, Open3D, PDAL and pypcd4 (read from ../shared/testdata/real)."""

import numpy as np
import pytest

import veloxel
from conftest import REAL, read_header, real_file
from pcd_writer import field_dtype, records_dtype


def reference(path):
    """(fields, records) of a binary file, parsed independently with NumPy."""
    fields, points, body = read_header(path)
    return fields, np.frombuffer(body, records_dtype(fields), count=points)


BINARY = ["pcl/colored_cloud.pcd", "pcl/curve_close.pcd", "pcl/office1_keypoints.pcd",
          "pypcd4/binary.pcd", "open3d/cloud_bin_0.pcd", "generated/bun0_fpfh.pcd",
          "generated/o3d_tensor_f64_binary.pcd"]


@pytest.mark.parametrize("name", BINARY)
def test_binary_files_match_an_independent_reading(name):
    path = real_file(name)
    fields, records = reference(path)
    points, values = veloxel.load_pcd(path)
    xyz = np.stack([records["x"], records["y"], records["z"]], axis=-1)
    np.testing.assert_array_equal(points, xyz.astype(np.float32))
    assert list(values) == [f[0] for f in fields if f[0] not in "xyz"]
    for field_name, type_, size, count in fields:
        if field_name in values:
            assert values[field_name].dtype == field_dtype(type_, size)
            np.testing.assert_array_equal(values[field_name], records[field_name])


def test_colored_cloud_rgb_is_unsigned():
    points, fields = veloxel.load_pcd(real_file("pcl/colored_cloud.pcd"))
    assert points.shape == (1000, 3) and fields["rgb"][0] == 0xFF6C6D69


def test_fpfh_histograms_are_rows():
    _, fields = veloxel.load_pcd(real_file("generated/bun0_fpfh.pcd"))
    assert fields["fpfh"].shape == (397, 33)
    np.testing.assert_allclose(fields["fpfh"].sum(axis=1), 300, rtol=1e-4)


def test_float64_positions_are_converted():
    points, fields = veloxel.load_pcd(real_file("generated/o3d_tensor_f64_binary.pcd"))
    np.testing.assert_array_equal(
        points[0], np.float32([494318.4808436607, 4877040.661845653, 100.65038366874427]))
    assert fields["label"][0] == 8 and fields["label"].dtype == np.int32


def test_upper_case_xyz_is_refused():
    with pytest.raises(RuntimeError, match="^PCD must contain x, y, z fields$"):
        veloxel.load_pcd(real_file("pdal/autzen-utm.pcd"))


def test_every_real_file_loads_or_fails_cleanly():
    if not REAL.exists():
        pytest.skip(f"real test files not present ({REAL})")
    for path in sorted(REAL.rglob("*.pcd")):
        try:
            points, fields = veloxel.load_pcd(str(path))
        except RuntimeError:
            continue
        assert points.dtype == np.float32 and points.ndim == 2 and points.shape[1] == 3
