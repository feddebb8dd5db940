#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarin {

// The extensions this host serves, in a fixed order; the first is the one the
// discovery directory is named after.
inline constexpr std::array<std::string_view, 2> trusted_extension_ids = {
    "ilimhgenbmakmldnokbdfbjkgakahhll",
    "kiellkahjdbnljcfdagkahjjnmgolnhb",
};

struct ExtensionHost {
  std::string host_name;  // the name browsers know the host by
  std::string origin;     // the extension's origin as the browser passes it
};

// The trusted extensions, in the order of `trusted_extension_ids`.
[[nodiscard]] std::vector<ExtensionHost> extension_hosts();

// The origin a browser passes for the first trusted extension.
[[nodiscard]] std::string first_trusted_origin();

// True when `origin` equals a trusted extension's origin byte for byte.
[[nodiscard]] bool trusted_origin(std::string_view origin);

}  // namespace kelvarin
