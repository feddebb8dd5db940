#include "rules/bridge_state.hpp"

#include "core/envelope.hpp"

#include <algorithm>

namespace kelvarin {

void reply_to(BridgeState& state, Actions& actions, ConnectionId id, json::value message) {
  if (state.connections.contains(id)) {
    actions.emplace_back(Reply{id, std::move(message)});
  }
}

std::optional<ConnectionId> admit_connection(BridgeState& state, Instant now) {
  if (state.connections.size() >= max_connections) {
    return std::nullopt;
  }
  const ConnectionId id = ++state.next_connection_id;
  state.connections.emplace(id, ConnectionState{now + state.limits.auth});
  return id;
}

void remove_connection(BridgeState& state, Actions& actions, ConnectionId id) {
  if (state.connections.erase(id) != 0) {
    actions.emplace_back(CloseConnection{id});
  }
}

void release_owner(BridgeState& state, Actions& actions, std::string_view method) {
  // Taken out before the message is built, so no second event can release it again.
  const Owner owner = std::move(*state.owner);
  state.owner.reset();
  actions.emplace_back(SendNative{owner.release(method, state.make_request_id())});
}

void close_connection(BridgeState& state, Actions& actions, ConnectionId id) {
  remove_connection(state, actions, id);
  std::erase_if(state.pending, [id](const auto& entry) { return entry.second.connection_id == id; });
  if (state.owner && state.owner->connection_id == id) {
    release_owner(state, actions, "browser.suspend");
  }
}

std::optional<Instant> next_wakeup(const BridgeState& state) {
  std::optional<Instant> earliest;
  const auto consider = [&earliest](Instant t) {
    if (!earliest || t < *earliest) {
      earliest = t;
    }
  };
  for (const auto& [request_id, call] : state.pending) {
    consider(call.deadline);
  }
  if (state.owner) {
    consider(state.owner->expires_at);
  }
  for (const auto& [id, connection] : state.connections) {
    if (connection.auth_deadline) {
      consider(*connection.auth_deadline);
    }
  }
  return earliest;
}

void sweep_expired(BridgeState& state, Actions& actions, Instant now) {
  std::vector<ConnectionId> silent;
  for (const auto& [id, connection] : state.connections) {
    if (connection.auth_deadline && *connection.auth_deadline <= now) {
      silent.push_back(id);
    }
  }
  for (const auto id : silent) {
    remove_connection(state, actions, id);
  }

  std::vector<std::string> timed_out;
  for (const auto& [request_id, call] : state.pending) {
    if (call.deadline <= now) {
      timed_out.push_back(request_id);
    }
  }
  for (const auto& request_id : timed_out) {
    auto node = state.pending.extract(request_id);
    const PendingCall& call = node.mapped();
    reply_to(state, actions, call.connection_id, failure(call.client_id, errors::extension_timeout));
    if (state.owner && state.owner->connection_id == call.connection_id) {
      release_owner(state, actions, call.method == "browser.disconnect" ? "browser.disconnect" : "browser.suspend");
    }
  }

  if (state.owner && state.owner->expires_at <= now) {
    const ConnectionId holder = state.owner->connection_id;
    release_owner(state, actions, "browser.suspend");
    remove_connection(state, actions, holder);
  }
}

}  // namespace kelvarin
