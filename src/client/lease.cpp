// The lease on the host's browser profile, mirrored on the client's side so
// that held() tells the truth without asking the host, and renewed from a
// thread of its own.

#include "channel.hpp"

#include <boost/json/object.hpp>

#include <algorithm>
#include <condition_variable>
#include <thread>

namespace kelvarin::client {

namespace json = boost::json;

namespace {

constexpr std::uint64_t lease_ms = std::chrono::duration_cast<milliseconds>(lease_length).count();

enum class Method { connect, renew, suspend, disconnect };

constexpr std::string_view method_name(Method m) {
  switch (m) {
    case Method::connect:
      return "browser.connect";
    case Method::renew:
      return "browser.renew";
    case Method::suspend:
      return "browser.suspend";
    case Method::disconnect:
      return "browser.disconnect";
  }
  return {};
}

// Whether the host still counts us as the owner after `error` answered `m`.
// Refusals at the host's gates change nothing; an error from the extension
// ends the lease, except for a refused disconnect; a lost connection ends it.
bool still_held_after(Method m, const Error& error) {
  if (error.kind != ErrorKind::Remote) {
    return false;
  }
  if (error.code == "busy" || (error.code == "invalid_input" && m == Method::renew)) {
    return true;
  }
  if (error.code == "not_owner" || error.code == "extension_timeout" || error.code == "unauthorized") {
    return false;
  }
  return m == Method::disconnect;
}

}  // namespace

struct Lease::State {
  std::shared_ptr<Session::Channel> channel;
  std::string profile_id;
  LeaseScope scope;
  milliseconds renew_every{renew_after};

  mutable std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  bool stopping = false;
  Clock::time_point expires_at{};
  Clock::time_point renewed_at{};
  std::optional<Error> renewal_error;
  std::thread renewer;

  json::object params(Method m) const {
    json::object p{{"ownerId", scope.owner_id}, {"accountId", scope.account_id}, {"profileId", profile_id}};
    if (m == Method::connect || m == Method::renew) {
      p["ttlMs"] = lease_ms;
    }
    if (m == Method::connect) {
      p["pairingUrl"] = scope.pairing_url;
      for (const auto& [key, value] : scope.extra) {
        p.emplace(key, value);  // never replaces the members above
      }
    }
    return p;
  }

  Result<json::value> perform(Method m, milliseconds timeout) {
    if (m != Method::connect) {
      const std::lock_guard lock(mutex);
      if (!held) {
        return std::unexpected(make_error(ErrorKind::InvalidArgument, "The lease has ended."));
      }
    }
    // The host starts the 90 s when it forwards the request, which is after
    // this instant: counting from here errs on the early side.
    const auto sent_at = Clock::now();
    auto result = channel->call(method_name(m), params(m), timeout);
    {
      const std::lock_guard lock(mutex);
      if (result) {
        if (m == Method::connect || m == Method::renew) {
          held = true;
          renewed_at = sent_at;
          expires_at = sent_at + lease_length;
        } else {
          held = false;
        }
      } else if (!still_held_after(m, result.error())) {
        held = false;
      }
    }
    changed.notify_all();
    return result;
  }

  void renew_loop() {
    std::unique_lock lock(mutex);
    Clock::time_point retry_at{};  // after a refusal that kept the lease
    for (;;) {
      const auto renewed = renewed_at;
      const auto due = std::max(renewed + renew_every, retry_at);
      changed.wait_until(lock, due, [&] { return stopping || !held || renewed_at != renewed; });
      if (stopping || !held) {
        return;
      }
      if (renewed_at != renewed || Clock::now() < due) {
        continue;  // renewed by hand meanwhile
      }
      lock.unlock();
      auto result = perform(Method::renew, default_call_timeout);
      lock.lock();
      if (!result) {
        if (!held) {
          renewal_error = result.error();
          return;
        }
        retry_at = Clock::now() + std::chrono::seconds(1);
      }
    }
  }

  void stop() {
    {
      const std::lock_guard lock(mutex);
      stopping = true;
    }
    changed.notify_all();
    if (renewer.joinable()) {
      renewer.join();
    }
  }
};

Lease::Lease(std::shared_ptr<State> state) : state_(std::move(state)) {}
Lease::Lease(Lease&&) noexcept = default;

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    if (state_) {
      state_->stop();
    }
    state_ = std::move(other.state_);
  }
  return *this;
}

Lease::~Lease() {
  if (state_) {
    state_->stop();
  }
}

Result<Lease> Lease::acquire(Session& session, LeaseScope scope, Renewal renewal, milliseconds timeout,
                            milliseconds renew_every) {
  if (!session.channel_) {
    return std::unexpected(make_error(ErrorKind::Closed, "The session is closed."));
  }
  auto state = std::make_shared<State>();
  state->channel = session.channel_;
  state->profile_id = session.host().profile_id;
  state->scope = std::move(scope);
  state->renew_every = renew_every;
  if (auto result = state->perform(Method::connect, timeout); !result) {
    return std::unexpected(std::move(result.error()));
  }
  if (renewal == Renewal::automatic) {
    state->renewer = std::thread([raw = state.get()] { raw->renew_loop(); });
  }
  return Lease(std::move(state));
}

namespace {
Error moved_from() { return make_error(ErrorKind::InvalidArgument, "The lease has been moved away."); }
}  // namespace

Result<json::value> Lease::renew(milliseconds timeout) {
  return state_ ? state_->perform(Method::renew, timeout) : std::unexpected(moved_from());
}

Result<json::value> Lease::suspend(milliseconds timeout) {
  return state_ ? state_->perform(Method::suspend, timeout) : std::unexpected(moved_from());
}

Result<json::value> Lease::disconnect(milliseconds timeout) {
  return state_ ? state_->perform(Method::disconnect, timeout) : std::unexpected(moved_from());
}

bool Lease::held() const {
  if (!state_) {
    return false;
  }
  const std::lock_guard lock(state_->mutex);
  return state_->held && Clock::now() < state_->expires_at;
}

Clock::time_point Lease::expires_at() const {
  if (!state_) {
    return {};
  }
  const std::lock_guard lock(state_->mutex);
  return state_->expires_at;
}

std::optional<Error> Lease::renewal_error() const {
  if (!state_) {
    return std::nullopt;
  }
  const std::lock_guard lock(state_->mutex);
  return state_->renewal_error;
}

}  // namespace kelvarin::client
