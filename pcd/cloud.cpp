#include "pcd/cloud.hpp"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "pcd/ascii_body.hpp"
#include "pcd/compressed_body.hpp"
#include "pcd/errors.hpp"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

namespace veloxel {
namespace {

[[noreturn]] void fail_cannot_open(const std::string& filename) {
    fail("Cannot open PCD file: " + printable(filename));
}

[[noreturn]] void fail_outside(const PcdField& field) {
    fail("PCD field " + printable(field.name) + " lies outside the point record");
}

// Opens the file for reading in binary mode without denying other readers or writers.
std::ifstream open_binary(const std::string& filename) {
    // A path with a NUL byte would silently name a shorter path.
    if (filename.find('\0') != std::string::npos) fail_cannot_open(filename);
#if defined(_WIN32)
    // Narrow paths are read in the ANSI code page; go through UTF-16 so any name opens. MSVC's
    // streams open with _SH_DENYNO by default.
    const int wide_size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, filename.data(),
                                              static_cast<int>(filename.size()), nullptr, 0);
    if (wide_size <= 0 && !filename.empty()) fail_cannot_open(filename);
    std::wstring wide(static_cast<size_t>(wide_size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, filename.data(),
                        static_cast<int>(filename.size()), wide.data(), wide_size);
    std::filesystem::path path(wide);
#else
    std::filesystem::path path(filename);
#endif
    std::error_code ec;
    // Directories open as streams on POSIX and then read as empty; refuse them up front.
    if (std::filesystem::is_directory(path, ec)) fail_cannot_open(filename);
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) fail_cannot_open(filename);
    return in;
}

// The last field named exactly `name`, or nullptr.
const PcdField* find_field(const PcdHeader& header, char name) {
    const PcdField* found = nullptr;
    for (const PcdField& field : header.fields) {
        if (field.name.size() == 1 && field.name[0] == name) found = &field;
    }
    return found;
}

// points x point_step, refused when it cannot be one buffer.
uint64_t point_data_size(const PcdHeader& header) {
    if (header.points < 0) fail_too_long();
    const auto points = static_cast<uint64_t>(header.points);
    if (header.point_step != 0 &&
        points > uint64_t{std::numeric_limits<int64_t>::max()} / header.point_step) {
        fail_too_long();
    }
    return points * header.point_step;
}

// True if `bytes` bytes from `offset` lie inside a record of `point_step` bytes.
bool inside(uint64_t offset, int64_t bytes, uint64_t point_step) {
    return bytes >= 0 && offset <= point_step &&
           point_step - offset >= static_cast<uint64_t>(bytes);
}

template <typename T>
float load_as_float(const std::byte* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<float>(value);
}

using ToFloat = float (*)(const std::byte*);

ToFloat to_float(const PcdField& field) {
    switch (field.type) {
        case 'F':
            return field.size == 4 ? load_as_float<float> : load_as_float<double>;
        case 'I':
            switch (field.size) {
                case 1:
                    return load_as_float<int8_t>;
                case 2:
                    return load_as_float<int16_t>;
                case 4:
                    return load_as_float<int32_t>;
                default:
                    return load_as_float<int64_t>;
            }
        default:
            switch (field.size) {
                case 1:
                    return load_as_float<uint8_t>;
                case 2:
                    return load_as_float<uint16_t>;
                case 4:
                    return load_as_float<uint32_t>;
                default:
                    return load_as_float<uint64_t>;
            }
    }
}

}  // namespace

PcdCloud read_pcd_file(const std::string& filename) {
    std::ifstream in = open_binary(filename);
    return read_pcd(in);
}

PcdCloud read_pcd(std::istream& in) {
    PcdCloud cloud{read_pcd_header(in), ZeroedBuffer()};
    const PcdHeader& header = cloud.header;
    if (!find_field(header, 'x') || !find_field(header, 'y') || !find_field(header, 'z')) {
        fail("PCD must contain x, y, z fields");
    }
    const uint64_t size = point_data_size(header);
    // The header reader leaves the stream on the first byte after the DATA line.
    const std::string& kind = header.data_type;
    if (kind == "binary") {
        // The records exactly as the buffer holds them, in one read. A short body leaves zeros;
        // bytes after the last record are never read.
        cloud.buffer = ZeroedBuffer::for_overwrite(size);
        in.read(reinterpret_cast<char*>(cloud.buffer.data()),
                static_cast<std::streamsize>(cloud.buffer.size()));
        cloud.buffer.zero_rest(static_cast<size_t>(in.gcount()));
        return cloud;
    }
    cloud.buffer = ZeroedBuffer(size);
    if (kind == "binary_compressed") {
        decode_compressed_body(in, header, cloud.buffer.bytes());
    } else if (kind == "ascii") {
        decode_ascii_body(in, header, cloud.buffer.bytes());
    } else {
        fail("Unsupported PCD DATA type: " + printable(kind));
    }
    return cloud;
}

bool is_supported_type(char type, int32_t size) {
    switch (type) {
        case 'F':
            return size == 4 || size == 8;
        case 'I':
        case 'U':
            return size == 1 || size == 2 || size == 4 || size == 8;
        default:
            return false;
    }
}

PointsLayout plan_points(const PcdHeader& header) {
    PointsLayout layout;
    layout.xyz = {find_field(header, 'x'), find_field(header, 'y'), find_field(header, 'z')};
    if (!layout.xyz[0] || !layout.xyz[1] || !layout.xyz[2]) fail("PCD must contain x, y, z fields");
    const PcdField& x = *layout.xyz[0];
    const PcdField& y = *layout.xyz[1];
    const PcdField& z = *layout.xyz[2];
    const auto is_float32 = [](const PcdField& f) {
        return f.type == 'F' && f.size == 4 && f.count >= 1;
    };
    if (is_float32(x) && is_float32(y) && is_float32(z) && y.offset == x.offset + 4 &&
        z.offset == x.offset + 8 && inside(x.offset, 12, header.point_step)) {
        layout.view = true;
        return layout;
    }
    for (const PcdField* field : layout.xyz) {
        if (!is_supported_type(field->type, field->size)) fail_unsupported_type();
        if (field->count < 1 || !inside(field->offset, field->size, header.point_step)) {
            fail_outside(*field);
        }
    }
    return layout;
}

void check_field_inside(const PcdField& field, uint64_t point_step) {
    const int64_t bytes = field.count <= 0 ? 0 : int64_t{field.count} * int64_t{field.size};
    if (!inside(field.offset, bytes, point_step)) fail_outside(field);
}

void convert_xyz(const PcdHeader& header, const PointsLayout& layout,
                 std::span<const std::byte> buffer, float* out) {
    // Offsets are checked against the record only; an empty buffer has no record to point into.
    if (header.points <= 0) return;
    const auto points = static_cast<size_t>(header.points);
    const auto step = static_cast<size_t>(header.point_step);
    for (size_t c = 0; c < 3; ++c) {
        const PcdField& field = *layout.xyz[c];
        const ToFloat load = to_float(field);
        const std::byte* p = buffer.data() + field.offset;
        for (size_t i = 0; i < points; ++i, p += step) out[3 * i + c] = load(p);
    }
}

}  // namespace veloxel
