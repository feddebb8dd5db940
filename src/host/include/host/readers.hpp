#pragma once

#include "core/error.hpp"
#include "core/json.hpp"
#include "host/stdio_stream.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/experimental/channel.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

namespace kelvarin {

using ConnectionId = std::uint64_t;

// A frame from the extension.
struct Native {
  json::value message;
};

// The extension's input ended. `error` is set when it ended on a malformed
// frame or a read error rather than cleanly at a frame boundary.
struct NativeClosed {
  std::optional<Error> error;
};

// A frame from a client connection.
struct Client {
  ConnectionId id = 0;
  json::value message;
};

// A client connection's input ended, for any reason.
struct ClientClosed {
  ConnectionId id = 0;
};

using Event = std::variant<Native, NativeClosed, Client, ClientClosed>;

// The one meeting point between reader tasks and the serve loop. A full queue
// makes readers wait, which stops them reading their streams.
inline constexpr std::size_t event_queue_capacity = 32;
using EventQueue = asio::experimental::channel<void(boost::system::error_code, Event)>;

// The handle that stops a reader task. An aborted task sends no further event;
// an event it was waiting to append is destroyed. Abort on the event-loop
// thread only: the cancellation reaches the task through its signal, which
// the task may release as soon as it runs again.
class ReaderTask {
 public:
  ReaderTask() = default;
  explicit ReaderTask(std::shared_ptr<asio::cancellation_signal> signal) : signal_(std::move(signal)) {}
  void abort();

 private:
  std::shared_ptr<asio::cancellation_signal> signal_;
};

// Reads the extension's frames until its input ends; owns the stream.
ReaderTask start_native_reader(std::unique_ptr<StdioStream> input, EventQueue& queue);

// Reads one client's frames until its input ends. The socket is shared with
// the connection's writer.
ReaderTask start_connection_reader(std::shared_ptr<asio::ip::tcp::socket> socket, EventQueue& queue,
                                   ConnectionId id);

}  // namespace kelvarin
