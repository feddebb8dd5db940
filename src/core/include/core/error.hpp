#pragma once

#include <boost/system/error_code.hpp>

#include <expected>
#include <optional>
#include <string>

namespace kelvarin {

// The kinds the host makes itself, plus the ones start-up tells apart when it
// meets a system error. Every other system error keeps the kind Other and is
// recognised by its errno value.
enum class ErrorKind {
  PermissionDenied,
  InvalidData,
  TimedOut,
  UnexpectedEof,
  WriteZero,
  NotFound,
  AlreadyExists,
  BrokenPipe,
  Other,
};

// An I/O error as a value: a kind, the host's own message if it made one, and
// the errno value when the system reported it.
struct Error {
  ErrorKind kind = ErrorKind::Other;
  std::optional<std::string> message;
  int os_error = 0;

  // The display text: the message, else the system's description with its
  // number, else the kind's fixed description.
  [[nodiscard]] std::string text() const;

  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

using Status = Result<void>;

// An error of kind InvalidData carrying the given message.
[[nodiscard]] Error invalid(std::string message);

// An error of a bare kind: its text is the kind's description.
[[nodiscard]] Error error_of(ErrorKind kind);

// A system error from an errno value; its kind follows the value.
[[nodiscard]] Error system_error(int errno_value);

// The same from an error code of the system or Asio categories. End of stream
// is not a system error and becomes UnexpectedEof.
[[nodiscard]] Error system_error(const boost::system::error_code& ec);

// The last errno, for the call that just failed.
[[nodiscard]] Error last_system_error();

}  // namespace kelvarin
