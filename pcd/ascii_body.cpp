#include "pcd/ascii_body.hpp"

#include "pcd/errors.hpp"

namespace veloxel {

void decode_ascii_body(std::istream&, const PcdHeader&, std::span<std::byte>) {
    fail("Reading PCD DATA ascii is not implemented yet");
}

}  // namespace veloxel
