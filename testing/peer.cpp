#include "core/discovery.hpp"
#include "testing/peer.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kelvarin::peer {

namespace {

using Deadline = std::chrono::steady_clock::time_point;

int remaining_ms(Deadline deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for `fd` to be readable before the deadline.
bool wait_readable(int fd, Deadline deadline) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, remaining_ms(deadline));
    if (rc > 0) {
      return true;
    }
    if (rc == 0) {
      return false;
    }
    if (errno != EINTR) {
      return true;  // let the read report the error
    }
  }
}

enum class Got { all, eof_at_start, eof_inside, timeout, error };

Got read_exact(int fd, char* data, std::size_t size, Deadline deadline, bool first) {
  std::size_t have = 0;
  while (have < size) {
    if (!wait_readable(fd, deadline)) {
      return Got::timeout;
    }
    const ssize_t n = ::read(fd, data + have, size - have);
    if (n == 0) {
      return have == 0 && first ? Got::eof_at_start : Got::eof_inside;
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return have == 0 && first && errno == ECONNRESET ? Got::eof_at_start : Got::error;
    }
    have += static_cast<std::size_t>(n);
  }
  return Got::all;
}

}  // namespace

json::value FrameRead::json() const {
  if (status != ReadStatus::frame) {
    return nullptr;
  }
  auto parsed = parse_json(body);
  return parsed ? *parsed : json::value(nullptr);
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) {
      const ssize_t w = ::write(fd, bytes.data(), bytes.size());
      if (w < 0 && errno == EINTR) {
        continue;
      }
      if (w <= 0) {
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(w));
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string frame_bytes(std::string_view body) {
  std::string bytes(4, '\0');
  const auto n = static_cast<std::uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  bytes.append(body);
  return bytes;
}

bool write_frame(int fd, std::string_view body) { return write_all(fd, frame_bytes(body)); }

bool write_json(int fd, const json::value& value) { return write_frame(fd, to_json_text(value)); }

FrameRead read_frame(int fd, milliseconds timeout) {
  const Deadline deadline = std::chrono::steady_clock::now() + timeout;
  unsigned char prefix[4];
  switch (read_exact(fd, reinterpret_cast<char*>(prefix), 4, deadline, true)) {
    case Got::all:
      break;
    case Got::eof_at_start:
      return {ReadStatus::eof, {}};
    case Got::timeout:
      return {ReadStatus::timeout, {}};
    default:
      return {ReadStatus::error, {}};
  }
  const std::uint32_t length = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | std::uint32_t{prefix[3]} << 24;
  if (length == 0 || length > 65536) {
    return {ReadStatus::error, {}};
  }
  std::string body(length, '\0');
  switch (read_exact(fd, body.data(), length, deadline, false)) {
    case Got::all:
      return {ReadStatus::frame, std::move(body)};
    case Got::timeout:
      return {ReadStatus::timeout, {}};
    default:
      return {ReadStatus::error, {}};
  }
}

CloseStatus wait_closed(int fd, milliseconds timeout) {
  const Deadline deadline = std::chrono::steady_clock::now() + timeout;
  if (!wait_readable(fd, deadline)) {
    return CloseStatus::timeout;
  }
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) {
    return CloseStatus::data;
  }
  return CloseStatus::closed;  // end of stream or a reset
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvarin-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests leave read-only directories behind on purpose; open them up first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string discovery_dir_under(const std::string& home) {
  return join_path(join_path(home, data_dir_name), discovery_dir_name);
}

std::vector<Discovery> read_discovery(const std::string& home) {
  std::vector<Discovery> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(discovery_dir_under(home), ec)) {
    Discovery d;
    d.path = entry.path().string();
    std::ifstream file(d.path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    d.text = text.str();
    auto parsed = parse_json(d.text);
    if (parsed) {
      d.document = std::move(*parsed);
      if (const auto* port = member(d.document, "port").if_int64()) {
        d.port = static_cast<std::uint16_t>(*port);
      }
      if (const auto* secret = member(d.document, "secret").if_string()) {
        d.secret = std::string(*secret);
      }
    }
    found.push_back(std::move(d));
  }
  return found;
}

HostProcess::HostProcess(const Options& options) {
  int in_pipe[2];
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  std::vector<std::string> argv_text{options.binary};
  argv_text.insert(argv_text.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (const auto& [key, value] : options.env) {
    env_text.push_back(key + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& e : env_text) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  const int rc = ::posix_spawn(&pid_, options.binary.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) {
    throw std::runtime_error("posix_spawn failed: " + std::string(std::strerror(rc)));
  }
  in_ = in_pipe[1];
  out_ = out_pipe[0];
  err_ = err_pipe[0];
}

HostProcess::~HostProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

void HostProcess::close_in() {
  if (in_ >= 0) {
    ::close(in_);
    in_ = -1;
  }
}

void HostProcess::close_out() {
  if (out_ >= 0) {
    ::close(out_);
    out_ = -1;
  }
}

std::optional<int> HostProcess::wait_exit(milliseconds timeout) {
  if (status_) {
    return status_;
  }
  const Deadline deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    ::usleep(2000);
  }
}

std::string HostProcess::err() {
  if (err_ >= 0) {
    // After exit the pipe holds everything; before it, take what is there.
    char buf[4096];
    for (;;) {
      pollfd p{err_, POLLIN, 0};
      if (::poll(&p, 1, status_ ? 100 : 0) <= 0) {
        break;
      }
      const ssize_t n = ::read(err_, buf, sizeof buf);
      if (n <= 0) {
        ::close(err_);
        err_ = -1;
        break;
      }
      err_text_.append(buf, static_cast<std::size_t>(n));
    }
  }
  return err_text_;
}

ClientSocket::ClientSocket(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    return;
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

ClientSocket::~ClientSocket() { close(); }

ClientSocket::ClientSocket(ClientSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

void ClientSocket::shutdown_send() { ::shutdown(fd_, SHUT_WR); }

void ClientSocket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace kelvarin::peer
