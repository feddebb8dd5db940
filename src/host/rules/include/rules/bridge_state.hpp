#pragma once

#include "core/host_info.hpp"
#include "core/json.hpp"
#include "core/limits.hpp"
#include "rules/actions.hpp"
#include "rules/forward.hpp"
#include "rules/lease.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

namespace kelvarin {

// A client connection as the bridge rules see it. `auth_deadline` is present
// until the connection's first request passes authentication.
struct ConnectionState {
  std::optional<Instant> auth_deadline;
};

// Everything the serve loop decides on. Only the loop changes it.
struct BridgeState {
  HostInfo info;
  std::string secret;
  Limits limits;
  std::unordered_map<std::string, PendingCall> pending;
  std::optional<Owner> owner;
  std::unordered_map<ConnectionId, ConnectionState> connections;
  ConnectionId next_connection_id = 0;
  // Fresh ids for the requests the host sends the extension.
  std::function<std::string()> make_request_id;
};

// A reply to connection `id`, if it is still in the table.
void reply_to(BridgeState& state, Actions& actions, ConnectionId id, json::value message);

// The next id for an accepted connection, or nothing when the table is full.
[[nodiscard]] std::optional<ConnectionId> admit_connection(BridgeState& state, Instant now);

// Removes connection `id` from the table, if present, and closes it.
void remove_connection(BridgeState& state, Actions& actions, ConnectionId id);

// Takes the owner out and tells the extension with the given method.
void release_owner(BridgeState& state, Actions& actions, std::string_view method);

// The connection's input ended: it goes, with its pending calls and its lease.
void close_connection(BridgeState& state, Actions& actions, ConnectionId id);

// The earliest tracked deadline: authentication, forwarded calls, the lease.
[[nodiscard]] std::optional<Instant> next_wakeup(const BridgeState& state);

// Everything whose deadline is not later than `now`.
void sweep_expired(BridgeState& state, Actions& actions, Instant now);

}  // namespace kelvarin
