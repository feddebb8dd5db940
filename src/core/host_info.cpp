#include "core/host_info.hpp"

namespace kelvarin {

json::value to_json(const HostInfo& info) {
  return json::object{
      {"version", static_cast<std::uint64_t>(info.version)},
      {"hostId", info.host_id},
      {"profileId", info.profile_id},
      {"browserName", info.browser_name},
      {"extensionVersion", info.extension_version},
  };
}

}  // namespace kelvarin
