#pragma once

#include "core/json.hpp"

#include <cstdint>
#include <string>

namespace kelvarin {

// The description of one host: in the hello reply, the discovery file and the
// answer to "bridge.info".
struct HostInfo {
  std::uint8_t version = 1;
  std::string host_id;
  std::string profile_id;
  std::string browser_name;
  std::string extension_version;
};

// The five members "browserName", "extensionVersion", "hostId", "profileId"
// and "version".
[[nodiscard]] json::value to_json(const HostInfo& info);

// The host's published identity.
struct Bridge {
  HostInfo info;
  std::string secret;
  std::uint16_t port = 0;
};

}  // namespace kelvarin
