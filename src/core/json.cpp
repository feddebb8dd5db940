#include "core/json.hpp"

#include <boost/container/small_vector.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <boost/json/serializer.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
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

// Builds the value as Boost.JSON's own parser does, except for numbers with
// a fraction or an exponent: Boost.JSON 1.81 may read those a step away from
// the nearest double, or as infinity, which would then be passed on changed
// or as text that is not JSON. They are read again from their text, and one
// beyond the range of a double is refused.
struct ValueBuilder {
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  json::value_stack stack;
  std::string number;  // the start of a number split across input pieces

  using ec_t = boost::system::error_code;
  bool on_document_begin(ec_t&) { return true; }
  bool on_document_end(ec_t&) { return true; }
  bool on_object_begin(ec_t&) { return true; }
  bool on_object_end(std::size_t n, ec_t&) {
    stack.push_object(n);
    return true;
  }
  bool on_array_begin(ec_t&) { return true; }
  bool on_array_end(std::size_t n, ec_t&) {
    stack.push_array(n);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, ec_t&) {
    stack.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, ec_t&) {
    stack.push_key(s);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, ec_t&) {
    stack.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, ec_t&) {
    stack.push_string(s);
    return true;
  }
  bool on_number_part(json::string_view s, ec_t&) {
    number.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, ec_t&) {
    number.clear();
    stack.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, ec_t&) {
    number.clear();
    stack.push_uint64(u);
    return true;
  }
  bool on_double(double approximate, json::string_view s, ec_t& ec) {
    number.append(s.data(), s.size());
    double exact = approximate;
    const auto [end, err] = std::from_chars(number.data(), number.data() + number.size(), exact);
    number.clear();
    if (err == std::errc::result_out_of_range) {
      if (!std::isfinite(approximate) || std::abs(approximate) > 1.0) {
        ec = json::error::exponent_overflow;  // beyond the largest double
        return false;
      }
      exact = approximate;  // below the smallest: Boost.JSON's zero or subnormal stands
    } else if (err != std::errc{}) {
      ec = json::error::syntax;
      return false;
    }
    stack.push_double(exact);
    return true;
  }
  bool on_bool(bool b, ec_t&) {
    stack.push_bool(b);
    return true;
  }
  bool on_null(ec_t&) {
    stack.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, ec_t&) { return true; }
  bool on_comment(json::string_view, ec_t&) { return true; }
};

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
  json::basic_parser<ValueBuilder> parser(options);
  parser.handler().stack.reset();
  boost::system::error_code ec;
  const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (ec || used != text.size()) {
    return std::unexpected(invalid("Invalid JSON frame."));
  }
  return parser.handler().stack.release();
}

void write_json(const json::value& value, std::string& out) { write_value(value, out); }

std::string to_json_text(const json::value& value) {
  std::string out;
  write_json(value, out);
  return out;
}

}  // namespace kelvarin
