// kelvarin-relay: the floor the host is measured against. It does the
// least any bridge must do with the same pipes and sockets: answer the hello,
// publish a discovery file, answer "bridge.info" with a fixed frame, and move
// every other frame between a client and standard input and output, unparsed
// and unchecked. One thread, one epoll loop, no JSON library.
//
// Usage: kelvarin-relay <origin>   (the origin is accepted and ignored)

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t prefix_bytes = 4;
constexpr std::size_t max_body = 65536;
constexpr std::size_t buffer_bytes = 2 * (prefix_bytes + max_body);

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "[kelvarin-relay] %s: %s\n", what, std::strerror(errno));
  std::_Exit(1);
}

// Bytes read from one descriptor; whole frames are taken from the front.
struct Inbound {
  std::unique_ptr<char[]> data = std::make_unique_for_overwrite<char[]>(buffer_bytes);
  std::size_t begin = 0;
  std::size_t end = 0;

  // One read; false at end of stream or on an error.
  bool fill(int fd) {
    if (begin == end) {
      begin = end = 0;
    } else if (buffer_bytes - end < prefix_bytes + max_body) {
      std::memmove(data.get(), data.get() + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    for (;;) {
      const ssize_t n = ::read(fd, data.get() + end, buffer_bytes - end);
      if (n > 0) {
        end += static_cast<std::size_t>(n);
        return true;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
  }

  // The next whole frame, prefix included, or an empty view.
  std::string_view take() {
    if (end - begin < prefix_bytes) {
      return {};
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.get() + begin);
    const std::size_t length = p[0] | p[1] << 8 | p[2] << 16 | std::size_t{p[3]} << 24;
    if (end - begin < prefix_bytes + length) {
      return {};
    }
    std::string_view frame(data.get() + begin, prefix_bytes + length);
    begin += frame.size();
    return frame;
  }
};

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;  // the peer has gone; its end is noticed on the read side
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string frame_of(std::string_view body) {
  std::string frame(prefix_bytes, '\0');
  for (std::size_t i = 0; i < prefix_bytes; ++i) {
    frame[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
  }
  frame.append(body);
  return frame;
}

std::string random_uuid() {
  unsigned char b[16];
  if (::getrandom(b, sizeof b, 0) != sizeof b) {
    die("getrandom");
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

// A frame whose method is "bridge.info". Keys come sorted, so "method" sits
// before "params" and the search never walks a large payload.
bool asks_for_info(std::string_view frame) {
  constexpr std::string_view key = "\"method\":\"";
  constexpr std::string_view info = "bridge.info\"";
  const auto body = frame.substr(prefix_bytes);
  const void* at = ::memmem(body.data(), body.size(), key.data(), key.size());
  if (at == nullptr) {
    return false;
  }
  const auto rest = body.substr(static_cast<std::size_t>(static_cast<const char*>(at) - body.data()) + key.size());
  return rest.starts_with(info);
}

std::string g_discovery_path;

void remove_discovery() {
  if (!g_discovery_path.empty()) {
    ::unlink(g_discovery_path.c_str());
  }
}

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);

  Inbound from_extension;
  std::string_view hello;
  while ((hello = from_extension.take()).empty()) {
    if (!from_extension.fill(STDIN_FILENO)) {
      return 1;
    }
  }

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    die("socket");
  }
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t address_size = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, SOMAXCONN) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &address_size) != 0) {
    die("listen");
  }
  const unsigned port = ntohs(address.sin_port);

  const std::string host_id = random_uuid();
  const std::string secret = random_uuid();
  const std::string info = R"({"browserName":"Chromium","extensionVersion":"1.0.0","hostId":")" + host_id +
                           R"(","profileId":"Default","version":1})";

  // The same file the host publishes, made durable before the hello is
  // answered, as the host's must be.
  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    return 1;
  }
  const std::string data_dir = std::string(home) + "/.kelvarin";
  const std::string dir = data_dir + "/browser-bridge.ilimhgenbmakmldnokbdfbjkgakahhll";
  ::mkdir(data_dir.c_str(), 0700);
  ::mkdir(dir.c_str(), 0700);
  const std::string path = dir + "/" + host_id + ".json";
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file < 0) {
    die("discovery file");
  }
  g_discovery_path = path;
  const std::string document = R"({"browserName":"Chromium","extensionVersion":"1.0.0","hostId":")" + host_id +
                               R"(","port":)" + std::to_string(port) + R"(,"profileId":"Default","secret":")" +
                               secret + R"(","version":1})";
  write_all(file, document);
  if (::fsync(file) != 0) {
    remove_discovery();
    die("fsync");
  }

  write_all(STDOUT_FILENO, frame_of(R"({"id":"hello-1","result":)" + info + R"(,"version":1})"));
  const std::string info_reply = frame_of(R"({"id":"info","result":)" + info + R"(,"version":1})");

  const int poller = ::epoll_create1(EPOLL_CLOEXEC);
  if (poller < 0) {
    die("epoll");
  }
  auto watch = [&](int fd) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = fd;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &e);
  };
  watch(STDIN_FILENO);
  watch(listener);

  std::vector<std::unique_ptr<Inbound>> clients;  // by descriptor
  int answer_to = -1;  // the client whose frame went out last, else the newest
  bool extension_open = true;

  // Frames that arrived together with the hello.
  for (auto frame = from_extension.take(); !frame.empty(); frame = from_extension.take()) {
    if (answer_to >= 0) {
      write_all(answer_to, frame);
    }
  }

  epoll_event events[64];
  while (extension_open) {
    const int ready = ::epoll_wait(poller, events, 64, -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      die("epoll_wait");
    }
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == STDIN_FILENO) {
        if (!from_extension.fill(fd)) {
          extension_open = false;
          break;
        }
        for (auto frame = from_extension.take(); !frame.empty(); frame = from_extension.take()) {
          if (answer_to >= 0) {
            write_all(answer_to, frame);
          }
        }
      } else if (fd == listener) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
          continue;
        }
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (static_cast<std::size_t>(client) >= clients.size()) {
          clients.resize(static_cast<std::size_t>(client) + 1);
        }
        clients[static_cast<std::size_t>(client)] = std::make_unique<Inbound>();
        watch(client);
        answer_to = client;
      } else {
        auto& in = *clients[static_cast<std::size_t>(fd)];
        if (!in.fill(fd)) {
          ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
          ::close(fd);
          clients[static_cast<std::size_t>(fd)].reset();
          if (answer_to == fd) {
            answer_to = -1;
          }
          continue;
        }
        for (auto frame = in.take(); !frame.empty(); frame = in.take()) {
          if (asks_for_info(frame)) {
            write_all(fd, info_reply);
          } else {
            answer_to = fd;
            write_all(STDOUT_FILENO, frame);
          }
        }
      }
    }
  }

  remove_discovery();
  ::close(file);
  return 0;
}
