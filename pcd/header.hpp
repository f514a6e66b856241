// The text header of a PCD file: the lines from the start of the file up to and including the
// DATA line, read into the fields of a point record, the number of points and the DATA kind.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace veloxel {

// One field of the point record: `count` elements of `size` bytes each, starting `offset` bytes
// into the record. `type` is the PCD type letter as written: 'F', 'I' or 'U' in a valid file.
struct PcdField {
    std::string name;
    char type = 'F';
    int32_t size = 4;
    int32_t count = 1;
    uint64_t offset = 0;
};

struct PcdHeader {
    std::vector<PcdField> fields;  // in FIELDS order
    int32_t width = 0;
    int32_t height = 0;
    int32_t points = 0;
    std::string data_type;    // the DATA kind, lower-cased
    uint64_t point_step = 0;  // bytes in one point record
};

// Reads header lines from `in` until the DATA line (inclusive) or the end of the stream and returns
// what they say. Keywords are matched case-sensitively as the first word of a line; other lines,
// empty lines and lines starting with '#' are skipped. Nothing is checked: missing keywords, odd
// values and short lines are passed on as read.
//
// Offsets are assigned while a COUNT line is read, from the sizes known then. A header without a
// COUNT line (COUNT is optional in PCD, one element per field) gets offsets and a point size as if
// "COUNT 1 1 ... 1" had ended it.
//
// On return `in` stands on the first byte after the line feed of the DATA line, which is where the
// body begins; without a DATA line it is at the end of the stream in a failed state.
// Throws only std::bad_alloc.
PcdHeader read_pcd_header(std::istream& in);

}  // namespace veloxel
