#include "pcd/compressed_body.hpp"

#include "pcd/errors.hpp"

namespace veloxel {

void decode_compressed_body(std::istream&, const PcdHeader&, std::span<std::byte>) {
    fail("Reading PCD DATA binary_compressed is not implemented yet");
}

}  // namespace veloxel
