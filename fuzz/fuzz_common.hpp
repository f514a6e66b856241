// Helpers shared by the fuzz targets: an input stream over the fuzz bytes, the cap on the point
// buffer a target will allocate, and the failure report that ends a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/header.hpp"

namespace veloxel::fuzz {

// Point buffers above this many bytes are not allocated: a header may claim 2^31 points over a
// ten-byte body, and the fuzzer must spend its time and memory on inputs, not on zeroing pages.
// Huge claims are the hostile-file tests' business.
inline constexpr uint64_t max_point_bytes = uint64_t{1} << 20;

// A seekable stream over a copy of the input, opened as a file would be (binary, at byte 0).
inline std::istringstream stream_of(const uint8_t* data, size_t size) {
    return std::istringstream(std::string(reinterpret_cast<const char*>(data), size),
                              std::ios::in | std::ios::binary);
}

// points x point_step when the loader would allocate it and it is within max_point_bytes, else
// -1. The loader refuses a negative POINTS and a product beyond 2^63 - 1 with a length error.
inline int64_t capped_point_bytes(const PcdHeader& header) {
    if (header.points < 0) return -1;
    const auto points = static_cast<uint64_t>(header.points);
    if (header.point_step != 0 && points > max_point_bytes / header.point_step) return -1;
    return static_cast<int64_t>(points * header.point_step);
}

// A body decoder's inputs: the stream standing at the body, the header as read, and a zero point
// buffer of exactly points x point_step bytes, so that ASan sees any store outside it. nullopt when
// the loader would refuse that size or it is above the cap.
struct BodyCase {
    std::istringstream in;
    PcdHeader header;
    std::vector<std::byte> points;
};

inline std::optional<BodyCase> body_case(const uint8_t* data, size_t size) {
    BodyCase c{stream_of(data, size), {}, {}};
    c.header = read_pcd_header(c.in);
    const int64_t bytes = capped_point_bytes(c.header);
    if (bytes < 0) return std::nullopt;
    c.in.clear();  // a header without DATA leaves the stream failed at its end
    c.points.resize(static_cast<size_t>(bytes));
    return c;
}

// Reports a broken property and aborts, which libFuzzer records as a crash with its input.
[[noreturn]] inline void property_failed(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

#define VELOXEL_FUZZ_CHECK(condition)                                   \
    do {                                                                \
        if (!(condition)) ::veloxel::fuzz::property_failed(#condition); \
    } while (false)

}  // namespace veloxel::fuzz
