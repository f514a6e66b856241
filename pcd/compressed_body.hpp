// The body of a PCD file whose DATA kind is "binary_compressed": two little-endian uint32 sizes
// (compressed, uncompressed) followed by one LZF block.
#pragma once

#include <cstddef>
#include <istream>
#include <span>

#include "pcd/header.hpp"

namespace veloxel {

// Reads the sizes and the LZF block from `in`, decodes the block and stores the point records in
// `points`. Writes nothing outside `points`. Throws std::runtime_error("LZF decompression failed")
// when the block does not decode to its stated size.
void decode_compressed_body(std::istream& in, const PcdHeader& header, std::span<std::byte> points);

}  // namespace veloxel
