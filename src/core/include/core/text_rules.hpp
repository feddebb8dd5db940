#pragma once

#include <cstddef>
#include <string_view>

namespace kelvarin {

// The identifier rule: 1 to 128 bytes, each an ASCII letter, digit, '-' or '_'.
[[nodiscard]] bool valid_id(std::string_view s);

// True when the UTF-8 text holds a character of Unicode category Cc
// (U+0000 to U+001F, U+007F to U+009F).
[[nodiscard]] bool has_control_character(std::string_view s);

// True when the UTF-8 text holds a Unicode white-space character.
[[nodiscard]] bool has_white_space(std::string_view s);

// 1 to `max_bytes` bytes of UTF-8 without control characters.
[[nodiscard]] bool valid_text(std::string_view s, std::size_t max_bytes);

}  // namespace kelvarin
