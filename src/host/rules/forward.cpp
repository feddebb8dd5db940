#include "rules/forward.hpp"

#include "core/envelope.hpp"
#include "rules/bridge_state.hpp"

namespace kelvarin {

void forward_call(BridgeState& state, Actions& actions, ConnectionId connection, const json::value& client_id,
                  std::string_view method, json::value params, Instant now) {
  auto request_id = state.make_request_id();
  auto message = request(request_id, method, std::move(params));
  state.pending.insert_or_assign(std::move(request_id), PendingCall{.method = std::string(method),
                                                                    .deadline = now + state.limits.call,
                                                                    .client_id = client_id,
                                                                    .connection_id = connection});
  actions.emplace_back(SendNative{std::move(message)});
}

void complete_call(BridgeState& state, Actions& actions, json::value message) {
  if (!answer_valid(message)) {
    return;
  }
  auto& answer = message.get_object();
  const auto found = state.pending.find(std::string(answer.at("id").get_string()));
  if (found == state.pending.end()) {
    return;  // timed out, dropped with its client, or never issued
  }
  auto node = state.pending.extract(found);
  PendingCall& call = node.mapped();
  if (state.owner && state.owner->connection_id == call.connection_id) {
    const bool is_error = answer.contains("error");
    if (!is_error && (call.method == "browser.suspend" || call.method == "browser.disconnect")) {
      state.owner.reset();
    } else if (is_error && call.method != "browser.disconnect") {
      release_owner(state, actions, "browser.suspend");
    }
  }
  answer["id"] = std::move(call.client_id);
  reply_to(state, actions, call.connection_id, std::move(message));
}

}  // namespace kelvarin
