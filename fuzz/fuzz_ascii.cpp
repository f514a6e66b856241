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
    auto in = veloxel::fuzz::stream_of(data, size);
    const veloxel::PcdHeader header = veloxel::read_pcd_header(in);
    const int64_t bytes = veloxel::fuzz::capped_point_bytes(header);
    if (bytes < 0) return 0;
    in.clear();  // a header without DATA leaves the stream failed at its end
    std::vector<std::byte> points(static_cast<size_t>(bytes));
    try {
        veloxel::decode_ascii_body(in, header, points);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
