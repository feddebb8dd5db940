#pragma once

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/limits.hpp"
#include "host/connection.hpp"
#include "host/stdio_stream.hpp"

#include <boost/asio/awaitable.hpp>

namespace kelvarin {

// Writes one message to the extension within `limit`. Any failure ends the host.
asio::awaitable<Status> send_native(StdioStream& out, const json::value& message,
                                    Clock::duration limit = Limits{}.send_native);

// Writes one message to a client within `limit`; nothing is reported. A reply
// that gave up after part of its frame was written marks the connection
// broken, for the loop to close.
asio::awaitable<void> reply(Connections& connections, ConnectionId id, const json::value& message,
                            Clock::duration limit = Limits{}.reply);

}  // namespace kelvarin
