#pragma once

#include "core/json.hpp"
#include "core/limits.hpp"
#include "rules/actions.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvarin {

struct BridgeState;

// A call forwarded to the extension and not yet answered, keyed in the
// pending table by the request id the extension saw.
struct PendingCall {
  std::string method;
  Instant deadline{};
  json::value client_id;
  ConnectionId connection_id = 0;
  friend bool operator==(const PendingCall&, const PendingCall&) = default;
};

// Records the call under a fresh request id and sends the extension the
// client's method and params, without the client's secret or id.
void forward_call(BridgeState& state, Actions& actions,
                  ConnectionId connection, const json::value& client_id, std::string_view method, json::value params,
                  Instant now);

// Matches a frame from the extension to its call, applies the lease effects
// and relays it to the client with the client's own id.
void complete_call(BridgeState& state, Actions& actions,
                   json::value message);

}  // namespace kelvarin
