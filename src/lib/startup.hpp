#pragma once

#include "error.hpp"
#include "json.hpp"
#include "limits.hpp"
#include "stdio_stream.hpp"

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvarin {

struct ExtensionHost {
  std::string host_name;  // the name browsers know the host by
  std::string origin;     // the extension's origin as the browser passes it
};

// The trusted extensions, in a fixed order.
[[nodiscard]] std::vector<ExtensionHost> extension_hosts();

// True when `origin` equals a trusted extension's origin byte for byte.
[[nodiscard]] bool trusted_origin(std::string_view origin);

// The hello's params member `key`: 1 to 128 bytes of text without control
// characters, copied unchanged; else "Invalid bridge metadata.".
[[nodiscard]] Result<std::string> bridge_metadata(const json::value& hello, std::string_view key);

// One whole run: the hello, publication, the serve loop and the teardown.
asio::awaitable<Status> serve(std::unique_ptr<StdioStream> input, std::unique_ptr<StdioStream> output,
                              std::string dir, Limits limits = {});

// The start-up task: the origin check, the protocol descriptors, the
// discovery directory, then `serve`.
asio::awaitable<Status> run_host(std::string_view origin);

}  // namespace kelvarin
