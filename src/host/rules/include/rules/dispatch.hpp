#pragma once

#include "core/json.hpp"
#include "core/limits.hpp"
#include "rules/actions.hpp"

namespace kelvarin {

struct BridgeState;

// Settles one client frame: the connection's standing, authentication by the
// secret and the envelope, the method and its gates; answers it or forwards it.
void dispatch_client(BridgeState& state, Actions& actions, ConnectionId id, json::value message, Instant now);

}  // namespace kelvarin
