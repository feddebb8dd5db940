#include "channel.hpp"

#include <cstring>

namespace kelvarin::client {

std::string Error::text() const { return kind == ErrorKind::Remote ? code + ": " + message : message; }

Error make_error(ErrorKind kind, std::string message, int os_error) {
  return Error{.kind = kind, .code = {}, .message = std::move(message), .os_error = os_error};
}

Error from_errno(std::string what, int errno_value) {
  return make_error(ErrorKind::Io,
                    std::move(what) + ": " + std::strerror(errno_value) + " (os error " +
                        std::to_string(errno_value) + ").",
                    errno_value);
}

}  // namespace kelvarin::client
