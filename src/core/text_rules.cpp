#include "core/text_rules.hpp"

namespace kelvarin {

namespace {

bool id_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

unsigned char byte_at(std::string_view s, std::size_t i) {
  return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

}  // namespace

bool valid_id(std::string_view s) {
  if (s.empty() || s.size() > 128) {
    return false;
  }
  for (const char c : s) {
    if (!id_byte(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

// The texts checked here come from parsed JSON and are valid UTF-8, so a lead
// byte and its continuation identify the character.
bool has_control_character(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = byte_at(s, i);
    if (c < 0x20 || c == 0x7F) {
      return true;
    }
    if (c == 0xC2) {
      const auto next = byte_at(s, i + 1);
      if (next >= 0x80 && next <= 0x9F) {
        return true;
      }
    }
  }
  return false;
}

bool has_white_space(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = byte_at(s, i);
    const auto b1 = byte_at(s, i + 1);
    const auto b2 = byte_at(s, i + 2);
    switch (c) {
      case 0x09:
      case 0x0A:
      case 0x0B:
      case 0x0C:
      case 0x0D:
      case 0x20:
        return true;
      case 0xC2:  // U+0085, U+00A0
        if (b1 == 0x85 || b1 == 0xA0) {
          return true;
        }
        break;
      case 0xE1:  // U+1680
        if (b1 == 0x9A && b2 == 0x80) {
          return true;
        }
        break;
      case 0xE2:
        if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) {
          return true;  // U+2000..U+200A, U+2028, U+2029, U+202F
        }
        if (b1 == 0x81 && b2 == 0x9F) {
          return true;  // U+205F
        }
        break;
      case 0xE3:  // U+3000
        if (b1 == 0x80 && b2 == 0x80) {
          return true;
        }
        break;
      default:
        break;
    }
  }
  return false;
}

bool valid_text(std::string_view s, std::size_t max_bytes) {
  return !s.empty() && s.size() <= max_bytes && !has_control_character(s);
}

}  // namespace kelvarin
