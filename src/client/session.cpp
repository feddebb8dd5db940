// One authenticated connection to a host: every request carries the secret,
// and each call waits for the reply bearing its own id.

#include "channel.hpp"

#include "core/envelope.hpp"
#include "core/frame.hpp"
#include "core/identity.hpp"
#include "core/json.hpp"

#include <algorithm>
#include <array>
#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvarin::client {

namespace {

// Milliseconds left until `deadline`, for poll; never negative.
int poll_timeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000'000));
}

// Waits until `fd` is ready for `events` or the deadline passes.
Result<void> wait_ready(int fd, short events, Clock::time_point deadline, std::string_view what) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, poll_timeout(deadline));
    if (n > 0) {
      return {};
    }
    if (n == 0) {
      return std::unexpected(make_error(ErrorKind::TimedOut, "The host did not " + std::string(what) + " in time."));
    }
    if (errno != EINTR) {
      return std::unexpected(from_errno("poll", errno));
    }
  }
}

Error reply_error(const json::value& reply) {
  const auto& error = member(reply, "error");
  const auto* code = member(error, "code").if_string();
  const auto* message = member(error, "message").if_string();
  return Error{.kind = ErrorKind::Remote,
               .code = code ? std::string(*code) : std::string("error"),
               .message = message ? std::string(*message) : to_json_text(error),
               .os_error = 0};
}

std::optional<std::string> string_of(const json::value& result, std::string_view key) {
  const auto* s = member(result, key).if_string();
  return s ? std::optional<std::string>(std::string(*s)) : std::nullopt;
}

}  // namespace

Result<int> connect_loopback(std::uint16_t port, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return std::unexpected(from_errno("socket", errno));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string where = "Cannot connect to 127.0.0.1:" + std::to_string(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) {
      const int e = errno;
      ::close(fd);
      return std::unexpected(from_errno(where, e));
    }
    if (auto ready = wait_ready(fd, POLLOUT, deadline, "accept the connection"); !ready) {
      ::close(fd);
      return std::unexpected(std::move(ready.error()));
    }
    int so_error = 0;
    socklen_t length = sizeof so_error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length);
    if (so_error != 0) {
      ::close(fd);
      return std::unexpected(from_errno(where, so_error));
    }
  }
  // Requests are small and each waits for its reply: send them at once.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

Session::Channel::Channel(int fd, std::string secret)
    : fd_(fd), secret_(std::move(secret)), id_prefix_(uuid_text().substr(0, 8) + "-") {}

Session::Channel::~Channel() { close_locked(); }

bool Session::Channel::is_open() {
  const std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

void Session::Channel::close() {
  const std::lock_guard lock(mutex_);
  close_locked();
}

void Session::Channel::close_locked() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  inbox_.clear();
}

Result<void> Session::Channel::send_all(const std::string& bytes, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (auto ready = wait_ready(fd_, POLLOUT, deadline, "take the request"); !ready) {
        return ready;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      return std::unexpected(make_error(ErrorKind::Closed, "The host closed the connection.", errno));
    }
    return std::unexpected(from_errno("send", errno));
  }
  return {};
}

// The next whole frame: from bytes already received, else from the socket.
Result<json::value> Session::Channel::receive(Clock::time_point deadline) {
  for (;;) {
    if (inbox_.size() >= frame_prefix_bytes) {
      std::array<unsigned char, frame_prefix_bytes> prefix{};
      std::copy_n(inbox_.begin(), frame_prefix_bytes, prefix.begin());
      const auto length = frame_length(prefix);
      if (!length) {
        return std::unexpected(make_error(ErrorKind::Protocol, "The host sent a malformed frame."));
      }
      if (inbox_.size() >= frame_prefix_bytes + *length) {
        auto value = parse_json(std::string_view(inbox_).substr(frame_prefix_bytes, *length));
        inbox_.erase(0, frame_prefix_bytes + *length);
        if (!value) {
          return std::unexpected(make_error(ErrorKind::Protocol, "The host sent a frame that is not JSON."));
        }
        return std::move(*value);
      }
    }
    if (auto ready = wait_ready(fd_, POLLIN, deadline, "reply"); !ready) {
      return std::unexpected(std::move(ready.error()));
    }
    std::array<char, 16 * 1024> chunk;
    const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
    if (n > 0) {
      inbox_.append(chunk.data(), static_cast<std::size_t>(n));
    } else if (n == 0 || errno == ECONNRESET) {
      return std::unexpected(make_error(ErrorKind::Closed, "The host closed the connection.", n == 0 ? 0 : errno));
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return std::unexpected(from_errno("recv", errno));
    }
  }
}

Result<json::value> Session::Channel::call(std::string_view method, json::object params, milliseconds timeout) {
  const std::lock_guard lock(mutex_);
  if (fd_ < 0) {
    return std::unexpected(make_error(ErrorKind::Closed, "The session is closed."));
  }
  const auto deadline = Clock::now() + timeout;
  const std::string id = id_prefix_ + std::to_string(++calls_);
  json::value message = request(id, method, std::move(params));
  message.as_object()["secret"] = secret_;
  auto frame = encode_frame(message);
  if (!frame) {
    return std::unexpected(make_error(ErrorKind::InvalidArgument, "The request is larger than a frame allows."));
  }
  auto outcome = [&]() -> Result<json::value> {
    if (auto sent = send_all(*frame, deadline); !sent) {
      return std::unexpected(std::move(sent.error()));
    }
    auto reply = receive(deadline);
    if (!reply) {
      return reply;
    }
    // One call at a time and a close after every failure: the next frame
    // can only be this call's reply.
    if (!answer_valid(*reply) || !is_text(member(*reply, "id"), id)) {
      return std::unexpected(make_error(ErrorKind::Protocol, "The host's reply does not answer the request."));
    }
    return reply;
  }();
  if (!outcome) {
    close_locked();
    return outcome;
  }
  if (!member(*outcome, "error").is_null()) {
    return std::unexpected(reply_error(*outcome));
  }
  return std::move(outcome->as_object()["result"]);
}

Session::Session(HostEntry host, std::shared_ptr<Channel> channel)
    : host_(std::move(host)), channel_(std::move(channel)) {}
Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;
Session::~Session() = default;

Result<Session> Session::open(const HostEntry& host, milliseconds timeout) {
  auto fd = connect_loopback(host.port, timeout);
  if (!fd) {
    return std::unexpected(std::move(fd.error()));
  }
  Session session(host, std::make_shared<Channel>(*fd, host.secret));
  auto info = session.info(timeout);
  if (!info) {
    if (info.error().kind == ErrorKind::Remote) {
      // Another host on a reused port: it does not know this secret.
      return std::unexpected(make_error(ErrorKind::Protocol, "Port " + std::to_string(host.port) +
                                                                 " belongs to another host: " + info.error().text()));
    }
    return std::unexpected(std::move(info.error()));
  }
  if (info->host_id != host.host_id) {
    return std::unexpected(make_error(ErrorKind::Protocol,
                                      "Port " + std::to_string(host.port) + " answers as host " + info->host_id +
                                          ", not " + host.host_id + "."));
  }
  session.host_.profile_id = info->profile_id;
  session.host_.browser_name = info->browser_name;
  session.host_.extension_version = info->extension_version;
  return session;
}

Result<json::value> Session::call(std::string_view method, json::object params, milliseconds timeout) {
  if (!channel_) {
    return std::unexpected(make_error(ErrorKind::Closed, "The session is closed."));
  }
  return channel_->call(method, std::move(params), timeout);
}

Result<HostInfo> Session::info(milliseconds timeout) {
  auto result = call("bridge.info", {}, timeout);
  if (!result) {
    return std::unexpected(std::move(result.error()));
  }
  HostInfo info;
  const auto host_id = string_of(*result, "hostId");
  const auto profile_id = string_of(*result, "profileId");
  const auto browser_name = string_of(*result, "browserName");
  const auto extension_version = string_of(*result, "extensionVersion");
  const auto* version = member(*result, "version").if_uint64();
  const auto* signed_version = member(*result, "version").if_int64();
  if (!host_id || !profile_id || !browser_name || !extension_version || (!version && !signed_version)) {
    return std::unexpected(make_error(ErrorKind::Protocol, "The host's description lacks a member."));
  }
  info.version = version ? *version : static_cast<std::uint64_t>(*signed_version);
  info.host_id = *host_id;
  info.profile_id = *profile_id;
  info.browser_name = *browser_name;
  info.extension_version = *extension_version;
  return info;
}

bool Session::is_open() const { return channel_ && channel_->is_open(); }

void Session::close() {
  if (channel_) {
    channel_->close();
  }
}

Result<Session> connect(const std::optional<std::string>& profile_id, const std::optional<std::string>& directory,
                        milliseconds timeout) {
  auto hosts = find_hosts(profile_id, directory);
  if (!hosts) {
    return std::unexpected(std::move(hosts.error()));
  }
  const std::string scope = profile_id ? " for profile " + *profile_id : "";
  std::vector<Session> live;
  std::size_t stale = 0;
  for (const auto& host : *hosts) {
    auto session = Session::open(host, timeout);
    if (!session) {
      ++stale;
      continue;
    }
    if (profile_id) {
      return session;
    }
    live.push_back(std::move(*session));
  }
  if (live.size() == 1) {
    return std::move(live.front());
  }
  if (live.empty()) {
    std::string message = "No running host" + scope + ".";
    if (stale != 0) {
      message += ' ';
      message += std::to_string(stale);
      message += " discovery file(s) belong to hosts that no longer answer.";
    }
    return std::unexpected(make_error(ErrorKind::NotFound, std::move(message)));
  }
  std::string profiles;
  for (const auto& session : live) {
    profiles += (profiles.empty() ? "" : ", ") + session.host().profile_id;
  }
  return std::unexpected(make_error(ErrorKind::Ambiguous, std::to_string(live.size()) +
                                                              " hosts are running (profiles " + profiles +
                                                              "); choose one by its profile id."));
}

}  // namespace kelvarin::client
