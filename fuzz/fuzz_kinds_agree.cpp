// The same point records stored two ways must decode to the bytes of a binary body. The input
// chooses a record layout of supported fields, the number of points, the record bytes and how
// the text is spelled; the records are written as an ascii body (shortest round-trip decimals,
// fixed or scientific, integers with or without leading zeros, varied separators) and, for a
// single field, where every stored order of a compressed block is the same, as an LZF block.
#include <lzf.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.hpp"
#include "pcd/ascii_body.hpp"
#include "pcd/compressed_body.hpp"
#include "pcd/header.hpp"

namespace {

using veloxel::PcdField;
using veloxel::PcdHeader;

// Takes bytes from the front of the input; zeros once it is used up.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The ten type letter and size pairs that have an array element type.
constexpr char supported_types[] = "FFIIIIUUUU";
constexpr std::array<int32_t, 10> supported_sizes = {4, 8, 1, 2, 4, 8, 1, 2, 4, 8};

template <typename T>
T load(const std::byte* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename T>
void append_number(std::string& text, T value, uint8_t style) {
    char buf[512];
    std::to_chars_result r;
    if constexpr (std::is_floating_point_v<T>) {
        switch (style % 3) {
            case 0:
                r = std::to_chars(buf, buf + sizeof buf, value);
                break;
            case 1:
                r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
                break;
            default:
                r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
                break;
        }
    } else {
        if (style % 2 == 1 && value >= 0) text += "00";  // leading zeros are still decimal
        r = std::to_chars(buf, buf + sizeof buf, value);
    }
    text.append(buf, r.ptr);
}

void append_element(std::string& text, const PcdField& field, const std::byte* p, uint8_t style) {
    switch (field.type) {
        case 'F':
            if (field.size == 4) return append_number(text, load<float>(p), style);
            return append_number(text, load<double>(p), style);
        case 'I':
            switch (field.size) {
                case 1:
                    return append_number(text, int64_t{load<int8_t>(p)}, style);
                case 2:
                    return append_number(text, int64_t{load<int16_t>(p)}, style);
                case 4:
                    return append_number(text, int64_t{load<int32_t>(p)}, style);
                default:
                    return append_number(text, load<int64_t>(p), style);
            }
        default:
            switch (field.size) {
                case 1:
                    return append_number(text, uint64_t{load<uint8_t>(p)}, style);
                case 2:
                    return append_number(text, uint64_t{load<uint16_t>(p)}, style);
                case 4:
                    return append_number(text, uint64_t{load<uint32_t>(p)}, style);
                default:
                    return append_number(text, load<uint64_t>(p), style);
            }
    }
}

// Whitespace between values and at the end of each point; line breaks carry no meaning.
constexpr std::array<const char*, 6> separators = {" ", "\t", "\n", "\r\n", "  \t ", " \n"};

std::string ascii_text(const PcdHeader& header, const std::vector<std::byte>& records,
                       Input& input) {
    const uint8_t style = input.byte();
    const char* between = separators[style % separators.size()];
    const char* after_point = separators[(style / 8) % separators.size()];
    std::string text = style & 0x80 ? " \n" : "";
    for (size_t k = 0; k < static_cast<size_t>(header.points); ++k) {
        const std::byte* record = records.data() + k * header.point_step;
        bool first = true;
        for (const PcdField& field : header.fields) {
            for (int32_t e = 0; e < field.count; ++e) {
                if (!first) text += between;
                first = false;
                append_element(text, field, record + field.offset + size_t(e) * size_t(field.size),
                               style >> 6);
            }
        }
        text += after_point;
    }
    return text;
}

// Equal bytes, except that a NaN need only come back as a NaN: the text "nan" has no payload.
void check_same_records(const PcdHeader& header, const std::vector<std::byte>& expected,
                        const std::vector<std::byte>& decoded) {
    for (size_t k = 0; k < static_cast<size_t>(header.points); ++k) {
        for (const PcdField& field : header.fields) {
            for (int32_t e = 0; e < field.count; ++e) {
                const size_t at =
                    k * header.point_step + field.offset + size_t(e) * size_t(field.size);
                const std::byte* want = expected.data() + at;
                const std::byte* got = decoded.data() + at;
                if (field.type == 'F' && field.size == 4 && std::isnan(load<float>(want))) {
                    VELOXEL_FUZZ_CHECK(std::isnan(load<float>(got)));
                } else if (field.type == 'F' && field.size == 8 && std::isnan(load<double>(want))) {
                    VELOXEL_FUZZ_CHECK(std::isnan(load<double>(got)));
                } else {
                    VELOXEL_FUZZ_CHECK(std::memcmp(want, got, size_t(field.size)) == 0);
                }
            }
        }
    }
}

void check_ascii(const PcdHeader& header, const std::vector<std::byte>& records, Input& input) {
    std::istringstream in(ascii_text(header, records, input), std::ios::in | std::ios::binary);
    std::vector<std::byte> decoded(records.size());
    veloxel::decode_ascii_body(in, header, decoded);  // well-formed text is no error
    check_same_records(header, records, decoded);
}

// An LZF block of `raw`: liblzf's compressor, or literal runs of up to 32 bytes where it declines.
// lzf_compress reads two bytes before it looks at the length, one past the end of a 1-byte input,
// so such an input gets its literal run straight away.
std::string lzf_block(const std::vector<std::byte>& raw) {
    std::string block(raw.size() + raw.size() / 16 + 64, '\0');
    const unsigned n = raw.size() < 2
                           ? 0
                           : lzf_compress(raw.data(), static_cast<unsigned>(raw.size()),
                                          block.data(), static_cast<unsigned>(block.size()));
    if (n > 0) {
        block.resize(n);
        return block;
    }
    block.clear();
    for (size_t i = 0; i < raw.size(); i += 32) {
        const size_t run = std::min<size_t>(32, raw.size() - i);
        block += static_cast<char>(run - 1);
        block.append(reinterpret_cast<const char*>(raw.data() + i), run);
    }
    return block;
}

void check_compressed(const PcdHeader& header, const std::vector<std::byte>& records) {
    const std::string block = lzf_block(records);
    std::string body(8, '\0');
    for (int i = 0; i < 4; ++i) {
        body[size_t(i)] = static_cast<char>(block.size() >> (8 * i));
        body[size_t(i) + 4] = static_cast<char>(records.size() >> (8 * i));
    }
    body += block;
    std::istringstream in(body, std::ios::in | std::ios::binary);
    std::vector<std::byte> decoded(records.size());
    veloxel::decode_compressed_body(in, header, decoded);
    VELOXEL_FUZZ_CHECK(decoded == records);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    PcdHeader header;
    header.data_type = "ascii";
    const int nfields = 1 + input.byte() % 6;
    for (int i = 0; i < nfields; ++i) {
        PcdField field;
        field.name = "f" + std::to_string(i);
        const size_t pair = input.byte() % supported_sizes.size();
        field.type = supported_types[pair];
        field.size = supported_sizes[pair];
        field.count = input.byte() % 4;
        field.offset = header.point_step;
        header.point_step += static_cast<uint64_t>(field.size * field.count);
        header.fields.push_back(field);
    }
    header.points = input.byte() % 17;
    std::vector<std::byte> records(static_cast<size_t>(header.points) * header.point_step);
    for (std::byte& b : records) b = std::byte{input.byte()};

    check_ascii(header, records, input);
    if (nfields == 1 && !records.empty()) {
        header.data_type = "binary_compressed";
        check_compressed(header, records);
    }
    return 0;
}
