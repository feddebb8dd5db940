#include "testing/host_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <poll.h>
#include <unistd.h>

extern char** environ;

namespace kelvarin::testing {

json::value hello(std::string_view id, json::value params) {
  return json::object{{"version", 1}, {"id", id}, {"method", "bridge.hello"}, {"params", std::move(params)}};
}

json::value client_request(std::string_view secret, std::string_view id, std::string_view method,
                           json::value params) {
  return json::object{
      {"version", 1}, {"id", id}, {"secret", secret}, {"method", method}, {"params", std::move(params)}};
}

json::value connect_params(std::string_view owner, std::string_view account) {
  return json::object{{"ownerId", owner},
                      {"accountId", account},
                      {"profileId", profile_id},
                      {"ttlMs", 90000},
                      {"pairingUrl", "ws://127.0.0.1:9/extension#x"}};
}

json::value owner_params(std::string_view owner, std::string_view account) {
  return json::object{{"ownerId", owner}, {"accountId", account}, {"profileId", profile_id}, {"ttlMs", 90000}};
}

std::string failure_line(std::string_view text) {
  return "[kelvarin-browser-host] " + std::string(text) + "\n";
}

std::string length_prefix(std::uint32_t length) {
  std::string prefix(4, '\0');
  for (int i = 0; i < 4; ++i) {
    prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  return prefix;
}

std::string read_to_end(int fd, peer::milliseconds timeout) {
  std::string bytes;
  if (fd < 0) {
    return bytes;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<peer::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (rc == 0) {
      return bytes;
    }
    if (rc < 0) {
      if (errno == EINTR) {
        continue;
      }
      return bytes;
    }
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return bytes;
    }
    bytes.append(buf, static_cast<std::size_t>(n));
  }
}

Host::Host() : Host(Options{}) {}

Host::Host(Options options) : home_path_(home_.path()) { launch(options); }

Host::Host(Options options, std::string home) : home_path_(std::move(home)) { launch(options); }

void Host::launch(const Options& options) {
  peer::HostProcess::Options spawn;
  spawn.binary = HOST_BINARY;
  spawn.args = options.args;
  spawn.env["HOME"] = home_path_;
  spawn.env["PATH"] = "/usr/bin:/bin";
  for (const auto& [key, value] : options.env) {
    if (value) {
      spawn.env[key] = *value;
    } else {
      spawn.env.erase(key);
    }
  }
  process_ = std::make_unique<peer::HostProcess>(spawn);
}

json::value Host::start(const json::value& hello_message) {
  EXPECT_TRUE(send(hello_message));
  auto reply = read();
  EXPECT_EQ(reply.status, peer::ReadStatus::frame) << process_->err();
  auto message = reply.json();
  const auto* host_id = member(member(message, "result"), "hostId").if_string();
  const std::string name = host_id != nullptr ? "/" + std::string(*host_id) + ".json" : std::string("/?");
  auto files = peer::read_discovery(home());
  const auto mine =
      std::ranges::find_if(files, [&](const peer::Discovery& d) { return d.path.ends_with(name); });
  EXPECT_NE(mine, files.end()) << "no discovery file " << name;
  if (mine != files.end()) {
    discovery_ = std::move(*mine);
  }
  return message;
}

Ended Host::wait_end(peer::milliseconds timeout) {
  Ended ended;
  ended.status = process_->wait_exit(timeout);
  if (ended.status) {
    // The host has gone, so its end of the pipe is closed: this ends at once.
    ended.out = read_to_end(process_->out());
  }
  ended.err = process_->err();
  return ended;
}

std::optional<int> Host::finish(peer::milliseconds timeout) {
  process_->close_in();
  return process_->wait_exit(timeout);
}

}  // namespace kelvarin::testing
