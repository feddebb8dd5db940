#pragma once

#include "core/json.hpp"
#include "core/limits.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvarin {

inline constexpr std::uint64_t required_ttl_ms = 90000;

// The client that holds the lease on the browser profile.
struct Owner {
  std::string owner_id;
  std::string account_id;
  std::string profile_id;
  Instant expires_at{};
  std::uint64_t connection_id = 0;

  // Whether a request on `connection` with these params comes from the holder:
  // the same connection and the same three identifiers.
  [[nodiscard]] bool matches(std::uint64_t connection, const json::value& params) const;

  // The message that tells the extension this lease has ended.
  [[nodiscard]] json::value release(std::string_view method, std::string_view request_id) const;

  friend bool operator==(const Owner&, const Owner&) = default;
};

// "ws://127.0.0.1:" + port 1..65535 + "/extension#" + a token, no white space.
[[nodiscard]] bool valid_pairing_url(std::string_view url);

// The params of an acceptable "browser.connect" for this host's profile.
[[nodiscard]] bool valid_connect(const json::value& params, std::string_view profile_id);

}  // namespace kelvarin
