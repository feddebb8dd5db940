#pragma once

// Registering the host with Chromium-family browsers: where each browser
// looks for native-messaging manifests, what install writes there and what
// uninstall removes. Nothing here reads the environment: HOME, the platform
// and any root prefix come in as parameters, so tests can use temporary
// directories and check the macOS table on Linux.

#include "core/trusted_extensions.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarin::bridge {

enum class Platform { Linux, MacOS };

[[nodiscard]] Platform current_platform();

// The directory name browsers give the user-level manifest directory inside
// their own directory (and inside a --user-data-dir).
inline constexpr std::string_view hosts_dir_name = "NativeMessagingHosts";

struct BrowserLocation {
  std::string_view name;          // what --browser takes, e.g. "chrome-beta"
  std::string_view display_name;  // for people
  std::string_view config_dir;    // the browser's own directory, relative to HOME
  std::string_view system_dir;    // the system-wide manifest directory; empty when it has none
};

[[nodiscard]] std::span<const BrowserLocation> browser_table(Platform platform);
[[nodiscard]] const BrowserLocation* find_browser(Platform platform, std::string_view name);
// "chrome, chrome-beta, ...": for messages about an unknown name.
[[nodiscard]] std::string browser_names(Platform platform);

// Why an operation was refused; the command turns the kind into its exit code.
struct Failure {
  enum class Kind { usage, refused, file };
  Kind kind = Kind::refused;
  std::string message;
};

template <class T>
using Outcome = std::expected<T, Failure>;

// Where the user's browsers live.
struct Place {
  std::string home;  // absolute
  Platform platform = Platform::Linux;
};

enum class Scope { user, system, user_data_dir };

// One manifest directory to write into or remove from.
struct Target {
  std::string browser;  // the table name; empty for a --user-data-dir
  Scope scope = Scope::user;
  std::string parent;   // must exist (user, user data dir) or is created (system)
  std::string leaf;     // the manifest directory's own name inside `parent`
  [[nodiscard]] std::string dir() const;
};

struct Selection {
  std::vector<std::string> browsers;        // table names
  std::vector<std::string> user_data_dirs;  // as given
  bool system = false;
  std::string root;  // prefixes every system path; empty for "/"
};

// The browser's own directory under HOME.
[[nodiscard]] std::string config_path(const Place& place, const BrowserLocation& browser);
// Whether that directory exists (a link to a directory counts).
[[nodiscard]] bool browser_found(const Place& place, const BrowserLocation& browser);

// The user-level target of a browser, and its system target (root-prefixed)
// when it has a system location.
[[nodiscard]] Target user_target(const Place& place, const BrowserLocation& browser);
[[nodiscard]] std::optional<Target> system_target(const BrowserLocation& browser, std::string_view root);
[[nodiscard]] Target user_data_dir_target(std::string_view dir);

// The directories a selection names, without duplicates (several channels
// share one system directory). For install, a named browser that is not
// found, a missing --user-data-dir and an empty default selection are
// refused; for uninstall they simply contribute nothing.
enum class Purpose { install, uninstall };
[[nodiscard]] Outcome<std::vector<Target>> select_targets(const Selection& selection, const Place& place,
                                                          Purpose purpose);

// An extra origin for allowed_origins: "chrome-extension://" + 32 letters
// a-p + "/". The failure is a usage error saying what is wrong.
[[nodiscard]] Outcome<void> check_origin(std::string_view origin);
[[nodiscard]] bool is_extension_origin(std::string_view origin);

// The host path made absolute (against the working directory, lexically
// normalised, links kept). It must name a regular executable file; with a
// root prefix it is looked for under that root.
[[nodiscard]] Outcome<std::string> check_host_path(std::string_view path, std::string_view root = {});

// The manifest install writes for one extension, with its trailing newline.
[[nodiscard]] std::string manifest_text(const ExtensionHost& host, std::string_view host_path,
                                        std::span<const std::string> extra_origins);

struct FileEntry {
  std::string browser;  // empty for a --user-data-dir
  std::string host_name;
  std::string path;
};

struct TargetFailure {
  std::string path;
  Failure failure;
};

struct InstallReport {
  std::vector<FileEntry> written;
  std::vector<TargetFailure> failures;
};

// Writes every manifest into every target: the manifest directory is
// created if missing (system targets: with any missing parents, all 0755),
// each file replaced atomically with mode 0644. A link or non-directory at
// the manifest directory, and a link or non-regular file at a manifest
// path, are refused and left untouched. A failed target does not stop the
// others.
[[nodiscard]] InstallReport install(std::span<const Target> targets, std::span<const ExtensionHost> hosts,
                                    std::string_view host_path, std::span<const std::string> extra_origins);

struct LeftEntry {
  std::string path;
  std::string reason;
};

struct UninstallReport {
  std::vector<FileEntry> removed;
  std::vector<std::string> removed_dirs;
  std::vector<LeftEntry> left;             // something other than install's file at a manifest path
  std::vector<TargetFailure> failures;     // a system call failed
};

// Removes each regular file <host name>.json whose "name" is that host name,
// then the manifest directory if that left it empty (never its parents).
[[nodiscard]] UninstallReport uninstall(std::span<const Target> targets, std::span<const ExtensionHost> hosts);

// The absolute path of the running program, when the system tells it.
[[nodiscard]] std::optional<std::string> running_executable();

}  // namespace kelvarin::bridge
