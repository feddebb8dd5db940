#pragma once

// What the fuzz targets share: a failed check that names the broken rule, and
// a plain UTF-8 decoder written from the encoding's definition rather than
// from the host's byte tests, so the two can be held against each other.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Stops the run on a broken invariant; libFuzzer keeps the input that did it.
[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n*** invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) {
    const auto shown = std::min<std::size_t>(detail.size(), 4000);
    std::fprintf(stderr, "    %.*s%s\n", static_cast<int>(shown), detail.data(), shown < detail.size() ? " ..." : "");
  }
  std::fflush(stderr);
  std::abort();
}

inline void check(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) {
    fail(what, detail);
  }
}

// The code points of `s`, or nothing when it is not UTF-8: an overlong form,
// a surrogate, a value above U+10FFFF, a stray or missing continuation byte.
inline std::optional<std::vector<char32_t>> decode_utf8(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    int extra = 0;
    char32_t cp = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
      smallest = 0x10000;
    } else {
      return std::nullopt;
    }
    if (s.size() - i <= static_cast<std::size_t>(extra)) {
      return std::nullopt;
    }
    for (int k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) {
        return std::nullopt;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return std::nullopt;
    }
    out.push_back(cp);
    i += 1 + extra;
  }
  return out;
}

// Printable form of arbitrary bytes for a failure message.
inline std::string shown(std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (const char ch : s.substr(0, 600)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(ch);
    } else {
      out += "\\x";
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0xF]);
    }
  }
  if (s.size() > 600) {
    out += "...";
  }
  return out;
}

}  // namespace fuzz
