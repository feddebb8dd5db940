#include "core/error.hpp"

#include <boost/asio/error.hpp>

#include <cerrno>
#include <cstring>

namespace kelvarin {

namespace {

ErrorKind kind_of_errno(int value) {
  switch (value) {
    case EACCES:
    case EPERM:
      return ErrorKind::PermissionDenied;
    case ENOENT:
      return ErrorKind::NotFound;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    case EPIPE:
      return ErrorKind::BrokenPipe;
    default:
      return ErrorKind::Other;
  }
}

const char* describe(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::PermissionDenied:
      return "permission denied";
    case ErrorKind::InvalidData:
      return "invalid data";
    case ErrorKind::TimedOut:
      return "timed out";
    case ErrorKind::UnexpectedEof:
      return "early eof";
    case ErrorKind::WriteZero:
      return "write zero";
    case ErrorKind::NotFound:
      return "entity not found";
    case ErrorKind::AlreadyExists:
      return "entity already exists";
    case ErrorKind::BrokenPipe:
      return "broken pipe";
    case ErrorKind::Other:
      break;
  }
  return "other error";
}

}  // namespace

std::string Error::text() const {
  if (message) {
    return *message;
  }
  if (os_error != 0) {
    return std::string(std::strerror(os_error)) + " (os error " + std::to_string(os_error) + ")";
  }
  return describe(kind);
}

Error invalid(std::string message) {
  return Error{.kind = ErrorKind::InvalidData, .message = std::move(message), .os_error = 0};
}

Error error_of(ErrorKind kind) { return Error{.kind = kind, .message = std::nullopt, .os_error = 0}; }

Error system_error(int errno_value) {
  return Error{.kind = kind_of_errno(errno_value), .message = std::nullopt, .os_error = errno_value};
}

Error system_error(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::eof) {
    return error_of(ErrorKind::UnexpectedEof);
  }
  if (ec.category() == boost::system::system_category() ||
      ec.category() == boost::system::generic_category()) {
    return system_error(ec.value());
  }
  return Error{.kind = ErrorKind::Other, .message = ec.message(), .os_error = 0};
}

Error last_system_error() { return system_error(errno); }

}  // namespace kelvarin
