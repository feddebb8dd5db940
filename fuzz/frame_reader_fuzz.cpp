// The frame reader fed an arbitrary byte stream: several frames, truncations,
// hostile lengths, handed over in chunks of any size.
//
// Input: six header bytes, then the stream.
//   [0] flags: 1 = short reads (chunk sizes drawn from [1]),
//              2 = keep reading after a refused length or body,
//              4 = insert padding (below) into the stream
//   [1] seed of the chunk sizes
//   [2..3] padding length, little-endian; [4] padding byte;
//   [5] where the padding goes, as a fraction of the stream (0..255)
// The padding lets a short input reach the 65536-byte body limit.
//
// Each frame's outcome is worked out from the bytes alone and compared with
// what read_frame returns: the value or the error text, and how far into the
// stream the reader has gone. A returned value must also come back unchanged
// through the host's writer and parser, as compact text with sorted keys.

#include "core/frame.hpp"

#include "support.hpp"

#include <boost/asio/append.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using kelvarin::ErrorKind;

// An in-memory AsyncReadStream over a fixed byte string. It never gives more
// than the caller asked for, so the offset shows exactly what was consumed.
class ByteStream {
 public:
  using executor_type = asio::io_context::executor_type;

  ByteStream(executor_type ex, std::string_view bytes, bool short_reads, std::uint32_t seed)
      : ex_(ex), bytes_(bytes), short_reads_(short_reads), rng_(seed * 2654435761u + 1) {}

  executor_type get_executor() const { return ex_; }
  std::size_t offset() const { return offset_; }

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const MutableBuffers& target) {
          boost::system::error_code ec;
          std::size_t n = 0;
          if (asio::buffer_size(target) != 0) {
            if (offset_ == bytes_.size()) {
              ec = asio::error::eof;
            } else {
              std::size_t limit = bytes_.size() - offset_;
              if (short_reads_) {
                limit = std::min(limit, next_chunk());
              }
              n = asio::buffer_copy(target, asio::buffer(bytes_.data() + offset_, limit));
              offset_ += n;
            }
          }
          // Completes later, as a real stream does, never inside the call.
          auto ex = asio::get_associated_executor(handler, ex_);
          asio::post(ex, asio::append(std::move(handler), ec, n));
        },
        token, buffers);
  }

 private:
  std::size_t next_chunk() {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    // Sizes spread evenly over the powers of two up to the frame limit: many
    // pieces of a few bytes, without making a 64 KiB body cost thousands of reads.
    const unsigned bits = rng_ % 18;
    return 1 + ((rng_ >> 8) & ((1u << bits) - 1));
  }

  executor_type ex_;
  std::string_view bytes_;
  bool short_reads_;
  std::uint32_t rng_;
  std::size_t offset_ = 0;
};

// An RFC 8259 JSON text recogniser, written from the grammar: whitespace is
// space, tab, line feed and carriage return; strings hold UTF-8 and valid
// escapes (a \u surrogate must be a proper pair); nesting stops at 127.
// In `written` mode it also demands what the host's writer promises: no
// whitespace, object keys in ascending byte order, minimal escapes.
class Grammar {
 public:
  Grammar(std::string_view text, bool written) : s_(text), written_(written) {}

  bool accepts() {
    skip_space();
    if (!value(0)) {
      return false;
    }
    skip_space();
    return i_ == s_.size() && why_.empty();
  }

  const std::string& why() const { return why_; }

  // A number beyond a double's range, or with an exponent of five or more
  // digits: RFC 8259 lets a reader refuse it, but what the reader accepts
  // must still be written back as JSON.
  bool out_of_range() const { return out_of_range_; }

 private:
  static constexpr int max_depth = 127;

  bool refuse(const char* why) {
    if (why_.empty()) {
      why_ = why;
    }
    return false;
  }

  bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }

  void skip_space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
      if (written_) {
        refuse("whitespace in written text");
      }
      ++i_;
    }
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) {
      return refuse("bad literal");
    }
    i_ += word.size();
    return true;
  }

  bool value(int depth) {
    if (i_ >= s_.size()) {
      return refuse("value expected");
    }
    switch (s_[i_]) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1);
      case '"': {
        std::string ignored;
        return string(ignored);
      }
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  bool digits() {
    const auto start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
      ++i_;
    }
    return i_ > start;
  }

  bool number() {
    const auto start = i_;
    if (!number_text()) {
      return false;
    }
    const std::string text(s_.substr(start, i_ - start));
    const auto e = text.find_first_of("eE");
    std::string exponent = e == std::string::npos ? "" : text.substr(e + 1);
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
      exponent.erase(0, 1);
    }
    exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size()));
    if (exponent.size() > 4 || std::isinf(std::strtod(text.c_str(), nullptr))) {
      out_of_range_ = true;
    }
    return true;
  }

  bool number_text() {
    if (at('-')) {
      ++i_;
    }
    if (at('0')) {
      ++i_;
    } else if (!digits()) {
      return refuse("bad number");
    }
    if (at('.')) {
      ++i_;
      if (!digits()) {
        return refuse("bad fraction");
      }
    }
    if (at('e') || at('E')) {
      ++i_;
      if (at('+') || at('-')) {
        ++i_;
      }
      if (!digits()) {
        return refuse("bad exponent");
      }
    }
    return true;
  }

  bool hex4(unsigned& out) {
    if (s_.size() - i_ < 4) {
      return refuse("short \\u");
    }
    out = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      out <<= 4;
      if (c >= '0' && c <= '9') {
        out |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        out |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        out |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return refuse("bad \\u digit");
      }
    }
    return true;
  }

  static void append_utf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // Decodes the string at i_ into `out` (its bytes, escapes resolved).
  bool string(std::string& out) {
    ++i_;  // opening quotation mark
    std::size_t run = i_;
    const auto flush_raw = [&]() -> bool {
      const auto raw = s_.substr(run, i_ - run);
      if (!fuzz::decode_utf8(raw)) {
        return refuse("string is not UTF-8");
      }
      out.append(raw);
      return true;
    };
    while (true) {
      if (i_ >= s_.size()) {
        return refuse("unterminated string");
      }
      const auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        if (!flush_raw()) {
          return false;
        }
        ++i_;
        return true;
      }
      if (c < 0x20) {
        return refuse("raw control character in string");
      }
      if (c != '\\') {
        ++i_;
        continue;
      }
      if (!flush_raw()) {
        return false;
      }
      ++i_;
      if (i_ >= s_.size()) {
        return refuse("unterminated escape");
      }
      const char e = s_[i_++];
      char32_t cp = 0;
      switch (e) {
        case '"': cp = '"'; break;
        case '\\': cp = '\\'; break;
        case '/': cp = '/'; break;
        case 'b': cp = 0x08; break;
        case 'f': cp = 0x0C; break;
        case 'n': cp = 0x0A; break;
        case 'r': cp = 0x0D; break;
        case 't': cp = 0x09; break;
        case 'u': {
          const auto escape_at = i_ - 2;
          unsigned high = 0;
          if (!hex4(high)) {
            return false;
          }
          if (high >= 0xDC00 && high <= 0xDFFF) {
            return refuse("lone low surrogate");
          }
          if (high >= 0xD800 && high <= 0xDBFF) {
            unsigned low = 0;
            if (!at('\\') || s_.substr(i_ + 1, 1) != "u") {
              return refuse("high surrogate without its pair");
            }
            i_ += 2;
            if (!hex4(low)) {
              return false;
            }
            if (low < 0xDC00 || low > 0xDFFF) {
              return refuse("high surrogate without its pair");
            }
            cp = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
          } else {
            cp = high;
          }
          // The writer uses \u only for controls without a short form, as
          // \u00 and two lower-case hexadecimal digits.
          if (written_) {
            static constexpr char hex[] = "0123456789abcdef";
            const std::string expected{'\\', 'u', '0', '0', hex[(cp >> 4) & 0xF], hex[cp & 0xF]};
            const bool short_form = cp == 0x08 || cp == 0x09 || cp == 0x0A || cp == 0x0C || cp == 0x0D;
            if (cp >= 0x20 || short_form || s_.substr(escape_at, 6) != expected) {
              return refuse("\\u escape the writer must not use");
            }
          }
          break;
        }
        default:
          return refuse("bad escape");
      }
      if (written_ && e == '/') {
        return refuse("escaped solidus in written text");
      }
      append_utf8(cp, out);
      run = i_;
    }
  }

  bool array(int depth) {
    if (depth > max_depth) {
      return refuse("too deep");
    }
    ++i_;
    skip_space();
    if (at(']')) {
      ++i_;
      return true;
    }
    while (true) {
      skip_space();
      if (!value(depth)) {
        return false;
      }
      skip_space();
      if (at(']')) {
        ++i_;
        return true;
      }
      if (!at(',')) {
        return refuse("',' or ']' expected");
      }
      ++i_;
    }
  }

  bool object(int depth) {
    if (depth > max_depth) {
      return refuse("too deep");
    }
    ++i_;
    skip_space();
    if (at('}')) {
      ++i_;
      return true;
    }
    std::string previous;
    bool first = true;
    while (true) {
      skip_space();
      if (!at('"')) {
        return refuse("key expected");
      }
      std::string key;
      if (!string(key)) {
        return false;
      }
      if (written_ && !first && !(previous < key)) {
        return refuse("keys not in ascending byte order");
      }
      first = false;
      previous = std::move(key);
      skip_space();
      if (!at(':')) {
        return refuse("':' expected");
      }
      ++i_;
      skip_space();
      if (!value(depth)) {
        return false;
      }
      skip_space();
      if (at('}')) {
        ++i_;
        return true;
      }
      if (!at(',')) {
        return refuse("',' or '}' expected");
      }
      ++i_;
    }
  }

  std::string_view s_;
  bool written_;
  std::size_t i_ = 0;
  std::string why_;
  bool out_of_range_ = false;
};

const std::string range_text = "Frame must be 1\u201365536 bytes.";
const std::string eof_text = "early eof";
const std::string json_text = "Invalid JSON frame.";

using ReadResult = kelvarin::Result<std::optional<json::value>>;

std::string describe(const ReadResult& r) {
  if (!r) {
    return "error: " + r.error().text();
  }
  return *r ? "value: " + kelvarin::to_json_text(**r) : std::string("no message");
}

void check_error(const ReadResult& got, ErrorKind kind, const std::string& text, const char* what) {
  fuzz::check(!got && got.error().kind == kind && got.error().text() == text, what, describe(got));
}

// The host's writer and parser must give the value back unchanged.
void check_round_trip(const json::value& v) {
  const std::string text = kelvarin::to_json_text(v);
  Grammar written(text, true);
  fuzz::check(written.accepts(), "written text is compact JSON with sorted keys",
              written.why() + ": " + fuzz::shown(text));
  auto again = kelvarin::parse_json(text);
  fuzz::check(again.has_value(), "written text parses again", fuzz::shown(text));
  fuzz::check(*again == v, "written text parses to an equal value", fuzz::shown(text));
  fuzz::check(kelvarin::to_json_text(*again) == text, "writing is stable", fuzz::shown(text));
}

asio::io_context& context() {
  static asio::io_context ctx;
  return ctx;
}

std::uint32_t little_endian(std::string_view s, std::size_t at) {
  std::uint32_t n = 0;
  for (int k = 3; k >= 0; --k) {
    n = (n << 8) | static_cast<unsigned char>(s[at + k]);
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t header = 6;
  if (size < header) {
    return 0;
  }
  const std::uint8_t flags = data[0];
  const bool short_reads = (flags & 1) != 0;
  const bool read_on = (flags & 2) != 0;
  std::string bytes(reinterpret_cast<const char*>(data) + header, size - header);
  if ((flags & 4) != 0) {
    const std::size_t pad = data[2] | (std::size_t{data[3]} << 8);
    const std::size_t where = bytes.size() * data[5] / 255;
    bytes.insert(where, pad, static_cast<char>(data[4]));
  }

  auto& ctx = context();
  ctx.restart();
  ByteStream stream(ctx.get_executor(), bytes, short_reads, data[1]);

  asio::co_spawn(
      ctx,
      [&]() -> asio::awaitable<void> {
        // Enough frames for any sequence of outcomes; a stream of thousands of
        // refused prefixes would only make each run slow.
        for (int frames = 0; frames < 64; ++frames) {
          const std::size_t start = stream.offset();
          const std::size_t left = bytes.size() - start;
          const ReadResult got = co_await kelvarin::read_frame(stream);

          if (left == 0) {
            fuzz::check(got && !*got, "a clean end at a frame boundary is no message", describe(got));
            co_return;
          }
          if (left < kelvarin::frame_prefix_bytes) {
            check_error(got, ErrorKind::UnexpectedEof, eof_text, "a cut prefix is early eof");
            fuzz::check(stream.offset() == bytes.size(), "a cut prefix consumes the rest");
            co_return;
          }
          const std::uint32_t length = little_endian(bytes, start);
          if (length == 0 || length > kelvarin::max_frame_body) {
            check_error(got, ErrorKind::InvalidData, range_text, "a length out of range is refused");
            fuzz::check(stream.offset() == start + kelvarin::frame_prefix_bytes,
                        "a refused length consumes nothing after the prefix");
            if (!read_on) {
              co_return;
            }
            continue;
          }
          if (left - kelvarin::frame_prefix_bytes < length) {
            check_error(got, ErrorKind::UnexpectedEof, eof_text, "a cut body is early eof");
            fuzz::check(stream.offset() == bytes.size(), "a cut body consumes the rest");
            co_return;
          }
          fuzz::check(stream.offset() == start + kelvarin::frame_prefix_bytes + length,
                      "the reader stops exactly at the end of its frame");
          const std::string_view body = std::string_view(bytes).substr(start + kelvarin::frame_prefix_bytes, length);
          Grammar grammar(body, false);
          if (!grammar.accepts()) {
            check_error(got, ErrorKind::InvalidData, json_text, "a body that is not one JSON text is refused");
            if (!read_on) {
              co_return;
            }
            continue;
          }
          if (grammar.out_of_range() && !got) {
            check_error(got, ErrorKind::InvalidData, json_text, "a number out of range is refused as bad JSON");
            if (!read_on) {
              co_return;
            }
            continue;
          }
          fuzz::check(got && *got, "a body that is one JSON text is accepted",
                      describe(got) + " for body " + fuzz::shown(body));
          check_round_trip(**got);
        }
      },
      [](std::exception_ptr e) {
        if (e) {
          std::rethrow_exception(e);
        }
      });
  ctx.run();
  return 0;
}
