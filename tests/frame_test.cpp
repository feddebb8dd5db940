#include "core/frame.hpp"

#include "host/stdio_stream.hpp"

#include "testing/peer.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvarin {
namespace {

using ReadResult = Result<std::optional<json::value>>;

std::string le(std::uint32_t n) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) {
    s[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  return s;
}

std::string frame(std::string_view body) { return le(static_cast<std::uint32_t>(body.size())) + std::string(body); }

// Runs `body` on the host's own stream over `fd` (taken over), until both
// are done.
template <class Body>
void on_stream(int fd, Body body) {
  asio::io_context ctx;
  StdioStream stream(ctx.get_executor(), fd);
  asio::co_spawn(ctx, body(stream), asio::detached);
  ctx.run();
}

// Feeds `bytes` through a real pipe and reads frames until the stream ends or
// a read fails.
std::vector<ReadResult> read_all(const std::string& bytes, std::size_t max_reads = 16) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::thread writer([fd = fds[1], &bytes] {
    peer::write_all(fd, bytes);
    ::close(fd);
  });
  std::vector<ReadResult> results;
  on_stream(fds[0], [&](StdioStream& stream) -> asio::awaitable<void> {
    while (results.size() < max_reads) {
      results.push_back(co_await read_frame(stream));
      if (!results.back() || !*results.back()) {
        break;
      }
    }
  });
  writer.join();
  return results;
}

// Writes `value` with write_frame into a pipe and returns what came out.
std::pair<Status, std::string> write_one(const json::value& value) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::string out;
  std::thread reader([fd = fds[0], &out] {
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
  });
  Status status;
  on_stream(fds[1], [&](StdioStream& stream) -> asio::awaitable<void> {
    status = co_await write_frame(stream, value);
  });  // closes the write end, which ends the reader
  reader.join();
  return {status, out};
}

std::string error_text(const ReadResult& r) { return r ? std::string("<no error>") : r.error().text(); }

TEST(ReadFrame, EmptyInputIsNoMessage) {
  auto results = read_all("");
  ASSERT_EQ(results.size(), 1u);
  ASSERT_TRUE(results[0].has_value());
  EXPECT_FALSE(results[0]->has_value());
}

TEST(ReadFrame, SeveralFramesBackToBackThenCleanEnd) {
  auto results = read_all(frame(R"({"a":1})") + frame("[true]") + frame(R"("x")"));
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(**results[0], (json::object{{"a", 1}}));
  EXPECT_EQ(**results[1], json::array{true});
  EXPECT_EQ(**results[2], "x");
  EXPECT_FALSE(results[3]->has_value());
}

struct BadInput {
  const char* name;
  std::string bytes;
  ErrorKind kind;
  std::string text;
};

TEST(ReadFrame, EveryMalformedInputIsOneError) {
  const std::string range = "Frame must be 1\u201365536 bytes.";
  const std::string bad_json = "Invalid JSON frame.";
  const std::vector<BadInput> cases = {
      {"two prefix bytes then end", std::string("\x05\x00", 2), ErrorKind::UnexpectedEof, "early eof"},
      {"body cut short", le(10) + "{\"a\":", ErrorKind::UnexpectedEof, "early eof"},
      {"length zero", le(0), ErrorKind::InvalidData, range},
      {"length 65537", le(65537) + std::string(100, ' '), ErrorKind::InvalidData, range},
      {"big-endian length", std::string("\x00\x00\x00\x05", 4) + "{}   ", ErrorKind::InvalidData, range},
      {"trailing garbage", frame("{} x"), ErrorKind::InvalidData, bad_json},
      {"two objects", frame("{}{}"), ErrorKind::InvalidData, bad_json},
      {"only spaces", frame("   "), ErrorKind::InvalidData, bad_json},
      {"byte-order mark", frame("\xEF\xBB\xBF{}"), ErrorKind::InvalidData, bad_json},
      {"invalid UTF-8", frame("\"\xFF\""), ErrorKind::InvalidData, bad_json},
      {"128 nested arrays", frame(std::string(128, '[') + std::string(128, ']')), ErrorKind::InvalidData, bad_json},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto results = read_all(c.bytes);
    ASSERT_EQ(results.size(), 1u);
    ASSERT_FALSE(results[0].has_value());
    EXPECT_EQ(results[0].error().kind, c.kind);
    EXPECT_EQ(error_text(results[0]), c.text);
  }
}

TEST(ReadFrame, AcceptedBodies) {
  std::string full = "\"" + std::string(65534, 'a') + "\"";
  std::string padded = "\"x\"" + std::string(65533, ' ');
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"65536 bytes of one string", full},
      {"a string padded with spaces to 65536", padded},
      {"whitespace around the value", "  {\"a\":1}\n"},
      {"127 nested arrays", std::string(127, '[') + std::string(127, ']')},
  };
  for (const auto& [name, body] : cases) {
    SCOPED_TRACE(name);
    auto results = read_all(frame(body));
    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(results[0].has_value() && results[0]->has_value()) << error_text(results[0]);
  }
}

TEST(ReadFrame, BadLengthConsumesNothingAfterThePrefix) {
  // The frame after a refused prefix is still read whole: the body was never touched.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  peer::write_all(fds[1], le(0) + frame(R"({"next":true})"));
  ::close(fds[1]);
  std::vector<ReadResult> results;
  on_stream(fds[0], [&](StdioStream& stream) -> asio::awaitable<void> {
    results.push_back(co_await read_frame(stream));
    results.push_back(co_await read_frame(stream));
  });
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[0].has_value());
  ASSERT_TRUE(results[1].has_value() && results[1]->has_value());
  EXPECT_EQ(**results[1], (json::object{{"next", true}}));
}

TEST(ReadFrame, RepeatedKeyKeepsTheLastValue) {
  auto results = read_all(frame(R"({"a":1,"a":2})"));
  ASSERT_TRUE(results[0].has_value());
  EXPECT_EQ(to_json_text(**results[0]), R"({"a":2})");
}

TEST(WriteFrame, SortedCompactBytes) {
  auto [status, out] = write_one(json::object{{"version", 1}, {"id", "q"}, {"result", json::object{{"b", 1}, {"a", 2}}}});
  ASSERT_TRUE(status);
  EXPECT_EQ(out, frame(R"({"id":"q","result":{"a":2,"b":1},"version":1})"));
}

TEST(WriteFrame, LengthBoundary) {
  // A string of n bytes serialises to n + 2 with its quotation marks.
  auto [ok, bytes] = write_one(json::string(65534, 'x'));
  ASSERT_TRUE(ok);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x00\x00\x01\x00", 4));
  EXPECT_EQ(bytes.size(), 4u + 65536u);

  auto [refused, nothing] = write_one(json::string(65535, 'x'));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "Frame exceeds 65536 bytes.");
  EXPECT_EQ(nothing, "");
}

TEST(WriteFrame, ToAClosedPipeIsAnError) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);
  std::signal(SIGPIPE, SIG_IGN);
  const json::value empty = json::object{};
  Status status;
  on_stream(fds[1], [&](StdioStream& stream) -> asio::awaitable<void> {
    status = co_await write_frame(stream, empty);
  });
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().text(), "Broken pipe (os error 32)");
}

struct Text {
  const char* name;
  json::value value;
  std::string expected;
};

TEST(JsonText, MinimalEscapesAndNumbers) {
  const std::vector<Text> cases = {
      {"quotation mark and backslash", "a\"b\\c", R"("a\"b\\c")"},
      {"short escapes", "\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"vertical tab and other controls", json::string("\x0b\x01\x1f\x00", 4), R"("\u000b\u0001\u001f\u0000")"},
      {"solidus and non-ASCII stay raw", "a/b\u00e9\u2013", "\"a/b\u00e9\u2013\""},
      {"DEL stays raw", "\x7f", "\"\x7f\""},
      {"escapes far into a long text", json::string(std::string(13, 'a') + "\"" + std::string(17, 'b') + "\x01" + std::string(9, 'c') + "\\"),
       "\"" + std::string(13, 'a') + "\\\"" + std::string(17, 'b') + "\\u0001" + std::string(9, 'c') + "\\\\\""},
      {"integers", json::array{0, -1, 9223372036854775807LL, 18446744073709551615ULL}, "[0,-1,9223372036854775807,18446744073709551615]"},
      {"float keeps its form", json::array{1.0, 0.5}, "[1E0,5E-1]"},
      {"nested objects sorted at every level", json::object{{"z", json::object{{"y", 1}, {"x", 2}}}, {"B", nullptr}, {"a", json::array{json::object{{"d", 1}, {"c", 2}}}}},
       R"({"B":null,"a":[{"c":2,"d":1}],"z":{"x":2,"y":1}})"},
      {"keys in byte order, non-ASCII last", json::object{{"\u00e9", 1}, {"z", 2}, {"A", 3}}, "{\"A\":3,\"z\":2,\"\u00e9\":1}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_json_text(c.value), c.expected);
  }
}


// Standard streams that are not pipes (a terminal, a file, a socket) go
// through the blocking-I/O thread; the codec must not notice the difference.
TEST(StdioStreamThread, ReadsAndWritesFramesOverASocketPair) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const int peer_end = fds[1];
  peer::write_all(peer_end, frame(R"({"a":1})") + frame("[2]"));
  std::vector<ReadResult> results;
  Status written;
  bool direct = true;
  const json::value reply = json::object{{"b", 2}};  // built outside the coroutine: GCC 12 cannot keep an initializer list in its frame
  on_stream(fds[0], [&](StdioStream& stream) -> asio::awaitable<void> {
    direct = stream.direct();
    results.push_back(co_await read_frame(stream));
    results.push_back(co_await read_frame(stream));
    written = co_await write_frame(stream, reply);
  });
  EXPECT_FALSE(direct);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(**results[0], (json::object{{"a", 1}}));
  EXPECT_EQ(**results[1], json::array{2});
  EXPECT_TRUE(written);
  auto echoed = peer::read_frame(peer_end, std::chrono::seconds(1));
  EXPECT_EQ(echoed.body, R"({"b":2})");
  ::close(peer_end);
}

TEST(StdioStreamThread, ACancelledReadCompletesAtOnce) {
  using namespace asio::experimental::awaitable_operators;
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const int peer_end = fds[1];
  std::optional<std::size_t> winner;
  const auto start = std::chrono::steady_clock::now();
  // Returns although the thread is still blocked in read().
  on_stream(fds[0], [&](StdioStream& stream) -> asio::awaitable<void> {
    asio::steady_timer timer(stream.get_executor(), std::chrono::milliseconds(50));
    auto first = co_await (read_frame(stream) || timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    winner = first.index();
  });
  EXPECT_EQ(winner, 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ::close(peer_end);  // lets the thread's read return, so it can end
}

TEST(StdioStreamDirect, APipeIsDrivenByTheLoop) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int before = ::fcntl(fds[0], F_GETFL);
  asio::io_context ctx;
  {
    StdioStream stream(ctx.get_executor(), ::dup(fds[0]));
    EXPECT_TRUE(stream.direct());
    // The descriptor the stream was given shares its description with fds[0]:
    // its flags stay as they were.
    EXPECT_EQ(::fcntl(fds[0], F_GETFL), before);
  }
  ::close(fds[0]);
  ::close(fds[1]);
}


// Numbers with a fraction or an exponent are read as the nearest double, and
// one beyond a double's range is refused rather than passed on as text that
// is not JSON.
TEST(JsonNumbers, ReadExactlyAndWrittenBackAsJson) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[1.7976931348623158e308]", "[1.7976931348623157E308]"},
      {"[0e99999]", "[0E0]"},
      {"[1e-400]", "[0E0]"},
      {"[-9223372530654775808]", "[-9.223372530654775E18]"},
      {"[7.777777777777777E54]", "[7.777777777777777E54]"},
      {"[0.1,2.5e-3,-0.0]", "[1E-1,2.5E-3,-0E0]"},
  };
  for (const auto& [text, written] : cases) {
    SCOPED_TRACE(text);
    auto value = parse_json(text);
    ASSERT_TRUE(value);
    EXPECT_EQ(to_json_text(*value), written);
    auto again = parse_json(written);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *value);
  }
  for (const char* text : {"1e400", "[-1e309]", "{\"a\":1.8e308}"}) {
    SCOPED_TRACE(text);
    ASSERT_FALSE(parse_json(text));
    EXPECT_EQ(parse_json(text).error().text(), "Invalid JSON frame.");
  }
}

}  // namespace
}  // namespace kelvarin
