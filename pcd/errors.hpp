// Failures of PCD loading. Every format error is a std::runtime_error with a fixed message,
// thrown from the helpers below so that the wording lives in one place.
#pragma once

#include <string>
#include <string_view>

namespace veloxel {

// Throws std::runtime_error(message).
[[noreturn]] void fail(const std::string& message);

// Throws std::runtime_error("Unsupported PCD type/size").
[[noreturn]] void fail_unsupported_type();

// Throws std::length_error("vector too long"): the point data cannot be held in one buffer.
[[noreturn]] void fail_too_long();

// Returns `text` unchanged when it is valid UTF-8, else with every byte from 0x80 up written as
// \xNN, so that an error message can always become a Python string.
std::string printable(std::string_view text);

}  // namespace veloxel
