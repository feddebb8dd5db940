#include "json.hpp"

#include <boost/container/small_vector.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serializer.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace kelvarin {

namespace {

const json::value null_value;

// Characters that need an escape: controls, quotation mark and backslash.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) {
    table[c] = 'u';
  }
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr auto escape_table = make_escape_table();

// Whether any of the 8 bytes in `w` is a control character, a quotation mark
// or a backslash. Exact for the word as a whole, which is all the scan needs.
bool word_needs_escape(std::uint64_t w) {
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  const auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
  const std::uint64_t below_space = (w - ones * 0x20) & ~w & highs;
  return (below_space | has_zero(w ^ (ones * '"')) | has_zero(w ^ (ones * '\\'))) != 0;
}

void write_string(std::string_view s, std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  out.reserve(out.size() + s.size() + 2);
  out.push_back('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    // Long runs of plain text are skipped a word at a time.
    while (i + 8 <= s.size()) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, sizeof w);
      if (word_needs_escape(w)) {
        break;
      }
      i += 8;
    }
    if (i >= s.size()) {
      break;
    }
    const char e = escape_table[static_cast<unsigned char>(s[i])];
    if (e == 0) {
      continue;
    }
    out.append(s.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    out.push_back(e);
    if (e == 'u') {
      const auto c = static_cast<unsigned char>(s[i]);
      out.append("00");
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0xF]);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

template <class Int>
void write_integer(Int n, std::string& out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

// Doubles keep Boost.JSON's own shortest round-trip form.
void write_double(double d, std::string& out) {
  const json::value v(d);
  json::serializer sr;
  sr.reset(&v);
  char buf[64];
  while (!sr.done()) {
    out.append(sr.read(buf, sizeof buf));
  }
}

void write_value(const json::value& v, std::string& out) {
  switch (v.kind()) {
    case json::kind::null:
      out.append("null");
      return;
    case json::kind::bool_:
      out.append(v.get_bool() ? "true" : "false");
      return;
    case json::kind::int64:
      write_integer(v.get_int64(), out);
      return;
    case json::kind::uint64:
      write_integer(v.get_uint64(), out);
      return;
    case json::kind::double_:
      write_double(v.get_double(), out);
      return;
    case json::kind::string:
      write_string(v.get_string(), out);
      return;
    case json::kind::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : v.get_array()) {
        if (!first) {
          out.push_back(',');
        }
        first = false;
        write_value(element, out);
      }
      out.push_back(']');
      return;
    }
    case json::kind::object: {
      const auto& object = v.get_object();
      boost::container::small_vector<const json::key_value_pair*, 16> members;
      members.reserve(object.size());
      for (const auto& kv : object) {
        members.push_back(&kv);
      }
      // std::string_view compares as unsigned bytes: ascending byte order.
      std::sort(members.begin(), members.end(),
                [](const auto* a, const auto* b) { return a->key() < b->key(); });
      out.push_back('{');
      bool first = true;
      for (const auto* kv : members) {
        if (!first) {
          out.push_back(',');
        }
        first = false;
        write_string(kv->key(), out);
        out.push_back(':');
        write_value(kv->value(), out);
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

const json::value& member(const json::value& value, std::string_view key) {
  if (const auto* object = value.if_object()) {
    if (const auto* found = object->if_contains(key)) {
      return *found;
    }
  }
  return null_value;
}

bool is_integer(const json::value& value, std::uint64_t n) {
  if (const auto* u = value.if_uint64()) {
    return *u == n;
  }
  if (const auto* i = value.if_int64()) {
    return *i >= 0 && static_cast<std::uint64_t>(*i) == n;
  }
  return false;
}

bool is_text(const json::value& value, std::string_view text) {
  const auto* s = value.if_string();
  return s != nullptr && std::string_view(*s) == text;
}

Result<json::value> parse_json(std::string_view text) {
  json::parse_options options;
  options.max_depth = max_json_depth;
  boost::system::error_code ec;
  json::value value = json::parse(text, ec, json::storage_ptr(), options);
  if (ec) {
    return std::unexpected(invalid("Invalid JSON frame."));
  }
  return value;
}

void write_json(const json::value& value, std::string& out) { write_value(value, out); }

std::string to_json_text(const json::value& value) {
  std::string out;
  write_json(value, out);
  return out;
}

}  // namespace kelvarin
