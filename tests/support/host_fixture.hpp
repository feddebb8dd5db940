#pragma once

// The built host started as a browser starts it, with a temporary HOME,
// played from the extension's side. HOST_BINARY names the executable.

#include "peer.hpp"

#include <memory>
#include <optional>
#include <string>

namespace kelvarin::testing {

using namespace std::chrono_literals;

inline constexpr const char* trusted_origin_1 = "chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll/";
inline constexpr const char* trusted_origin_2 = "chrome-extension://kiellkahjdbnljcfdagkahjjnmgolnhb/";
inline constexpr const char* profile_id = "Default";

// A valid hello with the given id and params.
json::value hello(std::string_view id = "hello-1",
                  json::value params = json::object{{"profileId", profile_id},
                                                    {"browserName", "Chromium"},
                                                    {"extensionVersion", "1.2.3"}});

// A client request carrying `secret`.
json::value client_request(std::string_view secret, std::string_view id, std::string_view method,
                           json::value params = json::object{});

// Valid "browser.connect" params for the host's profile.
json::value connect_params(std::string_view owner = "owner-1", std::string_view account = "account 1");

// The three identifiers of `connect_params`, plus ttlMs 90000 for renew.
json::value owner_params(std::string_view owner = "owner-1", std::string_view account = "account 1");

// The host binary started with a temporary HOME (or the given environment).
class Host {
 public:
  struct Options {
    std::vector<std::string> args{trusted_origin_1};
    // HOME is set to the temporary directory unless `env` says otherwise;
    // an entry with an empty optional removes the variable.
    std::map<std::string, std::optional<std::string>> env;
  };
  Host();
  explicit Host(Options options);

  [[nodiscard]] peer::HostProcess& process() { return *process_; }
  [[nodiscard]] const std::string& home() const { return home_.path(); }

  // Sends a frame to the host's standard input.
  bool send(const json::value& value) { return peer::write_json(process_->in(), value); }
  bool send_raw(std::string_view bytes) { return peer::write_all(process_->in(), bytes); }
  // Reads the next frame the host wrote to the extension.
  peer::FrameRead read(peer::milliseconds timeout = 5s) { return peer::read_frame(process_->out(), timeout); }

  // Sends the hello, reads the reply and the discovery file. Fails the
  // current test if the host does not answer.
  json::value start(const json::value& hello_message = hello());

  [[nodiscard]] const peer::Discovery& discovery() const { return discovery_; }
  [[nodiscard]] std::uint16_t port() const { return discovery_.port; }
  [[nodiscard]] const std::string& secret() const { return discovery_.secret; }

  // A new client connected to the host's port.
  [[nodiscard]] peer::ClientSocket connect() const { return peer::ClientSocket(port()); }

  // Closes the host's input and returns the exit status.
  std::optional<int> finish(peer::milliseconds timeout = 5s);

 private:
  peer::TempDir home_;
  std::unique_ptr<peer::HostProcess> process_;
  peer::Discovery discovery_;
};

}  // namespace kelvarin::testing
