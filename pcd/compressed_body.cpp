#include "pcd/compressed_body.hpp"

#include <lzf.h>  // declares its functions with C linkage

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "pcd/buffer.hpp"
#include "pcd/errors.hpp"

namespace veloxel {
namespace {

[[noreturn]] void fail_lzf() {
    fail("LZF decompression failed");
}

[[noreturn]] void fail_no_sizes() {
    fail("PCD binary_compressed body ends before its two sizes");
}

uint32_t load_le32(const std::byte* p) {
    return std::to_integer<uint32_t>(p[0]) | std::to_integer<uint32_t>(p[1]) << 8 |
           std::to_integer<uint32_t>(p[2]) << 16 | std::to_integer<uint32_t>(p[3]) << 24;
}

// liblzf never writes more than its capacity, so a stated size beyond the point buffer could only
// be met by a capacity that lets it write past the buffer's end. Such a body fails before anything
// is decoded, as it would after decoding with the capacity bounded by the buffer.
void check_room(uint32_t uncompressed_size, std::span<const std::byte> points) {
    if (uncompressed_size > points.size()) fail_lzf();
}

// Decodes `block` into `out` and fails unless exactly out.size() bytes came out.
void decompress_exactly(std::span<const std::byte> block, std::span<std::byte> out) {
    size_t decoded = 0;
    // liblzf reads its first input byte before it compares lengths, so an empty block never
    // reaches it: it decodes to nothing. Without room the result is known too: every LZF
    // instruction writes at least one byte, so liblzf would return 0.
    if (!block.empty() && !out.empty()) {
        decoded = lzf_decompress(block.data(), static_cast<unsigned>(block.size()), out.data(),
                                 static_cast<unsigned>(out.size()));
    }
    if (decoded != out.size()) fail_lzf();
}

// With one field, or at most one point, the field-by-field stream is the records themselves.
bool layouts_coincide(const PcdHeader& header) {
    return header.fields.size() <= 1 || header.points <= 1;
}

// Decodes `block` straight into `points` when the layouts coincide and returns an empty buffer;
// otherwise returns a new buffer holding the decoded field-by-field stream.
ZeroedBuffer decompress(std::span<const std::byte> block, uint32_t uncompressed_size,
                        const PcdHeader& header, std::span<std::byte> points) {
    check_room(uncompressed_size, points);
    if (uncompressed_size == 0 || layouts_coincide(header)) {
        decompress_exactly(block, points.first(uncompressed_size));
        return ZeroedBuffer();
    }
    ZeroedBuffer stream(uncompressed_size);
    decompress_exactly(block, stream.bytes());
    return stream;
}

// One field's run in the stream: `records` whole groups of `bytes` bytes each (a point's elements),
// then
// `tail` bytes of the next record's group when the stream ends inside it.
struct FieldRun {
    const std::byte* source;
    size_t offset;  // of the field within the record
    size_t bytes;   // size x count
    size_t records;
    size_t tail;
};

// Copies `n` groups of N bytes, packed at `source`, to records `step` bytes apart.
template <size_t N>
void copy_groups(const std::byte* source, std::byte* target, size_t step, size_t n) {
    for (size_t i = 0; i < n; ++i, source += N, target += step) std::memcpy(target, source, N);
}

void copy_groups(const std::byte* source, std::byte* target, size_t bytes, size_t step, size_t n) {
    switch (bytes) {
        case 1:
            return copy_groups<1>(source, target, step, n);
        case 2:
            return copy_groups<2>(source, target, step, n);
        case 4:
            return copy_groups<4>(source, target, step, n);
        case 8:
            return copy_groups<8>(source, target, step, n);
        case 12:
            return copy_groups<12>(source, target, step, n);
        case 16:
            return copy_groups<16>(source, target, step, n);
        default:
            for (size_t i = 0; i < n; ++i, source += bytes, target += step) {
                std::memcpy(target, source, bytes);
            }
    }
}

// Records filled per pass over the fields: the records of one pass stay in cache while every field
// writes its part, so the point buffer is written once instead of once per field.
constexpr size_t chunk_bytes = size_t{32} << 10;

// The common record of F fields of one G-byte group each (x y z intensity, normals, F 8 xyz),
// written record after record from F runs read side by side: with G and F known the compiler
// turns it into vector shuffles, and it runs at the speed of memcpy.
template <size_t G, size_t F>
void interleave(const std::byte* stream, std::byte* records, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        for (size_t f = 0; f < F; ++f) {
            std::memcpy(records + (i * F + f) * G, stream + (f * n + i) * G, G);
        }
    }
}

using Interleave = void (*)(const std::byte*, std::byte*, size_t);
constexpr size_t max_uniform_fields = 8;

template <size_t G, size_t... I>
constexpr std::array<Interleave, sizeof...(I)> interleavers(std::index_sequence<I...>) {
    return {interleave<G, I + 1>...};
}

// The interleaver for a record of up to 8 fields that all hold G = 4 or 8 bytes, back to back in
// FIELDS order with nothing else in the record; nullptr for any other record.
Interleave uniform_interleaver(const PcdHeader& header) {
    static constexpr auto by4 = interleavers<4>(std::make_index_sequence<max_uniform_fields>());
    static constexpr auto by8 = interleavers<8>(std::make_index_sequence<max_uniform_fields>());
    const size_t fields = header.fields.size();
    if (fields == 0 || fields > max_uniform_fields) return nullptr;
    const int64_t group = int64_t{header.fields[0].size} * header.fields[0].count;
    if (group != 4 && group != 8) return nullptr;
    for (size_t f = 0; f < fields; ++f) {
        const PcdField& field = header.fields[f];
        if (int64_t{field.size} * field.count != group || field.offset != f * uint64_t(group)) {
            return nullptr;
        }
    }
    if (header.point_step != fields * uint64_t(group)) return nullptr;
    return (group == 4 ? by4 : by8)[fields - 1];
}

// True when the fields, back to back in FIELDS order, make up the whole record, so that a stream
// of points x point_step bytes writes every byte of the point buffer.
bool fields_tile_record(const PcdHeader& header) {
    uint64_t offset = 0;
    for (const PcdField& field : header.fields) {
        if (field.size < 0 || field.count < 0 || field.offset != offset) return false;
        offset += uint64_t(uint32_t(field.size)) * uint64_t(uint32_t(field.count));
    }
    return offset == header.point_step;
}

}  // namespace

namespace detail {

void scatter_fields(std::span<const std::byte> stream, const PcdHeader& header,
                    std::span<std::byte> points) {
    const uint64_t step = header.point_step;
    if (header.points <= 0 || step == 0) return;
    // Runs are header.points long; records are written only where `points` has room for them.
    const auto stated_points = static_cast<uint64_t>(header.points);
    const size_t records =
        static_cast<size_t>(std::min<uint64_t>(stated_points, points.size() / step));

    if (records == stated_points && stream.size() == records * step) {
        if (const Interleave whole = uniform_interleaver(header)) {
            return whole(stream.data(), points.data(), records);
        }
    }

    std::vector<FieldRun> runs;
    runs.reserve(header.fields.size());
    size_t position = 0;
    for (const PcdField& field : header.fields) {
        if (position >= stream.size()) break;
        const uint64_t bytes =
            field.size > 0 && field.count > 0
                ? uint64_t(uint32_t(field.size)) * uint64_t(uint32_t(field.count))
                : 0;
        if (bytes == 0) continue;
        const size_t left = stream.size() - position;
        const bool ends_inside = stated_points > left / bytes;
        const size_t available = ends_inside ? left : static_cast<size_t>(stated_points * bytes);
        // A field outside the record (only odd headers make one) keeps its place in the stream but
        // is never written; the loader refuses such a header afterwards.
        if (bytes <= step && field.offset <= step - bytes) {
            const size_t whole = available / bytes;
            runs.push_back({stream.data() + position, static_cast<size_t>(field.offset),
                            static_cast<size_t>(bytes), std::min(whole, records),
                            whole < records ? available % bytes : 0});
        }
        if (ends_inside) break;
        position += available;
    }

    const auto stride = static_cast<size_t>(step);
    const size_t chunk = std::max<size_t>(1, chunk_bytes / stride);
    for (size_t first = 0; first < records; first += chunk) {
        const size_t last = std::min(records, first + chunk);
        for (const FieldRun& run : runs) {
            if (run.records <= first) continue;
            copy_groups(run.source + first * run.bytes, points.data() + first * stride + run.offset,
                        run.bytes, stride, std::min(last, run.records) - first);
        }
    }
    for (const FieldRun& run : runs) {
        if (run.tail == 0) continue;
        std::memcpy(points.data() + run.records * stride + run.offset,
                    run.source + run.records * run.bytes, run.tail);
    }
}

}  // namespace detail

void decode_compressed_block(std::span<const std::byte> block, uint32_t uncompressed_size,
                             const PcdHeader& header, std::span<std::byte> points) {
    const ZeroedBuffer stream = decompress(block, uncompressed_size, header, points);
    if (stream.size() != 0) detail::scatter_fields(stream.bytes(), header, points);
}

void decode_compressed_body(std::span<const std::byte> body, const PcdHeader& header,
                            std::span<std::byte> points) {
    if (body.size() < 8) fail_no_sizes();
    const uint32_t compressed_size = load_le32(body.data());
    const uint32_t uncompressed_size = load_le32(body.data() + 4);
    check_room(uncompressed_size, points);
    const std::span<const std::byte> rest = body.subspan(8);
    if (rest.size() >= compressed_size) {
        decode_compressed_block(rest.first(compressed_size), uncompressed_size, header, points);
        return;
    }
    // The body ends inside the block: the missing bytes count as zero.
    const ZeroedBuffer block(compressed_size);
    std::memcpy(block.data(), rest.data(), rest.size());
    decode_compressed_block(block.bytes(), uncompressed_size, header, points);
}

void decode_compressed_body(std::istream& in, const PcdHeader& header,
                            std::span<std::byte> points) {
    std::array<std::byte, 8> sizes{};
    in.read(reinterpret_cast<char*>(sizes.data()), sizes.size());
    if (in.gcount() != static_cast<std::streamsize>(sizes.size())) fail_no_sizes();
    const uint32_t compressed_size = load_le32(sizes.data());
    const uint32_t uncompressed_size = load_le32(sizes.data() + 4);
    check_room(uncompressed_size, points);
    // How many bytes the read delivers is not checked: a block cut short by the end of the file
    // decodes with zeros in place of the missing bytes.
    const auto read_block = [&in](std::span<std::byte> block) {
        if (!block.empty()) {
            in.read(reinterpret_cast<char*>(block.data()),
                    static_cast<std::streamsize>(block.size()));
        }
    };

    if (uncompressed_size != 0 && !layouts_coincide(header) && compressed_size <= points.size()) {
        // The point buffer is zero, unused until the scatter, and its pages are needed anyway: it
        // holds the block while the stream is decoded, so one buffer is allocated, not two.
        const std::span<std::byte> block = points.first(compressed_size);
        read_block(block);
        const ZeroedBuffer stream(uncompressed_size);
        decompress_exactly(block, stream.bytes());
        // Whatever the scatter does not overwrite must read as zero again.
        if (!(fields_tile_record(header) && stream.size() == points.size() &&
              uint64_t(header.points) * header.point_step == points.size())) {
            std::memset(block.data(), 0, block.size());
        }
        detail::scatter_fields(stream.bytes(), header, points);
        return;
    }

    ZeroedBuffer block(compressed_size);
    read_block(block.bytes());
    const ZeroedBuffer stream = decompress(block.bytes(), uncompressed_size, header, points);
    // Released before the scatter: at most the block and the stream, or the stream and the point
    // buffer, are held at once.
    block = ZeroedBuffer();
    if (stream.size() != 0) detail::scatter_fields(stream.bytes(), header, points);
}

}  // namespace veloxel
