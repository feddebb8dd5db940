#pragma once

// Blocking helpers for programs that play the host's peers: the extension on
// the host's pipes and desktop clients on loopback TCP. Used by the demo and
// the tests; the host itself never blocks like this.

#include "core/json.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace kelvarin::peer {

using std::chrono::milliseconds;

enum class ReadStatus { frame, eof, timeout, error };

struct FrameRead {
  ReadStatus status = ReadStatus::error;
  std::string body;  // the frame's JSON text when status is frame
  [[nodiscard]] json::value json() const;  // parsed body; null when not a frame
};

// Writes every byte; false on any error.
bool write_all(int fd, std::string_view bytes);
// Writes the 4-byte little-endian length and the body in one write.
bool write_frame(int fd, std::string_view body);
// Writes `value` as compact sorted JSON in one frame.
bool write_json(int fd, const json::value& value);
// The raw bytes of a frame: prefix and body.
[[nodiscard]] std::string frame_bytes(std::string_view body);

// Reads one whole frame within `timeout`. A stream that ends before the first
// byte is eof; one that ends inside a frame is error.
[[nodiscard]] FrameRead read_frame(int fd, milliseconds timeout);

enum class CloseStatus { closed, data, timeout };
// Waits for the peer to close without sending a byte.
[[nodiscard]] CloseStatus wait_closed(int fd, milliseconds timeout);

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// One running host's discovery file.
struct Discovery {
  std::string path;
  std::string text;
  json::value document;
  std::uint16_t port = 0;
  std::string secret;
};

[[nodiscard]] std::string discovery_dir_under(const std::string& home);
// Every discovery file under HOME, in no particular order.
[[nodiscard]] std::vector<Discovery> read_discovery(const std::string& home);

// The host started as a browser starts it: arguments, an environment of its
// own, and pipes for standard input, output and error.
class HostProcess {
 public:
  struct Options {
    std::string binary;
    std::vector<std::string> args;  // after the program name
    std::map<std::string, std::string> env;  // the whole environment
  };
  explicit HostProcess(const Options& options);
  ~HostProcess();  // kills and reaps a host still running
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  [[nodiscard]] int in() const { return in_; }    // the host's standard input
  [[nodiscard]] int out() const { return out_; }  // the host's standard output
  [[nodiscard]] pid_t pid() const { return pid_; }

  void close_in();
  void close_out();

  // The exit status, or nothing if it did not exit in time (-1 if killed by a signal).
  [[nodiscard]] std::optional<int> wait_exit(milliseconds timeout);
  // Everything the host wrote to standard error so far (after exit: all of it).
  [[nodiscard]] std::string err();

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string err_text_;
  std::optional<int> status_;
};

// A blocking loopback client connection.
class ClientSocket {
 public:
  explicit ClientSocket(std::uint16_t port);
  ~ClientSocket();
  ClientSocket(ClientSocket&& other) noexcept;
  ClientSocket& operator=(ClientSocket&&) = delete;

  [[nodiscard]] bool connected() const { return fd_ >= 0; }
  [[nodiscard]] int fd() const { return fd_; }
  bool send(const json::value& value) { return write_json(fd_, value); }
  bool send_raw(std::string_view bytes) { return write_all(fd_, bytes); }
  [[nodiscard]] FrameRead read(milliseconds timeout) { return read_frame(fd_, timeout); }
  void shutdown_send();
  void close();

 private:
  int fd_ = -1;
};

}  // namespace kelvarin::peer
