#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <functional>
#include <memory>

namespace kelvarin {

namespace asio = boost::asio;

namespace detail {

// One read or write handed to the blocking thread. Fields marked "loop" are
// touched only on the event-loop thread.
struct StdioOp {
  std::unique_ptr<char[]> storage;  // the thread's own copy of the bytes
  std::size_t size = 0;
  std::size_t transferred = 0;  // set by the thread
  int error = 0;                // set by the thread
  bool finished = false;                                                     // loop
  asio::mutable_buffer target;                                               // loop: where a read lands
  asio::cancellation_slot slot;                                              // loop
  std::move_only_function<void(boost::system::error_code, std::size_t)> complete;  // loop
};

class StdioWorker;

}  // namespace detail

// A byte stream over a blocking descriptor (standard input or output) whose
// reads and writes run on a thread of their own, so the event loop never
// blocks and the descriptor's file status flags, which other processes may
// share, are never changed. An operation can be cancelled: it then completes
// at once with operation_aborted and whatever the thread later reads or
// writes is dropped, as with any abandoned operation.
class StdioStream {
 public:
  using executor_type = asio::any_io_executor;

  // Takes ownership of `fd`; it is closed by the thread once it is idle.
  StdioStream(executor_type executor, int fd);
  ~StdioStream();
  StdioStream(const StdioStream&) = delete;
  StdioStream& operator=(const StdioStream&) = delete;

  executor_type get_executor() const { return executor_; }

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return start<MutableBuffers>(buffers, true, std::forward<Token>(token));
  }

  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return start<ConstBuffers>(buffers, false, std::forward<Token>(token));
  }

 private:
  template <class Buffers, class Token>
  auto start(const Buffers& buffers, bool reading, Token&& token) {
    return asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this, reading](auto handler, const Buffers& bufs) {
          auto op = std::make_shared<detail::StdioOp>();
          const auto first = *asio::buffer_sequence_begin(bufs);
          op->size = first.size();
          op->target = asio::mutable_buffer(const_cast<void*>(static_cast<const void*>(first.data())), first.size());
          op->slot = asio::get_associated_cancellation_slot(handler);
          auto work = asio::make_work_guard(asio::get_associated_executor(handler, executor_));
          op->complete = [h = std::move(handler), w = std::move(work)](boost::system::error_code ec,
                                                                        std::size_t n) mutable {
            w.reset();
            std::move(h)(ec, n);
          };
          submit(std::move(op), reading);
        },
        token, buffers);
  }

  void submit(std::shared_ptr<detail::StdioOp> op, bool reading);

  executor_type executor_;
  std::shared_ptr<detail::StdioWorker> worker_;
};

}  // namespace kelvarin
