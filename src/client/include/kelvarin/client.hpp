#pragma once

// Client library for desktop applications that talk to a running
// kelvarin-browser-host: find hosts through their discovery files, open an
// authenticated session over loopback TCP, call methods with a time limit and
// keep the lease on a browser profile.
//
// Calls block the calling thread. A Session may be shared between threads (its
// calls are serialised, as the host takes one call per connection at a time);
// a Lease renews itself from a thread of its own unless asked not to.

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarin::client {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline constexpr milliseconds default_connect_timeout{3000};
// The host gives the extension 30 s per call and then answers
// "extension_timeout" itself; waiting a little longer lets that answer arrive.
inline constexpr milliseconds default_call_timeout{35000};
// The host's lease length, which a request cannot change.
inline constexpr std::chrono::seconds lease_length{90};
// Automatic renewal runs this long after the last connect or renew, leaving a
// third of the lease for a slow extension.
inline constexpr std::chrono::seconds renew_after{60};

enum class ErrorKind {
  NotFound,         // no running host matched (no discovery file, or none answered)
  Ambiguous,        // several hosts matched and no profile was given
  Io,               // a system call failed: unreadable file, refused or reset connection
  TimedOut,         // the time limit passed before the reply was complete
  Closed,           // the host closed the connection
  Protocol,         // the host sent something that is not a reply to this request
  Remote,           // the host or the extension answered with an error; see code
  InvalidArgument,  // refused before sending: bad method, lease scope or state
};

struct Error {
  ErrorKind kind = ErrorKind::Io;
  std::string code{};     // for Remote: the reply's "code", e.g. "browser_busy"
  std::string message{};  // a sentence for people
  int os_error = 0;     // the errno value when a system call failed

  // "code: message" for Remote errors, the message otherwise.
  [[nodiscard]] std::string text() const;
};

template <class T>
using Result = std::expected<T, Error>;

// What one discovery file says. A file can outlive its host (a host killed by
// a signal leaves it behind): only a session tells whether the host runs.
struct HostEntry {
  std::string path{};
  std::string host_id{};
  std::string profile_id{};
  std::string browser_name{};
  std::string extension_version{};
  std::uint16_t port = 0;
  std::string secret{};
};

// The host's description, as "bridge.info" returns it.
struct HostInfo {
  std::uint64_t version = 0;
  std::string host_id{};
  std::string profile_id{};
  std::string browser_name{};
  std::string extension_version{};
};

// HOME/.kelvarin/browser-bridge.<first trusted extension's id>.
[[nodiscard]] Result<std::string> discovery_directory();

struct Scan {
  std::vector<HostEntry> hosts{};          // sorted by profile id, then host id
  std::vector<std::string> unreadable{};   // *.json files that are not discovery documents
};

// Every discovery file in `directory` (by default the user's). A missing
// directory means no hosts; the directory is never created or changed.
[[nodiscard]] Result<Scan> scan_hosts(const std::optional<std::string>& directory = std::nullopt);

// The discovery files for one profile, or all of them.
[[nodiscard]] Result<std::vector<HostEntry>> find_hosts(const std::optional<std::string>& profile_id = std::nullopt,
                                                        const std::optional<std::string>& directory = std::nullopt);

class Session {
 public:
  // Connects to the host of `host` and checks with "bridge.info" that the
  // port belongs to that host id, so a stale file whose port was reused by
  // another host is not taken for it.
  [[nodiscard]] static Result<Session> open(const HostEntry& host, milliseconds timeout = default_connect_timeout);

  Session(Session&&) noexcept;
  Session& operator=(Session&&) noexcept;
  ~Session();

  // Sends one request with the host's secret and waits for the reply to it.
  // Gives the reply's "result"; an error reply is a Remote error. After a
  // time-out or any I/O error the session is closed: the host may still
  // answer, and a later reply must not be mistaken for another call's.
  [[nodiscard]] Result<boost::json::value> call(std::string_view method, boost::json::object params = {},
                                                milliseconds timeout = default_call_timeout);

  [[nodiscard]] Result<HostInfo> info(milliseconds timeout = default_connect_timeout);

  [[nodiscard]] const HostEntry& host() const { return host_; }
  [[nodiscard]] bool is_open() const;
  // Closing ends any lease held through this session: the host releases it.
  void close();

  struct Channel;

 private:
  Session(HostEntry host, std::shared_ptr<Channel> channel);
  HostEntry host_;
  std::shared_ptr<Channel> channel_;
  friend class Lease;
};

// The first live host: for `profile_id` if given, else the only one running
// (Ambiguous when there are several). Stale files are passed over.
[[nodiscard]] Result<Session> connect(const std::optional<std::string>& profile_id = std::nullopt,
                                      const std::optional<std::string>& directory = std::nullopt,
                                      milliseconds timeout = default_connect_timeout);

// Who takes the lease. The host checks the same rules before forwarding.
struct LeaseScope {
  std::string owner_id{};     // 1 to 128 of A-Z, a-z, 0-9, "-", "_"
  std::string account_id{};   // 1 to 256 bytes, no control characters
  std::string pairing_url{};  // "ws://127.0.0.1:" port "/extension#" token
  boost::json::object extra{};  // further "params" members for the extension, sent unchanged
};

enum class Renewal { automatic, manual };

class Lease {
 public:
  // "browser.connect" for the session's profile. With automatic renewal a
  // thread renews `renew_every` after each connect or renew, until the lease
  // ends or is destroyed.
  [[nodiscard]] static Result<Lease> acquire(Session& session, LeaseScope scope,
                                             Renewal renewal = Renewal::automatic,
                                             milliseconds timeout = default_call_timeout,
                                             milliseconds renew_every = renew_after);

  Lease(Lease&&) noexcept;
  Lease& operator=(Lease&&) noexcept;
  // Stops renewing. The lease itself ends when the host sees the session
  // close, or after its 90 seconds.
  ~Lease();

  [[nodiscard]] Result<boost::json::value> renew(milliseconds timeout = default_call_timeout);
  // Both end the lease once the extension accepts them.
  [[nodiscard]] Result<boost::json::value> suspend(milliseconds timeout = default_call_timeout);
  [[nodiscard]] Result<boost::json::value> disconnect(milliseconds timeout = default_call_timeout);

  // False once the lease ended: suspended, disconnected, refused, expired
  // or lost with the connection.
  [[nodiscard]] bool held() const;
  [[nodiscard]] Clock::time_point expires_at() const;
  // Why automatic renewal stopped, if it failed.
  [[nodiscard]] std::optional<Error> renewal_error() const;

  struct State;

 private:
  explicit Lease(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace kelvarin::client
