#include "host/stdio_stream.hpp"

#include <boost/asio/error.hpp>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin {

namespace detail {

// The thread behind one StdioStream. It outlives the stream while a system
// call is still blocked in it; completions are posted to the loop only while
// the stream exists, so a loop that has gone away is never touched.
class StdioWorker {
 public:
  StdioWorker(asio::any_io_executor executor, int fd) : executor_(std::move(executor)), fd_(fd) {}

  void start(std::shared_ptr<StdioWorker> self) {
    std::thread([self = std::move(self)] { self->run(); }).detach();
  }

  void push(std::function<void(StdioWorker&)> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
  }

  // Posts `f` to the loop unless the stream has been destroyed.
  template <class F>
  void deliver(F&& f) {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      asio::post(executor_, std::forward<F>(f));
    }
  }

  int fd() const { return fd_; }

 private:
  void run() {
    for (;;) {
      std::function<void(StdioWorker&)> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
          break;
        }
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job(*this);
    }
    ::close(fd_);
  }

  asio::any_io_executor executor_;
  int fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void(StdioWorker&)>> jobs_;
  bool stopping_ = false;
};

}  // namespace detail

namespace {

void read_once(int fd, detail::StdioOp& op) {
  for (;;) {
    const ssize_t n = ::read(fd, op.storage.get(), op.size);
    if (n >= 0) {
      op.transferred = static_cast<std::size_t>(n);
      return;
    }
    if (errno != EINTR) {
      op.error = errno;
      return;
    }
  }
}

// Writes everything it can; an error after some progress reports the
// progress, and the next write meets the error again.
void write_all(int fd, detail::StdioOp& op) {
  while (op.transferred < op.size) {
    const ssize_t n = ::write(fd, op.storage.get() + op.transferred, op.size - op.transferred);
    if (n > 0) {
      op.transferred += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return;
    } else if (errno != EINTR) {
      if (op.transferred == 0) {
        op.error = errno;
      }
      return;
    }
  }
}

void finish(detail::StdioOp& op, bool reading) {
  if (op.finished) {
    return;  // cancelled earlier; the thread's result is dropped
  }
  op.finished = true;
  if (op.slot.is_connected()) {
    op.slot.clear();
  }
  boost::system::error_code ec;
  if (op.error != 0) {
    ec.assign(op.error, boost::system::system_category());
  } else if (reading && op.transferred == 0) {
    ec = asio::error::eof;
  } else if (reading) {
    std::memcpy(op.target.data(), op.storage.get(), op.transferred);
  }
  auto complete = std::move(op.complete);
  complete(ec, ec ? 0 : op.transferred);
}

}  // namespace

namespace {

// A private, non-blocking file description of the pipe behind `fd`, or -1.
int reopen_pipe(int fd) {
#ifdef __linux__
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    return -1;
  }
  const int access = ::fcntl(fd, F_GETFL) & O_ACCMODE;
  if (access != O_RDONLY && access != O_WRONLY) {
    return -1;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return ::open(path.c_str(), access | O_NONBLOCK | O_CLOEXEC);
#else
  (void)fd;
  return -1;
#endif
}

}  // namespace

StdioStream::StdioStream(executor_type executor, int fd) : executor_(std::move(executor)) {
  if (const int own = reopen_pipe(fd); own >= 0) {
    ::close(fd);
    pipe_.emplace(executor_, own);
    boost::system::error_code ignored;
    pipe_->non_blocking(true, ignored);  // synchronous attempts return would_block, never wait
    return;
  }
  worker_ = std::make_shared<detail::StdioWorker>(executor_, fd);
  worker_->start(worker_);
}

std::size_t StdioStream::write_now(asio::const_buffer bytes, boost::system::error_code& ec) {
  if (!pipe_) {
    ec = asio::error::would_block;
    return 0;
  }
  return pipe_->write_some(bytes, ec);
}

StdioStream::~StdioStream() {
  if (worker_) {
    worker_->stop();
  }
}

void StdioStream::submit(std::shared_ptr<detail::StdioOp> op, bool reading) {
  if (op->size == 0) {
    asio::post(executor_, [op] {
      op->finished = true;
      auto complete = std::move(op->complete);
      complete({}, 0);
    });
    return;
  }
  op->storage = std::make_unique_for_overwrite<char[]>(op->size);
  if (!reading) {
    std::memcpy(op->storage.get(), op->target.data(), op->size);
  }
  if (op->slot.is_connected()) {
    op->slot.assign([op, executor = executor_](asio::cancellation_type) {
      if (op->finished) {
        return;
      }
      op->finished = true;
      asio::post(executor, [op] {
        op->slot.clear();
        auto complete = std::move(op->complete);
        complete(asio::error::operation_aborted, 0);
      });
    });
  }
  worker_->push([op, reading](detail::StdioWorker& worker) {
    if (reading) {
      read_once(worker.fd(), *op);
    } else {
      write_all(worker.fd(), *op);
    }
    worker.deliver([op, reading] { finish(*op, reading); });
  });
}

}  // namespace kelvarin
