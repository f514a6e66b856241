// The body of a PCD file whose DATA kind is "binary_compressed": two little-endian uint32 sizes
// (compressed, uncompressed) followed by one LZF block. Every PCD writer (PCL, Open3D, pypcd4)
// compresses the points field by field: for each field in FIELDS order a run of
// points x size x count bytes, each point's count elements together. The decoders here turn that
// stream back into interleaved point records, exactly as a binary body would hold them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <span>

#include "pcd/header.hpp"

namespace veloxel {

// Reads the two sizes and the LZF block from `in`, which stands on the first byte of the body, and
// stores the decoded records in `points` (header.points x header.point_step bytes, zero-filled).
// The block is read into zero-filled memory of exactly the compressed size, so a file that ends
// inside the block decodes with zeros in place of the missing bytes. Bytes after the block are
// never read. For more than one field and point, allocates a buffer of the uncompressed size for
// the decoded stream and holds the block in `points` until the scatter when it fits there;
// otherwise allocates a buffer for the block. Both are released before it returns.
// Throws std::runtime_error("PCD binary_compressed body ends before its two sizes") when fewer
// than 8 bytes remain, std::runtime_error("LZF decompression failed") when the block does not
// decode to exactly the uncompressed size, and std::bad_alloc.
void decode_compressed_body(std::istream& in, const PcdHeader& header, std::span<std::byte> points);

// The same for a body held in memory: `body` is everything after the DATA line. Bytes of the block
// beyond the end of `body` count as zero, as for a stream.
void decode_compressed_body(std::span<const std::byte> body, const PcdHeader& header,
                            std::span<std::byte> points);

// Decodes `block`, an LZF block whose stated decoded size is `uncompressed_size`, into `points`.
// An empty block is never handed to liblzf: it decodes to 0 bytes. A decoded size smaller than
// `points` is the beginning of the field-by-field stream; what it does not cover stays zero.
// Field runs of fields that do not lie inside the record are skipped, never written.
// Throws std::runtime_error("LZF decompression failed") and std::bad_alloc.
void decode_compressed_block(std::span<const std::byte> block, uint32_t uncompressed_size,
                             const PcdHeader& header, std::span<std::byte> points);

namespace detail {

// Scatters `stream`, the beginning of a field-by-field stream of `header.points` points, into the
// interleaved records of `points`. Reads nothing beyond `stream`, writes nothing outside `points`.
// Allocates one small entry per field; throws only std::bad_alloc.
void scatter_fields(std::span<const std::byte> stream, const PcdHeader& header,
                    std::span<std::byte> points);

}  // namespace detail
}  // namespace veloxel
