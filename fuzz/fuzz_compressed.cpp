// The binary_compressed body decoder on any file: the header as the header reader reads it, the
// rest as the body (two size words and an LZF block), decoded into a buffer of exactly
// points x point_step bytes so that ASan sees any store outside it. Property: a body accepted as
// decoded never states more uncompressed bytes than the buffer holds.
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "fuzz/fuzz_common.hpp"
#include "pcd/compressed_body.hpp"
#include "pcd/header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto c = veloxel::fuzz::body_case(data, size);
    if (!c) return 0;
    const auto body = static_cast<size_t>(c->in.tellg());
    try {
        veloxel::decode_compressed_body(c->in, c->header, c->points);
    } catch (const std::runtime_error&) {  // "LZF decompression failed" and a short body
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    VELOXEL_FUZZ_CHECK(size - body >= 8);
    const uint32_t uncompressed = uint32_t{data[body + 4]} | uint32_t{data[body + 5]} << 8 |
                                  uint32_t{data[body + 6]} << 16 | uint32_t{data[body + 7]} << 24;
    VELOXEL_FUZZ_CHECK(uncompressed <= c->points.size());
    return 0;
}
