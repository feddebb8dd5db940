#include "host/readers.hpp"

#include "core/frame.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>

namespace kelvarin {

namespace {

asio::awaitable<bool> aborted() {
  auto state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

// Turns frames into events, one at a time: the next frame is not read before
// the previous event is in the queue.
template <class Stream, class OnFrame, class OnEnd>
asio::awaitable<void> pump(Stream& stream, EventQueue& queue, OnFrame on_frame, OnEnd on_end) {
  constexpr auto token = asio::as_tuple(asio::use_awaitable);
  for (;;) {
    auto frame = co_await read_frame(stream);
    // Stated here rather than left to the next wait, which would fail too:
    // an aborted reader sends nothing, not even its closed event.
    if (co_await aborted()) {
      co_return;
    }
    if (!frame || !*frame) {
      std::optional<Error> error;
      if (!frame) {
        error = std::move(frame.error());
      }
      co_await queue.async_send({}, on_end(std::move(error)), token);
      co_return;
    }
    auto [ec] = co_await queue.async_send({}, on_frame(std::move(**frame)), token);
    if (ec) {
      co_return;
    }
  }
}

template <class Body>
ReaderTask spawn_reader(const asio::any_io_executor& executor, Body body) {
  auto signal = std::make_shared<asio::cancellation_signal>();
  // The completion handler keeps the signal alive for as long as the task runs.
  asio::co_spawn(executor, std::move(body),
                 asio::bind_cancellation_slot(signal->slot(), [signal](std::exception_ptr) {}));
  return ReaderTask(std::move(signal));
}

}  // namespace

void ReaderTask::abort() {
  if (signal_) {
    signal_->emit(asio::cancellation_type::terminal);
    signal_.reset();
  }
}

ReaderTask start_native_reader(std::unique_ptr<StdioStream> input, EventQueue& queue) {
  auto executor = input->get_executor();
  return spawn_reader(executor, [input = std::move(input), &queue]() -> asio::awaitable<void> {
    co_await pump(
        *input, queue, [](json::value message) -> Event { return Native{std::move(message)}; },
        [](std::optional<Error> error) -> Event { return NativeClosed{std::move(error)}; });
  });
}

ReaderTask start_connection_reader(std::shared_ptr<asio::ip::tcp::socket> socket, EventQueue& queue,
                                   ConnectionId id) {
  auto executor = socket->get_executor();
  return spawn_reader(executor, [socket = std::move(socket), &queue, id]() -> asio::awaitable<void> {
    co_await pump(
        *socket, queue, [id](json::value message) -> Event { return Client{id, std::move(message)}; },
        [id](std::optional<Error>) -> Event { return ClientClosed{id}; });
  });
}

}  // namespace kelvarin
