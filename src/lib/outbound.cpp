#include "outbound.hpp"

#include "frame.hpp"

#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>

namespace kelvarin {

namespace {

struct Written {
  Status status;
  std::size_t bytes = 0;
};

// A write raced against its deadline. Losing the write to the timer is
// harmless here: its partial count is still reported.
template <class Stream>
asio::awaitable<Written> write_within(Stream& stream, const std::string& frame, Clock::duration limit) {
  asio::steady_timer timer(stream.get_executor(), limit);
  auto [order, write_ec, written, timer_ec] =
      co_await asio::experimental::make_parallel_group(
          asio::async_write(stream, asio::buffer(frame), asio::deferred), timer.async_wait(asio::deferred))
          .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
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
