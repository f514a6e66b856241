// The body of a PCD file whose DATA kind is "ascii": decimal numbers separated by whitespace, one
// per field element, point after point; line breaks carry no meaning.
#pragma once

#include <cstddef>
#include <istream>
#include <span>

#include "pcd/header.hpp"

namespace veloxel {

// Reads the rest of `in` and stores the values of `header.points` points in `points`, laid out as
// a binary body would hold them. Writes nothing outside `points`.
void decode_ascii_body(std::istream& in, const PcdHeader& header, std::span<std::byte> points);

}  // namespace veloxel
