#include "core/trusted_extensions.hpp"

namespace kelvarin {

namespace {

std::string origin_of(std::string_view id) { return "chrome-extension://" + std::string(id) + "/"; }

}  // namespace

std::vector<ExtensionHost> extension_hosts() {
  std::vector<ExtensionHost> hosts;
  for (const auto id : trusted_extension_ids) {
    hosts.push_back({.host_name = "com.kelvarin.browser." + std::string(id), .origin = origin_of(id)});
  }
  return hosts;
}

std::string first_trusted_origin() { return origin_of(trusted_extension_ids.front()); }

bool trusted_origin(std::string_view origin) {
  for (const auto id : trusted_extension_ids) {
    if (origin_of(id) == origin) {
      return true;
    }
  }
  return false;
}

}  // namespace kelvarin
