// The body of a PCD file whose DATA kind is "ascii": decimal numbers separated by whitespace, one
// per field element, point after point; line breaks carry no meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <span>
#include <vector>

#include "pcd/header.hpp"

namespace veloxel {

// Reads the rest of `in` (from its position to the end of the file) with one read into one
// buffer and decodes it with decode_ascii_text. Allocates the body text and the decode plan and
// releases both before returning. Throws only std::bad_alloc.
void decode_ascii_body(std::istream& in, const PcdHeader& header, std::span<std::byte> points);

// Stores the values of up to `header.points` points, read from `text`, into `points`, laid out as
// a binary body would hold them.
//
// `text` is one flat run of numbers. Every byte that is not above 0x20 as a signed char (the ASCII
// control bytes, space, and every byte from 0x80 up) separates numbers; nothing else does. Each
// field element of each point takes the longest number of its kind at the cursor: F 4 is rounded
// once from the decimal text to float, F 8 to double, I and U are parsed as 64-bit integers and
// stored modulo 2^(8 x size). A value that does not parse (or an integer out of 64-bit range,
// whose digits are consumed) stores 0; text that no parse accepts holds the cursor. Decoding stops
// when the text ends, leaving the rest of `points` as it was, or after `header.points` points.
//
// An element of a type letter other than F, I and U takes no text. One whose store would reach
// outside its record (a size outside 1, 2, 4, 8, or a header whose offsets do not fit
// `point_step`) or whose record lies outside `points` consumes its number and stores nothing, so
// nothing outside `points` is ever written. Allocates the decode plan; throws only std::bad_alloc.
void decode_ascii_text(std::span<const char> text, const PcdHeader& header,
                       std::span<std::byte> points);

namespace detail {

// What one slot of the decode plan parses and where it stores.
enum class SlotKind : uint8_t {
    f4,
    f8,
    i1,
    i2,
    i4,
    i8,
    u1,
    u2,
    u4,
    u8,
    // Parse and drop: elements that cannot be stored.
    skip_f,
    skip_i,
    skip_u,
};

// One field element, or for the skip kinds a run of `repeat` consecutive elements, of a point.
struct AsciiSlot {
    uint64_t offset = 0;  // into the point record; unused by the skip kinds
    uint64_t repeat = 1;
    SlotKind kind = SlotKind::f4;
};

// The slots of one point in FIELDS order, built from the header once per body.
std::vector<AsciiSlot> build_ascii_plan(const PcdHeader& header);

}  // namespace detail
}  // namespace veloxel
