#pragma once

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/limits.hpp"
#include "host/stdio_stream.hpp"

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvarin {

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
