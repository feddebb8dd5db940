#pragma once

// The built host started as a browser starts it, with a temporary HOME,
// played from the extension's side. HOST_BINARY names the executable.

#include "core/trusted_extensions.hpp"
#include "testing/peer.hpp"

#include <memory>
#include <optional>
#include <string>

namespace kelvarin::testing {

using namespace std::chrono_literals;

inline const std::string trusted_origin_1 = extension_hosts()[0].origin;
inline const std::string trusted_origin_2 = extension_hosts()[1].origin;
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

// The line the host writes to standard error when it fails with `text`.
[[nodiscard]] std::string failure_line(std::string_view text);

// A frame's 4-byte little-endian length prefix, for frames made by hand.
[[nodiscard]] std::string length_prefix(std::uint32_t length);

// Everything `fd` yields until its end, or until `timeout` passes.
[[nodiscard]] std::string read_to_end(int fd, peer::milliseconds timeout = 2s);

// How a host process ended: its status (nothing if it is still running),
// everything on its standard error, and what was left unread on its
// standard output.
struct Ended {
  std::optional<int> status;
  std::string err;
  std::string out;
};

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
  // With `home` as home() instead of a fresh directory, for hosts that share
  // HOME; `home` must outlive the host.
  Host(Options options, std::string home);

  [[nodiscard]] peer::HostProcess& process() { return *process_; }
  [[nodiscard]] const std::string& home() const { return home_path_; }

  // Sends a frame to the host's standard input.
  bool send(const json::value& value) { return peer::write_json(process_->in(), value); }
  bool send_raw(std::string_view bytes) { return peer::write_all(process_->in(), bytes); }
  // Reads the next frame the host wrote to the extension.
  peer::FrameRead read(peer::milliseconds timeout = 5s) { return peer::read_frame(process_->out(), timeout); }

  // Sends the hello, reads the reply and the discovery file named after the
  // reply's host id (other hosts may share HOME). Fails the current test if
  // the host does not answer.
  json::value start(const json::value& hello_message = hello());

  [[nodiscard]] const peer::Discovery& discovery() const { return discovery_; }
  [[nodiscard]] std::uint16_t port() const { return discovery_.port; }
  [[nodiscard]] const std::string& secret() const { return discovery_.secret; }

  // A new client connected to the host's port.
  [[nodiscard]] peer::ClientSocket connect() const { return peer::ClientSocket(port()); }

  // HOME/.kelvarin and the discovery directory below it.
  [[nodiscard]] std::string data_dir() const { return home() + "/.kelvarin"; }
  [[nodiscard]] std::string discovery_dir() const { return peer::discovery_dir_under(home()); }

  // Waits for the host to end by itself and collects what it left behind.
  Ended wait_end(peer::milliseconds timeout = 5s);

  // Closes the host's input and returns the exit status.
  std::optional<int> finish(peer::milliseconds timeout = 5s);

 private:
  void launch(const Options& options);

  peer::TempDir home_;
  std::string home_path_;
  std::unique_ptr<peer::HostProcess> process_;
  peer::Discovery discovery_;
};

}  // namespace kelvarin::testing
