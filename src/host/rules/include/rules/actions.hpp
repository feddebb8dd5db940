#pragma once

#include "core/json.hpp"

#include <cstdint>
#include <iosfwd>
#include <variant>
#include <vector>

namespace kelvarin {

using ConnectionId = std::uint64_t;

// What the loop must do, in order. The bridge rules decide on plain state;
// the serve loop performs the writes and closes exactly in this order and
// stops at the first failed write to the extension.
struct Reply {
  ConnectionId id = 0;
  json::value message;
  friend bool operator==(const Reply&, const Reply&) = default;
};

struct SendNative {
  json::value message;
  friend bool operator==(const SendNative&, const SendNative&) = default;
};

struct CloseConnection {
  ConnectionId id = 0;
  friend bool operator==(const CloseConnection&, const CloseConnection&) = default;
};

using Action = std::variant<Reply, SendNative, CloseConnection>;
using Actions = std::vector<Action>;

// Readable form for test failures: the kind, the connection and the JSON text.
std::ostream& operator<<(std::ostream& os, const Action& action);

}  // namespace kelvarin
