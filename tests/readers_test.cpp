// Reader tasks on a real queue nobody receives from unless the test says so:
// the extension's reader and a client's reader over loopback TCP, run side
// by side from the same cases.

#include "host/readers.hpp"

#include "testing/peer.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvarin {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

// The extension's reader on a pipe (read by the loop itself) and on a socket
// (read by the stream's blocking thread), and a client's reader.
enum class Side { extension_pipe, extension_thread, client };

void PrintTo(Side side, std::ostream* os) {
  *os << (side == Side::extension_pipe     ? "the extension's reader on a pipe"
          : side == Side::extension_thread ? "the extension's reader on a socket, read by a thread"
                                           : "a client's reader");
}

constexpr ConnectionId client_id = 7;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

std::string describe(const Event& event) {
  return std::visit(
      Overloaded{
          [](const Native& e) { return "frame " + to_json_text(e.message); },
          [](const NativeClosed& e) { return e.error ? "closed: " + e.error->text() : std::string("closed"); },
          [](const Client& e) { return "frame " + to_json_text(e.message) + " on " + std::to_string(e.id); },
          [](const ClientClosed& e) { return "closed on " + std::to_string(e.id); },
      },
      event);
}

// Frames of one size, so a count of unread bytes is a count of frames.
std::string body(int n) { return to_json_text(json::object{{"n", 100 + n}}); }
const std::size_t frame_size = peer::frame_bytes(body(0)).size();

std::string frames(int first, int count) {
  std::string bytes;
  for (int n = first; n < first + count; ++n) {
    bytes += peer::frame_bytes(body(n));
  }
  return bytes;
}

// One reader started on a queue of the host's capacity, fed by the test
// through the other end of its stream.
class ReaderBench {
 public:
  explicit ReaderBench(Side side) : side_(side) {
    if (side != Side::client) {
      int fds[2];
      const int made = side == Side::extension_pipe ? ::pipe2(fds, O_CLOEXEC)
                                                    : ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
      if (made != 0) {
        throw std::runtime_error("no pipe or socket pair");
      }
      // A second read end of our own: the stream may give up its descriptor
      // once the reader stops, and the stream's contents stay countable.
      reader_fd_ = ::fcntl(fds[0], F_DUPFD_CLOEXEC, 0);
      peer_fd_ = fds[1];
      task_ = start_native_reader(std::make_unique<StdioStream>(ctx_.get_executor(), fds[0]), queue_);
    } else {
      tcp::acceptor acceptor(ctx_, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
      client_.emplace(acceptor.local_endpoint().port());
      if (!client_->connected()) {
        throw std::runtime_error("connect failed");
      }
      socket_ = std::make_shared<tcp::socket>(ctx_);
      acceptor.accept(*socket_);
      reader_fd_ = socket_->native_handle();
      peer_fd_ = client_->fd();
      task_ = start_connection_reader(socket_, queue_, client_id);
    }
  }

  ~ReaderBench() {
    abort();
    end();
    ctx_.run_for(20ms);  // lets the aborted reader unwind
    if (side_ != Side::client) {
      ::close(reader_fd_);
    }
  }

  // On the loop's thread, as the host does it. From another thread the
  // cancellation would reach the loop later, through a pointer into the
  // signal that abort() has already released.
  void abort() {
    asio::post(ctx_, [this] { task_.abort(); });
    ctx_.poll();
  }
  EventQueue& queue() { return queue_; }
  void run_for(std::chrono::milliseconds d) { ctx_.run_for(d); }

  void write(const std::string& bytes) { EXPECT_TRUE(peer::write_all(peer_fd_, bytes)); }

  // The clean end of the reader's input: the pipe's write end closed, or the
  // client's sending direction shut.
  void end() {
    if (client_) {
      client_->shutdown_send();
    } else if (peer_fd_ >= 0) {
      ::close(peer_fd_);
      peer_fd_ = -1;
    }
  }

  // Bytes still in the stream, not yet taken by the reader.
  std::size_t unread() const {
    int n = 0;
    EXPECT_EQ(::ioctl(reader_fd_, FIONREAD, &n), 0);
    return static_cast<std::size_t>(n);
  }

  // Runs the loop until the reader has taken no byte for a while.
  void settle() {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    auto last = unread();
    auto still_since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
      ctx_.run_for(5ms);
      const auto now = std::chrono::steady_clock::now();
      if (const auto n = unread(); n != last) {
        last = n;
        still_since = now;
      } else if (now - still_since >= 60ms) {
        return;
      }
    }
  }

  // Every event in the queue now, without letting the reader run.
  std::vector<std::string> take() {
    std::vector<std::string> events;
    while (queue_.try_receive([&](boost::system::error_code, Event event) { events.push_back(describe(event)); })) {
    }
    return events;
  }

  // Receives, letting the reader run, until the closed event, or until
  // nothing has come for a while.
  std::vector<std::string> collect() {
    std::vector<std::string> events;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    auto last_event = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
      ctx_.run_for(5ms);
      const auto now = std::chrono::steady_clock::now();
      auto more = take();
      if (!more.empty()) {
        last_event = now;
      } else if (now - last_event >= 100ms) {
        break;
      }
      events.insert(events.end(), more.begin(), more.end());
      if (!events.empty() && events.back().starts_with("closed")) {
        ctx_.run_for(30ms);  // anything after the closed event would be queued by now
        more = take();
        events.insert(events.end(), more.begin(), more.end());
        break;
      }
    }
    return events;
  }

  std::string frame_event(int n) const {
    return "frame " + body(n) + (side_ == Side::client ? " on " + std::to_string(client_id) : "");
  }

  std::vector<std::string> frame_events(int first, int count) const {
    std::vector<std::string> events;
    for (int n = first; n < first + count; ++n) {
      events.push_back(frame_event(n));
    }
    return events;
  }

  // A client's closed event carries no error; the extension's carries the
  // frame error it ended on, if any.
  std::string closed_event(const std::string& error = "") const {
    if (side_ == Side::client) {
      return "closed on " + std::to_string(client_id);
    }
    return error.empty() ? "closed" : "closed: " + error;
  }


 private:
  Side side_;
  asio::io_context ctx_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{ctx_.get_executor()};
  EventQueue queue_{ctx_, event_queue_capacity};
  std::optional<peer::ClientSocket> client_;
  std::shared_ptr<tcp::socket> socket_;
  ReaderTask task_;
  int reader_fd_ = -1;
  int peer_fd_ = -1;
};

class Readers : public ::testing::TestWithParam<Side> {};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_P(Readers, FullQueueStopsTheReaderBeforeItsNextFrame) {
  ReaderBench bench(GetParam());
  bench.write(frames(0, 40));
  bench.settle();
  // 32 events queued and the 33rd frame read, waiting for room: the other 7
  // frames are still in the stream.
  EXPECT_EQ(bench.unread(), 7 * frame_size);

  // Each freed place lets exactly one more frame in.
  std::vector<std::string> events;
  ASSERT_TRUE(bench.queue().try_receive([&](boost::system::error_code, Event e) { events.push_back(describe(e)); }));
  bench.settle();
  EXPECT_EQ(bench.unread(), 6 * frame_size);

  events = events + bench.collect();
  EXPECT_EQ(events, bench.frame_events(0, 40));
  EXPECT_EQ(bench.unread(), 0u);

  bench.end();
  EXPECT_EQ(bench.collect(), std::vector<std::string>{bench.closed_event()});
}

TEST_P(Readers, FramesThenEndGiveTheirEventsThenOneClosed) {
  ReaderBench bench(GetParam());
  bench.write(frames(0, 3));
  bench.end();
  EXPECT_EQ(bench.collect(), bench.frame_events(0, 3) + std::vector<std::string>{bench.closed_event()});
}

TEST_P(Readers, AbortWhileWaitingForRoomDropsOnlyTheHeldEvent) {
  ReaderBench bench(GetParam());
  bench.write(frames(0, 40));
  bench.settle();
  ASSERT_EQ(bench.unread(), 7 * frame_size);
  bench.abort();
  bench.settle();
  // Nothing read after the abort; the 33rd frame's event is gone, the 32
  // queued before are still delivered, and no closed event follows.
  EXPECT_EQ(bench.unread(), 7 * frame_size);
  bench.end();
  EXPECT_EQ(bench.collect(), bench.frame_events(0, 32));
}

TEST_P(Readers, AbortWhileReadingSendsNoClosedEvent) {
  ReaderBench bench(GetParam());
  bench.write(frames(0, 2));
  bench.settle();
  bench.abort();
  bench.run_for(20ms);
  bench.write(frames(2, 1));
  bench.end();
  EXPECT_EQ(bench.collect(), bench.frame_events(0, 2));
}

struct Malformed {
  const char* name;
  std::string bytes;  // after one good frame; more good frames follow
  std::string error;
};

TEST_P(Readers, MalformedFrameEndsTheStreamAfterTheFramesBeforeIt) {
  const auto prefix = [](std::uint32_t n) { return peer::frame_bytes(std::string(n, ' ')).substr(0, 4); };
  const std::string range = "Frame must be 1\u201365536 bytes.";
  const std::vector<Malformed> cases = {
      {"length 0", prefix(0), range},
      {"length 65537", prefix(65537), range},
      {"bad JSON", peer::frame_bytes("{\"n\":"), "Invalid JSON frame."},
      {"two JSON texts", peer::frame_bytes("{} {}"), "Invalid JSON frame."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderBench bench(GetParam());
    bench.write(frames(0, 1) + c.bytes + frames(1, 2));
    EXPECT_EQ(bench.collect(), bench.frame_events(0, 1) + std::vector<std::string>{bench.closed_event(c.error)});
  }
}

TEST_P(Readers, EndInsideAFrameIsAnEarlyEnd) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"two prefix bytes", std::string("\x05\x00", 2)},
      {"body cut short", peer::frame_bytes(body(1)).substr(0, frame_size - 2)},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    ReaderBench bench(GetParam());
    bench.write(frames(0, 1) + bytes);
    bench.end();
    EXPECT_EQ(bench.collect(), bench.frame_events(0, 1) + std::vector<std::string>{bench.closed_event("early eof")});
  }
}

INSTANTIATE_TEST_SUITE_P(EverySource, Readers,
                         ::testing::Values(Side::extension_pipe, Side::extension_thread, Side::client),
                         [](const auto& info) {
                           return info.param == Side::extension_pipe     ? "ExtensionPipe"
                                  : info.param == Side::extension_thread ? "ExtensionThread"
                                                                         : "Client";
                         });

}  // namespace
}  // namespace kelvarin
