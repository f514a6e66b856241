// A whole PCD file read into one point buffer, and the layout checks that decide which arrays can
// be laid over that buffer. Nothing here touches Python, so tests and fuzzers drive it directly.
#pragma once

#include <array>
#include <istream>
#include <span>
#include <string>

#include "pcd/buffer.hpp"
#include "pcd/header.hpp"

namespace veloxel {

// The header and the point buffer: `header.points` records of `header.point_step` bytes, as a
// binary body stores them. Bytes that the body does not supply are zero.
struct PcdCloud {
    PcdHeader header;
    ZeroedBuffer buffer;
};

// Opens `filename` (its bytes are the path; UTF-8 on Windows) and reads it with read_pcd.
// Throws std::runtime_error("Cannot open PCD file: " + filename) when it cannot be opened or is a
// directory, and whatever read_pcd throws.
PcdCloud read_pcd_file(const std::string& filename);

// Reads a PCD file from `in` (opened in binary mode, at its first byte): the header, the check for
// fields named x, y and z, the point buffer, and the body decoded into it by its DATA kind.
// Throws std::runtime_error for a missing x, y or z and an unknown DATA kind, std::length_error
// ("vector too long") for a negative POINTS or point data beyond 2^63 - 1 bytes, std::bad_alloc,
// and whatever the body decoders throw.
PcdCloud read_pcd(std::istream& in);

// The type letter and size pairs that map to an array element type: F 4/8, I and U 1/2/4/8.
bool is_supported_type(char type, int32_t size);

// How the (N, 3) float32 points array is made: as a strided view of the buffer when x, y and z are
// adjacent float32 fields in that order, else as a converted copy of the three fields.
struct PointsLayout {
    bool view = false;
    std::array<const PcdField*, 3> xyz{};  // the last fields named x, y and z
};

// Decides the points layout. Throws std::runtime_error("Unsupported PCD type/size") when a copy is
// needed and x, y or z has a pair outside is_supported_type, and a runtime error naming the field
// when its first element does not lie inside the point record.
PointsLayout plan_points(const PcdHeader& header);

// Throws a runtime error naming the field unless all `count` elements of `field` lie inside a point
// record of `point_step` bytes (for a count of 0 or less: unless its offset does).
void check_field_inside(const PcdField& field, uint64_t point_step);

// Writes x, y, z of every point as float32, three per point, to `out`, converting each field's
// first element from its own type. `layout` must come from plan_points for the same header.
void convert_xyz(const PcdHeader& header, const PointsLayout& layout,
                 std::span<const std::byte> buffer, float* out);

}  // namespace veloxel
