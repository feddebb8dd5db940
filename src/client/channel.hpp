#pragma once

// The connection under a Session: one loopback socket, the bytes received
// past the last whole frame, and the lock that keeps one call at a time.

#include "kelvarin/client.hpp"

#include <mutex>
#include <string>

namespace kelvarin::client {

struct Session::Channel {
  Channel(int fd, std::string secret);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // One request and its reply, under the lock.
  Result<boost::json::value> call(std::string_view method, boost::json::object params, milliseconds timeout);
  bool is_open();
  void close();

 private:
  Result<void> send_all(const std::string& bytes, Clock::time_point deadline);
  Result<boost::json::value> receive(Clock::time_point deadline);
  void close_locked();

  std::mutex mutex_;
  int fd_ = -1;
  std::string secret_;
  std::string inbox_;
  std::string id_prefix_;
  std::uint64_t calls_ = 0;
};

// Errors this library makes.
[[nodiscard]] Error make_error(ErrorKind kind, std::string message, int os_error = 0);
[[nodiscard]] Error from_errno(std::string what, int errno_value);

// Connects to 127.0.0.1:`port` within `timeout`; the socket is non-blocking
// and close-on-exec.
[[nodiscard]] Result<int> connect_loopback(std::uint16_t port, milliseconds timeout);

}  // namespace kelvarin::client
