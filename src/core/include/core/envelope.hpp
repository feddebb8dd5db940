#pragma once

#include "core/json.hpp"

#include <string_view>

namespace kelvarin {

// A code and message of an error reply the host makes itself.
struct ErrorReply {
  std::string_view code;
  std::string_view message;
};

namespace errors {
inline constexpr ErrorReply unauthorized{"unauthorized", "Invalid bridge authentication or request."};
inline constexpr ErrorReply unsupported_method{"unsupported_method", "Unsupported native bridge method."};
inline constexpr ErrorReply not_owner{"not_owner", "This client does not own the browser connection."};
inline constexpr ErrorReply invalid_lease{"invalid_input", "Lease must be 90000 milliseconds."};
inline constexpr ErrorReply invalid_connect{"invalid_input", "Invalid connection scope, pairing URL or lease."};
inline constexpr ErrorReply browser_busy{"browser_busy", "This browser profile is controlled by another client."};
inline constexpr ErrorReply busy{"busy", "Wait for the previous browser request."};
inline constexpr ErrorReply extension_timeout{"extension_timeout", "The browser extension did not respond."};
}  // namespace errors

// A request: "version" the integer 1, "id" an identifier, "params" an object.
[[nodiscard]] bool request_valid(const json::value& message);

// An answer from the extension: "version" the integer 1, exactly one of
// "result" and "error" present, "id" a string.
[[nodiscard]] bool answer_valid(const json::value& message);

// The success reply for request id `id`; `result` becomes part of it.
[[nodiscard]] json::value response(const json::value& id, json::value result);

// The error reply for request id `id`.
[[nodiscard]] json::value failure(const json::value& id, std::string_view code, std::string_view message);
[[nodiscard]] json::value failure(const json::value& id, const ErrorReply& error);

// A request made by the host, for the extension.
[[nodiscard]] json::value request(std::string_view id, std::string_view method, json::value params);

}  // namespace kelvarin
