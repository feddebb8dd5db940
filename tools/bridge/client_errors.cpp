#include "client_errors.hpp"

namespace kelvarin::bridge {

std::string error_code(const client::Error& error) {
  switch (error.kind) {
    case client::ErrorKind::NotFound:
      return "not_found";
    case client::ErrorKind::Ambiguous:
      return "ambiguous";
    case client::ErrorKind::Io:
      return "io";
    case client::ErrorKind::TimedOut:
      return "timed_out";
    case client::ErrorKind::Closed:
      return "closed";
    case client::ErrorKind::Protocol:
      return "protocol";
    case client::ErrorKind::Remote:
      return error.code;
    case client::ErrorKind::InvalidArgument:
      return "invalid_argument";
  }
  return "error";
}

int exit_code(const client::Error& error) {
  switch (error.kind) {
    case client::ErrorKind::NotFound:
      return exit_no_host;
    case client::ErrorKind::Ambiguous:
    case client::ErrorKind::InvalidArgument:
      return exit_usage;
    case client::ErrorKind::Remote:
      return exit_failed;
    case client::ErrorKind::Io:
    case client::ErrorKind::TimedOut:
    case client::ErrorKind::Closed:
    case client::ErrorKind::Protocol:
      return exit_unreachable;
  }
  return exit_failed;
}

int report(const Output& output, const client::Error& error) {
  if (output.json && error.kind == client::ErrorKind::Remote) {
    output.document(json::object{{"error", json::object{{"code", error.code}, {"message", error.message}}}});
    return exit_code(error);
  }
  const std::string hint = error.kind == client::ErrorKind::Ambiguous ? " Give it with --profile ID." : "";
  return output.fail(exit_code(error), error_code(error), error.text() + hint);
}

}  // namespace kelvarin::bridge
