#include "rules/dispatch.hpp"

#include "core/envelope.hpp"
#include "core/identity.hpp"
#include "rules/bridge_state.hpp"

namespace kelvarin {

namespace {

bool authenticated(const BridgeState& state, const json::value& message) {
  const auto* secret = member(message, "secret").if_string();
  return secret != nullptr && secret_equals(*secret, state.secret) && request_valid(message);
}

bool caller_owns(const BridgeState& state, ConnectionId id, const json::value& params) {
  return state.owner && state.owner->matches(id, params);
}

}  // namespace

void dispatch_client(BridgeState& state, Actions& actions, ConnectionId id, json::value message, Instant now) {
  const auto found = state.connections.find(id);
  if (found == state.connections.end()) {
    return;  // queued before its connection was removed
  }
  if (found->second.auth_deadline && *found->second.auth_deadline <= now) {
    remove_connection(state, actions, id);
    return;
  }
  const json::value request_id = member(message, "id");
  if (!authenticated(state, message)) {
    reply_to(state, actions, id, failure(request_id, errors::unauthorized));
    remove_connection(state, actions, id);
    if (state.owner && state.owner->connection_id == id) {
      release_owner(state, actions, "browser.suspend");
    }
    return;
  }
  found->second.auth_deadline.reset();

  auto& object = message.get_object();
  json::value& params = object["params"];
  const auto* method_member = object.if_contains("method");
  const std::string_view method =
      method_member != nullptr && method_member->is_string() ? std::string_view(method_member->get_string()) : "";

  const auto refuse = [&](const ErrorReply& error) { reply_to(state, actions, id, failure(request_id, error)); };

  if (method == "bridge.info") {
    reply_to(state, actions, id, response(request_id, to_json(state.info)));
    return;
  }
  if (method == "browser.connect") {
    if (!valid_connect(params, state.info.profile_id)) {
      return refuse(errors::invalid_connect);
    }
    if (state.owner && !state.owner->matches(id, params)) {
      return refuse(errors::browser_busy);
    }
  } else if (method == "browser.renew") {
    if (!caller_owns(state, id, params)) {
      return refuse(errors::not_owner);
    }
    if (!is_integer(member(params, "ttlMs"), required_ttl_ms)) {
      return refuse(errors::invalid_lease);
    }
  } else if (method == "browser.suspend" || method == "browser.disconnect") {
    if (!caller_owns(state, id, params)) {
      return refuse(errors::not_owner);
    }
  } else {
    return refuse(errors::unsupported_method);
  }

  for (const auto& [request, call] : state.pending) {
    if (call.connection_id == id) {
      return refuse(errors::busy);
    }
  }
  if (method == "browser.connect") {
    state.owner = Owner{.owner_id = std::string(params.at("ownerId").get_string()),
                        .account_id = std::string(params.at("accountId").get_string()),
                        .profile_id = state.info.profile_id,
                        .expires_at = now + state.limits.lease,
                        .connection_id = id};
  } else if (method == "browser.renew") {
    state.owner->expires_at = now + state.limits.lease;
  }
  const std::string method_text(method);
  forward_call(state, actions, id, request_id, method_text, std::move(params), now);
}

}  // namespace kelvarin
