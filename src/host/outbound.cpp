#include "host/outbound.hpp"

#include "core/frame.hpp"

#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>

namespace kelvarin {

namespace {

struct Written {
  Status status;
  std::size_t bytes = 0;
};

// What the stream takes at once, without waiting.
std::size_t write_now(asio::ip::tcp::socket& socket, asio::const_buffer bytes, boost::system::error_code& ec) {
  if (!socket.non_blocking()) {
    socket.non_blocking(true, ec);
    if (ec) {
      return 0;
    }
  }
  return socket.write_some(bytes, ec);
}

std::size_t write_now(StdioStream& stream, asio::const_buffer bytes, boost::system::error_code& ec) {
  return stream.write_now(bytes, ec);
}

// A write raced against its deadline. Most frames fit the socket or pipe
// buffer and are written at once, with no timer armed; the rest waits for
// room. Losing the write to the timer is harmless here: its partial count is
// still reported.
template <class Stream>
asio::awaitable<Written> write_within(Stream& stream, const std::string& frame, Clock::duration limit) {
  boost::system::error_code ec;
  const std::size_t done = write_now(stream, asio::buffer(frame), ec);
  if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
    co_return Written{std::unexpected(system_error(ec)), done};
  }
  if (done == frame.size()) {
    co_return Written{Status{}, done};
  }
  asio::steady_timer timer(stream.get_executor(), limit);
  auto [order, write_ec, written, timer_ec] =
      co_await asio::experimental::make_parallel_group(
          asio::async_write(stream, asio::buffer(frame) + done, asio::deferred), timer.async_wait(asio::deferred))
          .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  written += done;
  if (order[0] != 0) {
    co_return Written{std::unexpected(error_of(ErrorKind::TimedOut)), written};
  }
  if (write_ec) {
    co_return Written{std::unexpected(system_error(write_ec)), written};
  }
  co_return Written{Status{}, written};
}

}  // namespace

asio::awaitable<Status> send_native(StdioStream& out, const json::value& message, Clock::duration limit) {
  auto frame = encode_frame(message);
  if (!frame) {
    co_return std::unexpected(std::move(frame.error()));
  }
  auto written = co_await write_within(out, *frame, limit);
  co_return std::move(written.status);
}

asio::awaitable<void> reply(Connections& connections, ConnectionId id, const json::value& message,
                            Clock::duration limit) {
  const auto found = connections.find(id);
  if (found == connections.end() || found->second.broken) {
    co_return;
  }
  auto frame = encode_frame(message);
  if (!frame) {
    co_return;  // too long: nothing was written, the stream is intact
  }
  auto written = co_await write_within(found->second.writer(), *frame, limit);
  if (!written.status && written.bytes > 0) {
    // Looked up again: no iterator is kept across a suspension.
    if (const auto again = connections.find(id); again != connections.end()) {
      again->second.broken = true;
    }
  }
}

}  // namespace kelvarin
