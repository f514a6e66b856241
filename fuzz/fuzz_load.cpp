// A whole file through read_pcd, then the layout checks that load_pcd runs before it lays NumPy
// views over the buffer. Property: every view the loader would build (points, each other field of
// `points` records, `point_step` apart) lies inside the buffer, and a binary body is copied as is.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "fuzz/fuzz_common.hpp"
#include "pcd/cloud.hpp"
#include "pcd/header.hpp"

namespace {

using veloxel::PcdCloud;
using veloxel::PcdField;
using uint128 = unsigned __int128;

// Fails unless `bytes` bytes from `offset` in every one of the cloud's records lie inside the
// buffer, and reads the first and last of them so ASan sees any stray access.
void check_view(const PcdCloud& cloud, uint64_t offset, uint64_t bytes) {
    const auto points = static_cast<uint64_t>(cloud.header.points);
    if (points == 0) return;
    const uint64_t step = cloud.header.point_step;
    VELOXEL_FUZZ_CHECK(uint128{offset} + bytes <= step);
    const uint128 end = uint128{points - 1} * step + offset + bytes;
    VELOXEL_FUZZ_CHECK(end <= cloud.buffer.size());
    if (bytes == 0) return;
    volatile std::byte sink;
    sink = cloud.buffer.data()[offset];
    sink = cloud.buffer.data()[static_cast<size_t>(end - 1)];
    (void)sink;
}

void check_views(const PcdCloud& cloud) {
    const auto& header = cloud.header;
    VELOXEL_FUZZ_CHECK(uint128{cloud.buffer.size()} ==
                       uint128{static_cast<uint64_t>(header.points)} * header.point_step);
    veloxel::PointsLayout layout;
    try {
        layout = veloxel::plan_points(header);
    } catch (const std::runtime_error&) {
        return;
    }
    if (layout.view) {
        check_view(cloud, layout.xyz[0]->offset, 12);
    } else {
        for (const PcdField* field : layout.xyz) {
            check_view(cloud, field->offset, static_cast<uint64_t>(field->size));
        }
        std::vector<float> xyz(3 * static_cast<size_t>(header.points));
        veloxel::convert_xyz(header, layout, cloud.buffer.bytes(), xyz.data());
    }
    for (const PcdField& field : header.fields) {
        if (field.name == "x" || field.name == "y" || field.name == "z") continue;
        // load_pcd stops at the first field without an element type or outside the record.
        if (!veloxel::is_supported_type(field.type, field.size)) return;
        try {
            veloxel::check_field_inside(field, header.point_step);
        } catch (const std::runtime_error&) {
            return;
        }
        const uint64_t count = field.count > 0 ? static_cast<uint64_t>(field.count) : 0;
        check_view(cloud, field.offset, count * static_cast<uint64_t>(field.size));
    }
}

// A binary body is the records as they stand: the buffer starts with the bytes after the DATA
// line and is zero where the file ends early.
void check_binary_copy(const PcdCloud& cloud, const uint8_t* data, size_t size, size_t body) {
    const size_t given = std::min(size - body, cloud.buffer.size());
    VELOXEL_FUZZ_CHECK(given == 0 || std::memcmp(cloud.buffer.data(), data + body, given) == 0);
    const auto bytes = cloud.buffer.bytes();
    VELOXEL_FUZZ_CHECK(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(given), bytes.end(),
                                   [](std::byte b) { return b == std::byte{0}; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto probe = veloxel::fuzz::stream_of(data, size);
    const veloxel::PcdHeader header = veloxel::read_pcd_header(probe);
    if (veloxel::fuzz::capped_point_bytes(header) < 0) return 0;
    const auto body_pos = probe.tellg();
    const size_t body = body_pos < 0 ? size : static_cast<size_t>(body_pos);

    auto in = veloxel::fuzz::stream_of(data, size);
    try {
        const PcdCloud cloud = veloxel::read_pcd(in);
        check_views(cloud);
        if (cloud.header.data_type == "binary") check_binary_copy(cloud, data, size, body);
    } catch (const std::runtime_error&) {  // format errors, and the decoders' own
    } catch (const std::length_error&) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
