"""DATA ascii: text bodies decode to the same point records a binary body holds."""

import math
import pathlib
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import veloxel
from conftest import expected_fields, read_header, real_file
from pcd_writer import XYZ, ascii_body, header_text, records_dtype

INF = math.inf
NAN = math.nan


@pytest.fixture
def load_text(write_bytes):
    """load_text(body, fields=XYZ, points=2, **header) -> load_pcd of that header and body."""

    def _load(body, fields=XYZ, points=2, **header):
        text = header_text(fields, points, "ascii", **header).encode()
        body = body.encode() if isinstance(body, str) else body
        return veloxel.load_pcd(write_bytes(text + body))

    return _load


def f32(*values):
    return np.array(values, dtype=np.float32).reshape(-1, 3)


def assert_same_bytes(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    assert np.ascontiguousarray(actual).tobytes() == np.ascontiguousarray(expected).tobytes()


# --- tokenisation and separators ------------------------------------------------------------------

@pytest.mark.parametrize("body", [
    "1 2 3\n4 5 6\n",
    "1 2 3 4 5 6",
    "1\n2\n3\n4\n5\n6\n",
    "1 2 3\r\n4 5 6\r\n",
    "1\t2\t3\n4\t5\t6\n",
    "1 2 3 \n4 5 6 \n",                          # every line ends in a space
    "\n\n  1 2 3\n\n4 5 6",
    "1\v2\f3\x004\x015\x1f6",                       # control bytes separate
    b"1\xc2\xa02\xff3\x804 5 6",                   # so does every byte from 0x80
    "1 2 3 4 5 6 7 8 9",                          # text past the last point is never read
])
def test_separators(load_text, body):
    points, _ = load_text(body)
    assert_same_bytes(points, f32(1, 2, 3, 4, 5, 6))


@pytest.mark.parametrize("body, expected", [
    ("1 2 3\n4 5", f32(1, 2, 3, 4, 5, 0)),
    ("1 2 3", f32(1, 2, 3, 0, 0, 0)),
    ("1 2 3\n", f32(1, 2, 3, 0, 0, 0)),
    ("", f32(0, 0, 0, 0, 0, 0)),
    ("\n", f32(0, 0, 0, 0, 0, 0)),
    ("1,2,3 4,5,6", f32(1, 0, 0, 0, 0, 0)),      # the comma holds the cursor from y on
    ("+1 2 3 4 5 6", f32(0, 0, 0, 0, 0, 0)),     # so does a leading plus
    ("12abc 5 6 7 8 9", f32(12, 0, 0, 0, 0, 0)),
    ("- 2 3 4 5 6", f32(0, 0, 0, 0, 0, 0)),      # a lone minus is no number
    ("0x10 2 3", f32(0, 0, 0, 0, 0, 0)),         # no hexadecimal: 0, then x holds
])
def test_short_unreadable_and_surplus_text(load_text, body, expected):
    points, _ = load_text(body)
    assert_same_bytes(points, expected)


def test_empty_body_without_line_feed(write_bytes):
    text = header_text(XYZ, 2, "ascii").rstrip("\n")
    points, _ = veloxel.load_pcd(write_bytes(text))
    assert_same_bytes(points, f32(0, 0, 0, 0, 0, 0))


def test_zero_points_decodes_nothing(load_text):
    points, fields = load_text("1 2 3\n", points=0)
    assert points.shape == (0, 3) and fields == {}


# --- floating point -------------------------------------------------------------------------------

@pytest.mark.parametrize("body, expected", [
    (".5 5. -.5", [0.5, 5, -0.5]),
    ("1e5 1E+2 2e", [1e5, 100, 2]),
    ("1e-2 1E-0 -0", [0.01, 1, -0.0]),
    ("nan -inf Infinity", [NAN, -INF, INF]),
    ("NaN -nan iNF", [NAN, -NAN, INF]),          # the sign of a NaN is kept
    ("nan(123_abc) 2 3", [NAN, 2, 3]),
    ("1e39 -1e39 1e-50", [INF, -INF, 0.0]),
    ("-1e-50 3.4028235e38 1.4e-45", [-0.0, 3.4028235e38, 1.4e-45]),
])
def test_float32_values(load_text, body, expected):
    points, _ = load_text(body, points=1)
    assert_same_bytes(points, f32(*expected))


def test_nan_with_unclosed_brackets_stops_after_nan(load_text):
    points, _ = load_text("nan(ab-c) 2 3", points=1)
    assert np.isnan(points[0, 0]) and points[0, 1:].tolist() == [0, 0]


def test_exponent_letter_without_digits_holds_the_cursor(load_text):
    points, _ = load_text("1e5 1E+2 2e 7 8 9")
    assert_same_bytes(points, f32(1e5, 100, 2, 0, 0, 0))


@pytest.mark.parametrize("size, text, little_endian", [
    (4, "0.1", "cdcccc3d"),
    (8, "0.1", "9a9999999999b93f"),
    (8, "1e39", np.float64(1e39).tobytes().hex()),
    # Just above the midpoint of 1 and the next float: through double it would become the
    # midpoint itself and round to even (1.0); rounded once it is the next float up.
    (4, "1.00000005960464477539062500001", "0100803f"),
    (4, "1.00000005960464477539062499999", "0000803f"),
])
def test_float_rounding_is_byte_exact(load_text, size, text, little_endian):
    fields = XYZ + [("v", "F", size, 1)]
    _, values = load_text(f"0 0 0 {text}", fields=fields, points=1)
    assert values["v"].tobytes().hex() == little_endian


# --- integers -------------------------------------------------------------------------------------

@pytest.mark.parametrize("type_, size, text, expected", [
    ("I", 1, "300", 44),
    ("I", 1, "-1", -1),
    ("I", 2, "-2", -2),
    ("I", 4, "-2147483649", 2147483647),
    ("U", 1, "256", 0),
    ("U", 2, "65537", 1),
    ("U", 4, "4294967297", 1),
    ("I", 8, "-9223372036854775808", -2**63),
    ("I", 8, "9223372036854775807", 2**63 - 1),
    ("I", 8, "9223372036854775808", 0),          # out of range: no value
    ("I", 8, "-9223372036854775809", 0),
    ("U", 8, "18446744073709551615", 2**64 - 1),
    ("U", 8, "18446744073709551616", 0),
    ("U", 8, "007", 7),
    ("I", 4, "-007", -7),
])
def test_integer_widths_and_overflow(load_text, type_, size, text, expected):
    fields = XYZ + [("v", type_, size, 1), ("after", "F", 4, 1)]
    _, values = load_text(f"0 0 0 {text} 9.5", fields=fields, points=1)
    assert values["v"].tolist() == [expected]
    assert values["after"].tolist() == [9.5]       # out-of-range digits are consumed


@pytest.mark.parametrize("kinds, text, expected", [
    ([("I", 4), ("F", 4)], "1.5", [1, 0.5]),                  # the integer stops at the point
    ([("U", 4), ("F", 4)], "-5", [0, -5.0]),                  # refused by U, taken by F
    ([("U", 4), ("I", 4)], "-5", [0, -5]),
    ([("I", 4), ("F", 4)], "nan", [0, NAN]),
    ([("I", 4), ("U", 4)], "+5", [0, 0]),
    ([("U", 2), ("U", 2)], "1e3", [1, 0]),                    # e3 holds the cursor
])
def test_refused_text_passes_to_the_next_slot(load_text, kinds, text, expected):
    fields = XYZ + [(f"v{i}", t, s, 1) for i, (t, s) in enumerate(kinds)]
    _, values = load_text(f"0 0 0 {text}", fields=fields, points=1)
    got = [values[f"v{i}"][0] for i in range(len(kinds))]
    np.testing.assert_array_equal(got, expected)


# --- the shape of the plan ------------------------------------------------------------------------

def test_count_three_takes_three_values_and_count_zero_none(load_text):
    fields = XYZ + [("none", "F", 4, 0), ("normal", "F", 4, 3), ("label", "U", 1, 1)]
    _, values = load_text("1 2 3 4 5 6 7\n8 9 10 11 12 13 14\n", fields=fields)
    assert values["normal"].tolist() == [[4, 5, 6], [11, 12, 13]]
    assert values["label"].tolist() == [7, 14]


@pytest.mark.parametrize("letter", ["f", "i", "u", "X", "?"])
def test_unknown_type_letter_takes_no_value(load_text, letter):
    # The first x is shadowed by the second, so the loader never needs its element type.
    fields = [("x", letter, 4, 1)] + XYZ
    points, _ = load_text("1 2 3 4 5 6", fields=fields)
    assert_same_bytes(points, f32(1, 2, 3, 4, 5, 6))


@pytest.mark.parametrize("type_, size, text", [
    ("F", 2, "-1.5e3"), ("F", 16, "nan"), ("I", 3, "-70000"), ("U", 0, "12"),
    ("U", 16, "99999999999999999999999"),
])
def test_unsupported_size_consumes_its_number(load_text, type_, size, text):
    fields = [("x", type_, size, 1)] + XYZ
    points, _ = load_text(f"{text} 1 2 3", fields=fields, points=1)
    assert_same_bytes(points, f32(1, 2, 3))


def test_size_changed_after_count_writes_nothing_outside(write_bytes):
    # Offsets come from the sizes known at COUNT; z then claims 8 bytes at offset 8 of a 12-byte
    # record, so its number is read and dropped, and the loader refuses the field afterwards.
    path = write_bytes("FIELDS x y z\nCOUNT 1 1 1\nSIZE 4 4 8\nTYPE F F F\nPOINTS 2\n"
                       "DATA ascii\n1 2 3\n4 5 6\n")
    with pytest.raises(RuntimeError, match="^PCD field z lies outside the point record$"):
        veloxel.load_pcd(path)


# --- real files -----------------------------------------------------------------------------------

def reference(path):
    """The records of an ascii PCD file, parsed here field element by field element."""
    fields, points, body = read_header(path)
    records = np.zeros(points, dtype=records_dtype(fields))
    tokens = iter(body.split())
    for record in records:
        for key, (_, type_, _, count) in zip(records.dtype.names, fields):
            values = [next(tokens) for _ in range(count)]
            values = [float(v) if type_ == "F" else int(v) for v in values]
            record[key] = values[0] if count == 1 else values
    return fields, records


ASCII_FILES = [
    "pcl/bun01.pcd", "pcl/nhood_test.pcd", "pcl/bun0.pcd", "pcl/sac_plane_test.pcd",
    "pypcd4/ascii.pcd", "pypcd4/ascii_multi_count.pcd", "pypcd4/ascii_with_underscore.pcd",
    "pypcd4/ascii_with_empty_points.pcd", "pyntcloud/test.pcd",
    "semantic-segmentation-editor/pointcloud_labeling.pcd", "generated/bun0_fpfh_ascii.pcd",
    "generated/o3d_tensor_f64_ascii.pcd",
]


@pytest.mark.parametrize("name", ASCII_FILES)
def test_real_ascii_file(name):
    path = real_file(name)
    _, records = reference(path)
    points, fields = veloxel.load_pcd(path)
    xyz = np.stack([records[c].astype(np.float32) for c in "xyz"], axis=-1).reshape(-1, 3)
    assert_same_bytes(points, xyz)
    assert fields.keys() == expected_fields(records).keys()
    for key, values in expected_fields(records).items():
        assert_same_bytes(fields[key], values)


def test_real_nan_tokens():
    _, fields = veloxel.load_pcd(real_file("pcl/sac_plane_test.pcd"))
    assert sum(int(np.isnan(values).sum()) for values in fields.values()) == 60


@pytest.mark.parametrize("ascii_name, twin, rtol", [
    ("pypcd4/ascii.pcd", "pypcd4/binary.pcd", 3e-7),
    ("generated/bun0_fpfh_ascii.pcd", "generated/bun0_fpfh.pcd", 5e-7),     # 7 digits
    ("generated/o3d_tensor_f64_ascii.pcd", "generated/o3d_tensor_f64_binary.pcd", 5e-10),
])
def test_real_twins_agree_to_printing_precision(ascii_name, twin, rtol):
    points, fields = veloxel.load_pcd(real_file(ascii_name))
    twin_points, twin_fields = veloxel.load_pcd(real_file(twin))
    # points are float32 whatever the file holds: a value printed to 10 digits may round to the
    # neighbouring float32
    np.testing.assert_allclose(points, twin_points, rtol=max(rtol, 1.2e-7), atol=1e-7)
    assert fields.keys() == twin_fields.keys()
    for key in fields:
        assert fields[key].dtype == twin_fields[key].dtype
        # float32 positions of the f64 cloud carry only float32 precision
        tol = max(rtol, float(np.finfo(fields[key].dtype).eps)) if fields[key].dtype.kind == "f" \
            else 0
        np.testing.assert_allclose(fields[key], twin_fields[key], rtol=tol, atol=1e-7)


@pytest.mark.parametrize("name", ["pdal/utm17_tab.pcd", "pdal/utm17_space.pcd"])
def test_real_upper_case_xyz_is_refused(name):
    with pytest.raises(RuntimeError, match="^PCD must contain x, y, z fields$"):
        veloxel.load_pcd(real_file(name))


def test_real_tab_and_space_bodies_decode_alike(write_bytes):
    # The same UTM cloud separated by tabs and by spaces, with its FIELDS line in lower case.
    loaded = []
    for name in ["pdal/utm17_tab.pcd", "pdal/utm17_space.pcd"]:
        with open(real_file(name), "rb") as f:
            content = f.read().replace(b"FIELDS X Y Z", b"FIELDS x y z")
        loaded.append(veloxel.load_pcd(write_bytes(content))[0])
    assert_same_bytes(loaded[0], loaded[1])
    assert_same_bytes(loaded[0][0], np.array([289814.15, 4320978.61, 170.76], dtype=np.float32))


def test_real_data_kind_glued_to_a_point_is_refused():
    # The DATA line reads "DATA ascii-1.722589 -0.143634 -0.216288"; the kind is its whole first
    # word, as for every other file.
    with pytest.raises(RuntimeError, match=re.escape("Unsupported PCD DATA type: ascii-1.722589")
                       + "$"):
        veloxel.load_pcd(real_file("python-pcl/flydracyl.pcd"))


# --- ascii and binary agree -----------------------------------------------------------------------

PAIRS = [("F", 4), ("F", 8), ("I", 1), ("I", 2), ("I", 4), ("I", 8), ("U", 1), ("U", 2), ("U", 4),
         ("U", 8)]


def random_values(dtype, shape, rng):
    """Every bit pattern of dtype equally likely, NaNs replaced (text keeps no NaN payload)."""
    raw = rng.integers(0, 256, (*shape, dtype.itemsize), dtype=np.uint8)
    values = raw.view(dtype).reshape(shape).copy()
    if dtype.kind == "f":
        values[np.isnan(values)] = 1.5
    return values


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(extra=st.lists(st.tuples(st.sampled_from(PAIRS), st.integers(1, 3)), max_size=6),
       points=st.integers(0, 40), seed=st.integers(0, 2**32 - 1),
       sep=st.sampled_from([" ", "\t", "  "]), eol=st.sampled_from(["\n", "\r\n", " \n"]))
def test_ascii_and_binary_give_identical_arrays(write, write_bytes, extra, points, seed, sep, eol):
    fields = XYZ + [(f"f{i}", t, s, c) for i, ((t, s), c) in enumerate(extra)]
    rng = np.random.default_rng(seed)
    records = np.zeros(points, dtype=records_dtype(fields))
    for name in records.dtype.names:
        sub = records[name]
        sub[...] = random_values(sub.dtype.base, sub.shape, rng)
    text = header_text(fields, points, "ascii").encode() + ascii_body(records, sep, eol)
    from_ascii = veloxel.load_pcd(write_bytes(text))
    from_binary = veloxel.load_pcd(write(fields, records, "binary"))
    assert_same_bytes(from_ascii[0], from_binary[0])
    assert from_ascii[1].keys() == from_binary[1].keys()
    for key in from_binary[1]:
        assert_same_bytes(from_ascii[1][key], from_binary[1][key])


def test_example_clouds_agree():
    examples = pathlib.Path(__file__).resolve().parents[1] / "examples"
    points, fields = veloxel.load_pcd(str(examples / "sweep_ascii.pcd"))
    twin_points, twin_fields = veloxel.load_pcd(str(examples / "sweep_binary.pcd"))
    assert_same_bytes(points, twin_points)
    assert fields.keys() == twin_fields.keys()
    for key in fields:
        assert_same_bytes(fields[key], twin_fields[key])
