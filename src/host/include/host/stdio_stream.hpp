#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

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

// A byte stream over standard input or output that never blocks the event
// loop and never changes the file status flags of the inherited descriptor,
// which other processes (a shell, the browser) may share.
//
// A pipe is opened a second time through /proc, which gives this process a
// file description of its own: that one is made non-blocking and driven by
// the loop directly. Anything else (a terminal, a file, a socket) is read and
// written by a thread of its own. On that path an operation can be
// cancelled: it then completes at once with operation_aborted and whatever
// the thread later reads or writes is dropped, as with any abandoned
// operation.
class StdioStream {
 public:
  using executor_type = asio::any_io_executor;

  // Takes ownership of `fd`; it is closed by the thread once it is idle.
  StdioStream(executor_type executor, int fd);
  ~StdioStream();
  StdioStream(const StdioStream&) = delete;
  StdioStream& operator=(const StdioStream&) = delete;

  executor_type get_executor() const { return executor_; }

  // True when the loop drives the descriptor itself, without a thread.
  [[nodiscard]] bool direct() const { return pipe_.has_value(); }

  // Writes what the pipe takes without waiting; would_block when it takes
  // nothing or when only the thread may write.
  std::size_t write_now(asio::const_buffer bytes, boost::system::error_code& ec);

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return start<true, MutableBuffers>(buffers, std::forward<Token>(token));
  }

  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return start<false, ConstBuffers>(buffers, std::forward<Token>(token));
  }

 private:
  template <bool reading, class Buffers, class Token>
  auto start(const Buffers& buffers, Token&& token) {
    return asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const Buffers& bufs) {
          if (pipe_) {
            if constexpr (reading) {
              pipe_->async_read_some(bufs, std::move(handler));
            } else {
              pipe_->async_write_some(bufs, std::move(handler));
            }
            return;
          }
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
  std::optional<asio::posix::stream_descriptor> pipe_;
  std::shared_ptr<detail::StdioWorker> worker_;
};

}  // namespace kelvarin
