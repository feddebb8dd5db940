#include "host_fixture.hpp"

#include <gtest/gtest.h>

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

Host::Host() : Host(Options{}) {}

Host::Host(Options options) {
  peer::HostProcess::Options spawn;
  spawn.binary = HOST_BINARY;
  spawn.args = options.args;
  spawn.env["HOME"] = home_.path();
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
  auto files = peer::read_discovery(home());
  EXPECT_EQ(files.size(), 1u);
  if (!files.empty()) {
    discovery_ = std::move(files.front());
  }
  return reply.json();
}

std::optional<int> Host::finish(peer::milliseconds timeout) {
  process_->close_in();
  return process_->wait_exit(timeout);
}

}  // namespace kelvarin::testing
