#include "pcd/ascii_body.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>

#include <fast_float/fast_float.h>

#include "pcd/buffer.hpp"

#if !VELOXEL_FAST_FLOAT_INTEGERS
#include <charconv>
#endif

namespace veloxel {
namespace detail {
namespace {

// The bytes that separate numbers: everything not above 0x20 when read as a signed byte, which
// takes in the control bytes, space, and every byte of a multi-byte UTF-8 sequence.
inline bool is_separator(char c) {
    return static_cast<signed char>(c) <= 0x20;
}

// Decimal point ".", fixed and scientific notation; no leading "+", no whitespace skipping.
constexpr fast_float::parse_options float_options{fast_float::chars_format::general, '.'};

// Parses the longest floating-point number at `p` and moves `p` past it. Text that is no number
// leaves `p` and yields 0. Out-of-range magnitudes yield infinity or zero, which is the value a
// PCD writer meant, so the library's status is not consulted.
template <typename T>
inline T parse_float(const char*& p, const char* end) {
    T value = 0;
    p = fast_float::from_chars_advanced(p, end, value, float_options).ptr;
    return value;
}

// Parses the longest decimal integer at `p` ("-" allowed for signed types only) and moves `p` past
// it. A value outside T consumes its digits; it and text that is no number yield 0.
template <typename T>
inline T parse_integer(const char*& p, const char* end) {
    T value = 0;
#if VELOXEL_FAST_FLOAT_INTEGERS
    const auto result = fast_float::from_chars(p, end, value, 10);
#else
    const auto result = std::from_chars(p, end, value, 10);
#endif
    p = result.ptr;
    return result.ec == std::errc{} ? value : T{0};
}

// Stores `value` in the byte order of a binary body, which is the machine's.
template <typename T>
inline void store(std::byte* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

// The store kind for a supported letter and size, or the skip kind for its letter.
SlotKind kind_for(char type, int32_t size, bool& stored) {
    stored = true;
    switch (type) {
        case 'F':
            if (size == 4) return SlotKind::f4;
            if (size == 8) return SlotKind::f8;
            stored = false;
            return SlotKind::skip_f;
        case 'I':
            if (size == 1) return SlotKind::i1;
            if (size == 2) return SlotKind::i2;
            if (size == 4) return SlotKind::i4;
            if (size == 8) return SlotKind::i8;
            stored = false;
            return SlotKind::skip_i;
        default:  // 'U'
            if (size == 1) return SlotKind::u1;
            if (size == 2) return SlotKind::u2;
            if (size == 4) return SlotKind::u4;
            if (size == 8) return SlotKind::u8;
            stored = false;
            return SlotKind::skip_u;
    }
}

SlotKind skip_kind_for(char type) {
    return type == 'F' ? SlotKind::skip_f : type == 'I' ? SlotKind::skip_i : SlotKind::skip_u;
}

// Appends `repeat` elements that are parsed and dropped, merged into the previous run of the same
// kind, so that a header with absurd counts costs one slot, not billions.
void append_skip(std::vector<AsciiSlot>& plan, SlotKind kind, uint64_t repeat) {
    if (repeat == 0) return;
    if (!plan.empty() && plan.back().kind == kind) {
        plan.back().repeat += repeat;
        return;
    }
    plan.push_back(AsciiSlot{0, repeat, kind});
}

}  // namespace

std::vector<AsciiSlot> build_ascii_plan(const PcdHeader& header) {
    std::vector<AsciiSlot> plan;
    const uint64_t step = header.point_step;
    for (const PcdField& field : header.fields) {
        // Other letters name no number type: the element takes no text, so it needs no slot.
        if (field.count <= 0 || (field.type != 'F' && field.type != 'I' && field.type != 'U')) {
            continue;
        }
        const auto count = static_cast<uint64_t>(field.count);
        bool stored = false;
        const SlotKind kind = kind_for(field.type, field.size, stored);
        // Elements whose bytes lie wholly inside the record; offsets come from the header as read,
        // so a SIZE line after COUNT or a negative size can put them anywhere.
        uint64_t inside = 0;
        if (stored && field.offset <= step) {
            inside = std::min(count, (step - field.offset) / static_cast<uint64_t>(field.size));
        }
        for (uint64_t i = 0; i < inside; ++i) {
            plan.push_back(
                AsciiSlot{field.offset + i * static_cast<uint64_t>(field.size), 1, kind});
        }
        append_skip(plan, stored ? skip_kind_for(field.type) : kind, count - inside);
    }
    return plan;
}

}  // namespace detail

void decode_ascii_text(std::span<const char> text, const PcdHeader& header,
                       std::span<std::byte> points) {
    using detail::parse_float;
    using detail::parse_integer;
    using detail::SlotKind;
    using detail::store;

    const uint64_t step = header.point_step;
    // Records past the end of `points` could only be parsed, never stored: stop before them.
    const uint64_t n =
        header.points <= 0 || step == 0
            ? 0
            : std::min<uint64_t>(static_cast<uint64_t>(header.points), points.size() / step);
    if (n == 0) return;
    const std::vector<detail::AsciiSlot> plan = detail::build_ascii_plan(header);
    if (plan.empty()) return;

    const char* p = text.data();
    const char* const end = p + text.size();
    // Moves to the next number; false when the text has ended.
    const auto next = [&p, end] {
        while (p != end && detail::is_separator(*p)) ++p;
        return p != end;
    };

    std::byte* record = points.data();
    for (uint64_t k = 0; k < n; ++k, record += step) {
        for (const detail::AsciiSlot& slot : plan) {
            if (!next()) return;
            std::byte* const at = record + slot.offset;
            switch (slot.kind) {
                case SlotKind::f4:
                    store(at, parse_float<float>(p, end));
                    break;
                case SlotKind::f8:
                    store(at, parse_float<double>(p, end));
                    break;
                case SlotKind::i1:
                    store(at, static_cast<int8_t>(parse_integer<int64_t>(p, end)));
                    break;
                case SlotKind::i2:
                    store(at, static_cast<int16_t>(parse_integer<int64_t>(p, end)));
                    break;
                case SlotKind::i4:
                    store(at, static_cast<int32_t>(parse_integer<int64_t>(p, end)));
                    break;
                case SlotKind::i8:
                    store(at, parse_integer<int64_t>(p, end));
                    break;
                case SlotKind::u1:
                    store(at, static_cast<uint8_t>(parse_integer<uint64_t>(p, end)));
                    break;
                case SlotKind::u2:
                    store(at, static_cast<uint16_t>(parse_integer<uint64_t>(p, end)));
                    break;
                case SlotKind::u4:
                    store(at, static_cast<uint32_t>(parse_integer<uint64_t>(p, end)));
                    break;
                case SlotKind::u8:
                    store(at, parse_integer<uint64_t>(p, end));
                    break;
                case SlotKind::skip_f:
                case SlotKind::skip_i:
                case SlotKind::skip_u:
                    for (uint64_t r = 0; r < slot.repeat; ++r) {
                        if (r > 0 && !next()) return;
                        const char* const before = p;
                        if (slot.kind == SlotKind::skip_f) {
                            parse_float<double>(p, end);
                        } else if (slot.kind == SlotKind::skip_i) {
                            parse_integer<int64_t>(p, end);
                        } else {
                            parse_integer<uint64_t>(p, end);
                        }
                        // Text this kind refuses holds the cursor for the rest of the run too.
                        if (p == before) break;
                    }
                    break;
            }
        }
    }
}

void decode_ascii_body(std::istream& in, const PcdHeader& header, std::span<std::byte> points) {
    // Bytes that the read does not deliver would stay zero, and zeros at the end of the text only
    // separate: the text is what the read delivered.
    const std::istream::pos_type start = in.tellg();
    if (start == std::istream::pos_type(-1)) return;
    in.seekg(0, std::ios::end);
    const std::istream::pos_type stop = in.tellg();
    in.seekg(start);
    if (stop == std::istream::pos_type(-1) || stop <= start) return;
    const auto length = static_cast<uint64_t>(stop - start);
    ZeroedBuffer text = ZeroedBuffer::for_overwrite(length);
    in.read(reinterpret_cast<char*>(text.data()), static_cast<std::streamsize>(length));
    const auto delivered = static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0));
    decode_ascii_text({reinterpret_cast<const char*>(text.data()), delivered}, header, points);
}

}  // namespace veloxel
