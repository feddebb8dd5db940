#pragma once

#include <chrono>

namespace kelvarin {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// The host's time limits. The binary always runs with these values; the
// library takes them as a parameter so tests can run the loop with short ones.
struct Limits {
  Clock::duration hello = std::chrono::seconds(10);       // the extension's first frame
  Clock::duration auth = std::chrono::seconds(3);         // a new client's first acceptable request
  Clock::duration send_native = std::chrono::seconds(3);  // one write to the extension
  Clock::duration reply = std::chrono::seconds(2);        // one write to a client
  Clock::duration call = std::chrono::seconds(30);        // the extension's answer to a forwarded call
  Clock::duration lease = std::chrono::seconds(90);       // one lease on the browser profile
};

// At most this many clients are connected at once.
inline constexpr std::size_t max_connections = 16;

}  // namespace kelvarin
