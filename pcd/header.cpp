#include "pcd/header.hpp"

#include <limits>
#include <string_view>

namespace veloxel {
namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Extracts values from one header line the way formatted stream input does: each extraction skips
// whitespace first, and once one extraction has failed every later one on the line fails too and
// leaves its target unchanged.
class LineScanner {
  public:
    explicit LineScanner(std::string_view line) : rest_(line) {}

    bool word(std::string& out) {
        if (!skip_space()) return false;
        size_t n = 0;
        while (n < rest_.size() && !is_space(rest_[n])) ++n;
        out.assign(rest_.substr(0, n));
        rest_.remove_prefix(n);
        return true;
    }

    bool character(char& out) {
        if (!skip_space()) return false;
        out = rest_[0];
        rest_.remove_prefix(1);
        return true;
    }

    // An optional sign and decimal digits, as a 32-bit signed value. A number outside that range
    // consumes its digits and fails.
    bool integer(int32_t& out) {
        if (!skip_space()) return false;
        size_t i = 0;
        bool negative = false;
        if (rest_[0] == '+' || rest_[0] == '-') {
            negative = rest_[0] == '-';
            ++i;
        }
        const size_t first_digit = i;
        int64_t magnitude = 0;
        bool in_range = true;
        for (; i < rest_.size() && rest_[i] >= '0' && rest_[i] <= '9'; ++i) {
            if (in_range) {
                magnitude = magnitude * 10 + (rest_[i] - '0');
                in_range = magnitude <= int64_t{std::numeric_limits<int32_t>::max()} + 1;
            }
        }
        rest_.remove_prefix(i);
        const int64_t value = negative ? -magnitude : magnitude;
        if (i == first_digit || !in_range || value > std::numeric_limits<int32_t>::max() ||
            value < std::numeric_limits<int32_t>::min()) {
            failed_ = true;
            return false;
        }
        out = static_cast<int32_t>(value);
        return true;
    }

  private:
    // Skips whitespace; false if the line is done or an earlier extraction failed.
    bool skip_space() {
        while (!rest_.empty() && is_space(rest_[0])) rest_.remove_prefix(1);
        if (rest_.empty()) failed_ = true;
        return !failed_;
    }

    std::string_view rest_;
    bool failed_ = false;
};

// A field's bytes per point. Sizes and counts come straight from the file, so the product is formed
// in 64 bits; negative or absurd values make offsets that the loader later refuses.
uint64_t field_bytes(const PcdField& field) {
    return static_cast<uint64_t>(int64_t{field.size} * int64_t{field.count});
}

}  // namespace

PcdHeader read_pcd_header(std::istream& in) {
    PcdHeader header;
    uint64_t running_offset = 0;
    bool count_seen = false;
    std::string line;
    std::string keyword;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        LineScanner scan(line);
        if (!scan.word(keyword)) continue;
        if (keyword == "FIELDS") {
            PcdField field;
            while (scan.word(field.name)) header.fields.push_back(field);
        } else if (keyword == "SIZE") {
            for (PcdField& field : header.fields) scan.integer(field.size);
        } else if (keyword == "TYPE") {
            for (PcdField& field : header.fields) scan.character(field.type);
        } else if (keyword == "COUNT") {
            // A COUNT line before any FIELDS line describes nothing.
            if (header.fields.empty()) continue;
            count_seen = true;
            for (PcdField& field : header.fields) {
                scan.integer(field.count);
                field.offset = running_offset;
                running_offset += field_bytes(field);
            }
        } else if (keyword == "WIDTH") {
            scan.integer(header.width);
        } else if (keyword == "HEIGHT") {
            scan.integer(header.height);
        } else if (keyword == "POINTS") {
            scan.integer(header.points);
        } else if (keyword == "DATA") {
            scan.word(header.data_type);
            // ASCII letters only, whatever the process locale says.
            for (char& c : header.data_type) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
            break;
        }
    }
    if (!count_seen) {
        // COUNT is optional in PCD: lay the fields out one element each, from their final sizes.
        for (PcdField& field : header.fields) {
            field.offset = running_offset;
            running_offset += field_bytes(field);
        }
    }
    header.point_step = running_offset;
    return header;
}

}  // namespace veloxel
