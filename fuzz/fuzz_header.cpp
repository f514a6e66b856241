// The header reader on any bytes. Beyond survival: the header it returns, written back as one
// canonical header (FIELDS, SIZE, TYPE, COUNT, POINTS, DATA), reads back to the same fields, point
// count and DATA kind, with offsets packed in FIELDS order.
#include <cstdint>
#include <new>
#include <sstream>

#include "fuzz/fuzz_common.hpp"
#include "pcd/header.hpp"

namespace {

using veloxel::PcdHeader;

std::string canonical_text(const PcdHeader& header) {
    std::ostringstream out;
    out << "FIELDS";
    for (const auto& field : header.fields) out << ' ' << field.name;
    out << "\nSIZE";
    for (const auto& field : header.fields) out << ' ' << field.size;
    out << "\nTYPE";
    for (const auto& field : header.fields) out << ' ' << field.type;
    out << "\nCOUNT";
    for (const auto& field : header.fields) out << ' ' << field.count;
    out << "\nPOINTS " << header.points << "\nDATA " << header.data_type << '\n';
    return out.str();
}

void check_reads_back(const PcdHeader& header) {
    std::istringstream in(canonical_text(header), std::ios::in | std::ios::binary);
    const PcdHeader again = veloxel::read_pcd_header(in);
    VELOXEL_FUZZ_CHECK(again.fields.size() == header.fields.size());
    VELOXEL_FUZZ_CHECK(again.points == header.points);
    VELOXEL_FUZZ_CHECK(again.data_type == header.data_type);
    uint64_t offset = 0;  // wraps like the reader's running offset for absurd sizes
    for (size_t i = 0; i < header.fields.size(); ++i) {
        const auto& a = header.fields[i];
        const auto& b = again.fields[i];
        VELOXEL_FUZZ_CHECK(a.name == b.name && a.type == b.type && a.size == b.size &&
                           a.count == b.count);
        VELOXEL_FUZZ_CHECK(b.offset == offset);
        offset += static_cast<uint64_t>(int64_t{b.size} * int64_t{b.count});
    }
    VELOXEL_FUZZ_CHECK(again.point_step == offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto in = veloxel::fuzz::stream_of(data, size);
    try {
        // The reader's only failure is running out of memory.
        check_reads_back(veloxel::read_pcd_header(in));
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
