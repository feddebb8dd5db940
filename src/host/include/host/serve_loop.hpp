#pragma once

#include "core/error.hpp"
#include "host/connection.hpp"
#include "host/readers.hpp"
#include "host/stdio_stream.hpp"
#include "rules/bridge_state.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace kelvarin {

// What serve lends the loop for its whole life.
struct LoopState {
  BridgeState& bridge;
  Connections& connections;
  asio::ip::tcp::acceptor& listener;
  EventQueue& queue;
  StdioStream& out;
};

// Runs until the extension's input ends (success, or the frame error it ended
// on), an accept fails, or a write to the extension fails.
asio::awaitable<Status> serve_loop(LoopState loop);

// IPv4 127/8 or IPv6 ::1 exactly; an IPv4-mapped address does not count.
[[nodiscard]] bool loopback_peer(const asio::ip::address& address);

}  // namespace kelvarin
