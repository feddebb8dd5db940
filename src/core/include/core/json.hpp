#pragma once

#include "core/error.hpp"

#include <boost/json/value.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvarin {

namespace json = boost::json;

// Arrays and objects may nest this deep; one more level is refused.
inline constexpr int max_json_depth = 127;

// The member `key` of `value`; null when `value` is not an object or lacks it.
[[nodiscard]] const json::value& member(const json::value& value, std::string_view key);

// True when `value` is a JSON integer (either signed or unsigned form) equal
// to `n`. A float never is, whatever its value.
[[nodiscard]] bool is_integer(const json::value& value, std::uint64_t n);

// True when `value` is a JSON string equal byte for byte to `text`.
[[nodiscard]] bool is_text(const json::value& value, std::string_view text);

// Parses exactly one JSON text with optional JSON whitespace around it.
// Every failure is InvalidData "Invalid JSON frame.".
[[nodiscard]] Result<json::value> parse_json(std::string_view text);

// Appends the compact text of `value` to `out`: object members in ascending
// byte order of their keys at every level, minimal string escapes.
void write_json(const json::value& value, std::string& out);

[[nodiscard]] std::string to_json_text(const json::value& value);

}  // namespace kelvarin
