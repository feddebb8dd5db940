#pragma once

// How a client-library error is shown and which exit code it gives.

#include "cli.hpp"

#include "kelvarin/client.hpp"

namespace kelvarin::bridge {

// The error's code for --json: the reply's code for Remote errors, else the
// kind ("not_found", "timed_out", ...).
[[nodiscard]] std::string error_code(const client::Error& error);
[[nodiscard]] int exit_code(const client::Error& error);
// Reports `error` through `output` and gives its exit code.
int report(const Output& output, const client::Error& error);

}  // namespace kelvarin::bridge
