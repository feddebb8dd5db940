#pragma once

// Explains why a browser cannot start the host or a client cannot reach it:
// the manifests each browser would read, and the discovery directory the
// hosts publish in. Nothing here reads the environment.

#include "manifests.hpp"

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

namespace kelvarin::bridge {

enum class Severity { ok, warning, problem };

[[nodiscard]] std::string_view severity_name(Severity severity);

struct Finding {
  Severity severity = Severity::ok;
  std::string subject;  // a path or a browser
  std::string message;
  std::string hint;     // what to do; empty for ok
};

// The checks of one manifest that exists at `path` (a link or other
// non-regular file included), for `host`.
[[nodiscard]] std::vector<Finding> check_manifest(const std::string& path, const ExtensionHost& host);

// The manifests of every trusted host in a browser's directories: each
// present one checked, and a host with a manifest in neither reported as the
// browser's "not found", with `install_hint` as what to do.
[[nodiscard]] std::vector<Finding> check_registration(const std::string& subject, std::span<const Target> targets,
                                                      std::span<const ExtensionHost> hosts,
                                                      const std::string& install_hint);

// HOME/.kelvarin and the discovery directory below it: kinds, owners and
// modes, and each discovery file's host asked whether it still runs.
[[nodiscard]] std::vector<Finding> check_discovery(const std::string& home, uid_t uid,
                                                   std::chrono::milliseconds timeout);

struct DoctorRequest {
  Place place;
  std::vector<std::string> browsers;        // table names; none: every browser found
  std::vector<std::string> user_data_dirs;
  bool system = false;  // the system directories of every (named) browser, found or not, instead of the user's
  std::string root;     // prefixes system directories
  uid_t uid = 0;
  std::chrono::milliseconds timeout{2000};  // per host asked
};

// Every finding, in order: registrations, then discovery. Unknown browser
// names are a usage failure.
[[nodiscard]] Outcome<std::vector<Finding>> doctor(const DoctorRequest& request);

}  // namespace kelvarin::bridge
