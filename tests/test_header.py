"""How header lines become the point record: keywords, values, offsets and where the body starts.

Each file here carries a body whose every byte holds its own position (mod 256), so a U 1 field
reads its offset in the first record, and the next record's value minus that is the point size.
"""

import numpy as np
import pytest

import veloxel

BODY = bytes(range(256)) * 4


def probe(write_bytes, lines, eol="\n", points=2):
    """Loads a header of `lines` over the position-numbered body; returns (offsets, point size)."""
    lines = [line for line in lines]
    if not any(line.startswith("POINTS") for line in lines):
        lines.insert(-1, f"POINTS {points}")
    _, fields = veloxel.load_pcd(write_bytes((eol.join(lines) + eol).encode() + BODY))
    offsets = {name: int(values.reshape(points, -1)[0, 0]) & 0xFF for name, values in fields.items()}
    step = fields["a"].strides[0]
    return offsets, step


U1 = ["FIELDS x y z a b", "SIZE 4 4 4 1 1", "TYPE F F F U U"]


@pytest.mark.parametrize("eol", ["\n", "\r\n"])
def test_usual_header(write_bytes, eol):
    lines = ["# .PCD v0.7", "VERSION 0.7", *U1, "COUNT 1 1 1 1 1", "WIDTH 2", "HEIGHT 1",
             "VIEWPOINT 0 0 0 1 0 0 0", "", "  # indented comment", "DATA binary"]
    assert probe(write_bytes, lines, eol) == ({"a": 12, "b": 13}, 14)


def test_keywords_are_case_sensitive(write_bytes):
    with pytest.raises(RuntimeError, match="^PCD must contain x, y, z fields$"):
        probe(write_bytes, ["fields x y z a", "SIZE 4 4 4 1", "DATA binary"])


@pytest.mark.parametrize("word", ["Binary", "BINARY", "binary trailing words"])
def test_data_kind_is_lower_cased(write_bytes, word):
    assert probe(write_bytes, [*U1, "COUNT 1 1 1 1 1", f"DATA {word}"])[1] == 14


def test_type_letters_are_single_bytes(write_bytes):
    # "UU U" gives x, y, z F F F and a, b U U: the letters, not words, are read.
    lines = ["FIELDS x y z a b", "SIZE 4 4 4 1 1", "TYPE F FF UU", "COUNT 1 1 1 1 1", "DATA binary"]
    _, fields = veloxel.load_pcd(write_bytes(("\n".join(lines) + "\n").encode() + BODY[:28]))
    assert fields["a"].dtype == np.uint8 and fields["b"].dtype == np.uint8


@pytest.mark.parametrize("size_line,expected", [
    ("SIZE 4 4 4 2", ({"a": 12, "b": 14}, 18)),  # too few values: b keeps its size
    ("SIZE 4 4 4 2 2 9 9", ({"a": 12, "b": 14}, 16)),  # extra values are ignored
    ("SIZE 4 4 4 2 oops 2", ({"a": 12, "b": 14}, 18)),  # the line stops at the first bad value
])
def test_size_lines(write_bytes, size_line, expected):
    lines = ["FIELDS x y z a b", "SIZE 4 4 4 4 4", size_line, "TYPE F F F U U", "COUNT 1 1 1 1 1",
             "DATA binary"]
    assert probe(write_bytes, lines) == expected


def test_offsets_come_from_the_sizes_known_at_count(write_bytes):
    # a grows to U 2 after COUNT laid it out as a 1-byte field: it now overlaps b.
    lines = [*U1, "COUNT 1 1 1 1 1", "SIZE 4 4 4 2 1", "DATA binary"]
    assert probe(write_bytes, lines) == ({"a": 12, "b": 13}, 14)


def test_a_second_count_line_continues_the_offsets(write_bytes):
    lines = [*U1, "COUNT 1 1 1 1 1", "COUNT 1 1 1 1 1", "DATA binary"]
    assert probe(write_bytes, lines) == ({"a": 26, "b": 27}, 28)


@pytest.mark.parametrize("count_lines", [[], ["COUNT 1 1 1"]], ids=["none", "before-fields"])
def test_no_count_line_means_one_element_each(write_bytes, count_lines):
    # COUNT is optional: offsets follow from the final sizes, including a SIZE line that comes late.
    lines = count_lines + ["FIELDS x y z a b", "SIZE 4 4 4 1 1", "TYPE F F F U U", "SIZE 4 4 4 2 1",
                           "DATA binary"]
    assert probe(write_bytes, lines) == ({"a": 12, "b": 14}, 15)


def test_second_fields_line_appends(write_bytes):
    lines = ["FIELDS x y z", "FIELDS a b", "SIZE 4 4 4 1 1", "TYPE F F F U U", "COUNT 1 1 1 1 1",
             "DATA binary"]
    assert probe(write_bytes, lines) == ({"a": 12, "b": 13}, 14)


@pytest.mark.parametrize("comment", ["# DATA ascii", "#DATA binary_compressed"])
def test_body_starts_after_the_data_keyword_line(write_bytes, comment):
    # A comment that mentions DATA does not end the header.
    lines = [comment, *U1, "COUNT 1 1 1 1 1", "DATA binary"]
    assert probe(write_bytes, lines) == ({"a": 12, "b": 13}, 14)


def test_body_bytes_spelling_data_are_data(write_bytes):
    header = "\n".join([*U1, "COUNT 1 1 1 1 1", "POINTS 1", "DATA binary"]) + "\n"
    points, fields = veloxel.load_pcd(write_bytes(header.encode() + b"DATA binary\n\x07\x08"))
    assert points[0].tobytes() == b"DATA binary\n" and fields["a"][0] == 7


def test_points_may_come_from_any_line_order(write_bytes):
    lines = ["POINTS 3", *U1, "WIDTH 99", "HEIGHT 7", "COUNT 1 1 1 1 1", "DATA binary"]
    points, _ = veloxel.load_pcd(write_bytes(("\n".join(lines) + "\n").encode() + BODY))
    assert points.shape == (3, 3)
