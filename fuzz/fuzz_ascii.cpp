// The ascii body decoder on any file: the header as the header reader reads it (whatever its DATA
// kind), the rest as body text, decoded into a buffer of exactly points x point_step bytes so that
// ASan sees any store outside it. Headers whose offsets do not fit their sizes are part of the
// game: SIZE after COUNT, negative sizes, odd type letters.
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "fuzz/fuzz_common.hpp"
#include "pcd/ascii_body.hpp"
#include "pcd/header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto c = veloxel::fuzz::body_case(data, size);
    if (!c) return 0;
    try {
        veloxel::decode_ascii_body(c->in, c->header, c->points);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
