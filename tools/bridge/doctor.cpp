#include "doctor.hpp"

#include "core/discovery.hpp"
#include "core/json.hpp"
#include "kelvarin/client.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin::bridge {

namespace {

constexpr std::string_view not_found_text = "Specified native messaging host not found.";
constexpr std::string_view forbidden_text = "Access to the specified native messaging host is forbidden.";

Finding ok(std::string subject, std::string message) {
  return Finding{Severity::ok, std::move(subject), std::move(message), ""};
}

Finding warning(std::string subject, std::string message, std::string hint) {
  return Finding{Severity::warning, std::move(subject), std::move(message), std::move(hint)};
}

Finding problem(std::string subject, std::string message, std::string hint) {
  return Finding{Severity::problem, std::move(subject), std::move(message), std::move(hint)};
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Writable by others is an open door: anyone could point the browser at a
// program of their own. Writable by the group is one only if the group is
// shared, so it is worth a warning.
void check_writable(std::vector<Finding>& findings, const std::string& path, const struct stat& st,
                    std::string_view what, std::string_view fix_mode) {
  const std::string fix = "chmod " + std::string(fix_mode) + " " + quoted(path);
  if ((st.st_mode & S_IWOTH) != 0) {
    findings.push_back(problem(path,
                               std::string(what) + " is writable by every user (mode " + octal(st.st_mode) +
                                   "): anyone could make the browser start a program of theirs.",
                               fix));
  } else if ((st.st_mode & S_IWGRP) != 0) {
    findings.push_back(warning(path,
                               std::string(what) + " is writable by its group (mode " + octal(st.st_mode) +
                                   "): every member could make the browser start a program of theirs.",
                               fix));
  }
}

std::optional<std::string> read_file(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      ::close(fd);
      if (n < 0) {
        return std::nullopt;
      }
      return text;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
}

void check_host_program(std::vector<Finding>& findings, const std::string& manifest, const json::value& value) {
  const std::string rewrite = "Run kelvarin-bridge install (with --host-path PATH if the host is elsewhere).";
  const auto* path = value.if_string();
  if (path == nullptr) {
    findings.push_back(problem(manifest, "\"path\" is missing or not a string.", rewrite));
    return;
  }
  const std::string program(*path);
  if (!program.starts_with('/')) {
    findings.push_back(problem(manifest,
                               "\"path\" " + quoted(program) +
                                   " is not absolute; on Linux and macOS the browser needs an absolute path.",
                               rewrite));
    return;
  }
  struct stat st {};
  if (::stat(program.c_str(), &st) != 0) {
    findings.push_back(problem(manifest,
                               "\"path\" " + quoted(program) + " does not exist (" + std::strerror(errno) +
                                   "): the browser cannot start the host.",
                               rewrite));
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    findings.push_back(
        problem(manifest, "\"path\" " + quoted(program) + " is not a regular file: the browser cannot start it.", rewrite));
    return;
  }
  if ((st.st_mode & 0111) == 0 || ::access(program.c_str(), X_OK) != 0) {
    findings.push_back(problem(manifest,
                               "\"path\" " + quoted(program) + " is not executable: the browser cannot start it.",
                               "chmod 755 " + quoted(program)));
    return;
  }
  check_writable(findings, program, st, "the host program", "755");
}

void check_origins(std::vector<Finding>& findings, const std::string& manifest, const json::value& value,
                   const ExtensionHost& host) {
  const std::string rewrite = "Run kelvarin-bridge install to rewrite the manifest.";
  const auto* origins = value.if_array();
  if (origins == nullptr ||
      std::ranges::any_of(*origins, [](const json::value& origin) { return !origin.is_string(); })) {
    findings.push_back(problem(manifest, "\"allowed_origins\" is missing or not an array of strings.", rewrite));
    return;
  }
  bool allowed = false;
  for (const auto& entry : *origins) {
    const std::string origin(entry.get_string());
    if (origin == host.origin) {
      allowed = true;
      continue;
    }
    // Its own origin without the "/" is reported as exactly that, once.
    allowed = allowed || origin + "/" == host.origin;
    if (auto checked = check_origin(origin); !checked) {
      // The browser rejects a manifest with any malformed origin, so one
      // bad entry hides the good ones.
      const bool missing_slash = is_extension_origin(origin + "/");
      findings.push_back(problem(manifest,
                                 missing_slash ? "the origin " + quoted(origin) +
                                                     " lacks its trailing \"/\": the browser rejects the manifest."
                                               : "the origin " + quoted(origin) +
                                                     " is not an extension origin (chrome-extension://<32 letters "
                                                     "a-p>/): the browser rejects the manifest.",
                                 missing_slash ? "Write it as " + quoted(origin + "/") + "." : rewrite));
    }
  }
  if (!allowed) {
    findings.push_back(problem(manifest,
                               "\"allowed_origins\" does not hold " + host.origin + ": the browser refuses the extension (\"" +
                                   std::string(forbidden_text) + "\").",
                               rewrite));
  }
}

// Checks one directory that may hold manifests; false when it cannot.
bool check_hosts_dir(std::vector<Finding>& findings, const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    // The browser follows it, so the manifests inside still count.
    findings.push_back(warning(dir, "is a symbolic link; install and uninstall refuse to work through it.",
                               "Replace it with a directory if you did not make the link."));
    struct stat target {};
    return ::stat(dir.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  }
  if (!S_ISDIR(st.st_mode)) {
    findings.push_back(problem(dir, "is not a directory, so the browser finds no manifest in it.",
                               "Remove it and run kelvarin-bridge install."));
    return false;
  }
  check_writable(findings, dir, st, "the manifest directory", "755");
  return true;
}

// Checks a private directory of the host's; false when there is nothing to
// look at inside.
bool check_private_dir(std::vector<Finding>& findings, const std::string& dir, uid_t uid) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      findings.push_back(ok(dir, "does not exist yet: no host has run for this user. The host creates it."));
    } else {
      findings.push_back(problem(dir, std::string("cannot be examined: ") + std::strerror(errno) + ".",
                                 "Check the permissions of its parent directories."));
    }
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    findings.push_back(problem(dir, "is a symbolic link: the host refuses it and fails to start.",
                               "Remove the link; the host creates the directory itself."));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    findings.push_back(problem(dir, "is not a directory: the host fails to start.",
                               "Remove it; the host creates the directory itself."));
    return false;
  }
  if (st.st_uid != uid) {
    findings.push_back(problem(dir,
                               "is owned by user " + std::to_string(st.st_uid) + ", not by you (" +
                                   std::to_string(uid) + "): the host cannot secure it and fails to start.",
                               "Remove it, or give it to yourself with chown."));
    return false;
  }
  if ((st.st_mode & 07777) != 0700) {
    findings.push_back(warning(dir, "has mode " + octal(st.st_mode) + ", not 0700; the host resets it when it next starts.",
                               "chmod 700 " + quoted(dir)));
  } else {
    findings.push_back(ok(dir, "is a private directory (mode 0700)."));
  }
  return true;
}

// The modes and owners of the *.json files; gives the paths not worth
// handing to the scan.
std::vector<std::string> check_discovery_files(std::vector<Finding>& findings, const std::string& dir, uid_t uid) {
  std::vector<std::string> skipped;
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) {
    findings.push_back(problem(dir, std::string("cannot be read: ") + std::strerror(errno) + ".",
                               "chmod 700 " + quoted(dir)));
    return skipped;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name.ends_with(".json") && !name.starts_with('.')) {
      names.push_back(name);
    }
  }
  ::closedir(stream);
  std::ranges::sort(names);
  for (const auto& name : names) {
    const std::string path = join_path(dir, name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      continue;  // removed by its host in the meantime
    }
    if (!S_ISREG(st.st_mode)) {
      findings.push_back(problem(path,
                                 S_ISLNK(st.st_mode) ? "is a symbolic link; a host never makes one."
                                                     : "is not a regular file; a host never makes one.",
                                 "Delete it."));
      skipped.push_back(path);
      continue;
    }
    if (st.st_uid != uid) {
      findings.push_back(problem(path, "is owned by user " + std::to_string(st.st_uid) + ", not by you.",
                                 "Delete it unless you know where it came from."));
      skipped.push_back(path);
      continue;
    }
    if ((st.st_mode & 077) != 0) {
      findings.push_back(problem(path,
                                 "has mode " + octal(st.st_mode) +
                                     ": other users can read the host's secret and act as a client.",
                                 "chmod 600 " + quoted(path)));
    } else if ((st.st_mode & 07777) != 0600) {
      findings.push_back(warning(path, "has mode " + octal(st.st_mode) + ", not 0600.", "chmod 600 " + quoted(path)));
    }
  }
  return skipped;
}

void check_hosts(std::vector<Finding>& findings, const std::string& dir, const std::vector<std::string>& skipped,
                 std::chrono::milliseconds timeout) {
  auto scan = client::scan_hosts(dir);
  if (!scan) {
    findings.push_back(problem(dir, "cannot be scanned: " + scan.error().text(), "chmod 700 " + quoted(dir)));
    return;
  }
  for (const auto& path : scan->unreadable) {
    if (std::ranges::find(skipped, path) == skipped.end()) {
      findings.push_back(problem(path, "is not a discovery document a client can use.",
                                 "Delete it unless a host is starting at this moment."));
    }
  }
  if (scan->hosts.empty()) {
    findings.push_back(ok(dir, "holds no discovery file: no host is running."));
  }
  for (const auto& host : scan->hosts) {
    if (std::ranges::find(skipped, host.path) != skipped.end()) {
      continue;
    }
    const std::string what = "host " + host.host_id + " (profile " + quoted(host.profile_id) + ", " +
                             host.browser_name + ", port " + std::to_string(host.port) + ")";
    auto session = client::Session::open(host, timeout);
    if (session) {
      findings.push_back(ok(host.path, what + " is running and answers."));
      continue;
    }
    if (session.error().kind == client::ErrorKind::TimedOut) {
      findings.push_back(warning(host.path, what + " did not answer in time; it may be busy or hung.",
                                 "Run kelvarin-bridge doctor again; if it stays so, restart the browser."));
      continue;
    }
    findings.push_back(warning(host.path,
                               "is stale: " + what + " does not answer (" + session.error().text() +
                                   "). Its host was killed before it could remove the file.",
                               "Delete it: rm " + quoted(host.path)));
  }
}

}  // namespace

std::string_view severity_name(Severity severity) {
  switch (severity) {
    case Severity::ok:
      return "ok";
    case Severity::warning:
      return "warning";
    case Severity::problem:
      return "problem";
  }
  return "problem";
}

std::vector<Finding> check_manifest(const std::string& path, const ExtensionHost& host) {
  std::vector<Finding> findings;
  const std::string rewrite = "Run kelvarin-bridge install to rewrite it.";
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    findings.push_back(problem(path, std::string("cannot be examined: ") + std::strerror(errno) + ".",
                               "Check the permissions of its directory."));
    return findings;
  }
  if (S_ISLNK(st.st_mode)) {
    findings.push_back(problem(path, "is a symbolic link; install never writes one and refuses to replace it.",
                               "Remove it if you did not make it, then run kelvarin-bridge install."));
    return findings;
  }
  if (!S_ISREG(st.st_mode)) {
    findings.push_back(problem(path, "is not a regular file: the browser cannot read it as a manifest.",
                               "Remove it, then run kelvarin-bridge install."));
    return findings;
  }
  int error = 0;
  const auto text = read_file(path, error);
  if (!text) {
    findings.push_back(problem(path, std::string("cannot be read: ") + std::strerror(error) + ".",
                               "chmod 644 " + quoted(path)));
    return findings;
  }
  check_writable(findings, path, st, "the manifest", "644");
  const auto document = parse_json(*text);
  if (!document || !document->is_object()) {
    findings.push_back(problem(path, "is not a JSON object: the browser rejects it.", rewrite));
    return findings;
  }
  const std::size_t before = findings.size();
  const auto& name = member(*document, "name");
  if (!is_text(name, host.host_name)) {
    findings.push_back(problem(path,
                               name.is_string() ? "\"name\" is " + quoted(name.get_string()) + ", not " +
                                                      quoted(host.host_name) + " as its file name says."
                                                : "\"name\" is missing or not a string.",
                               rewrite));
  }
  if (!is_text(member(*document, "type"), "stdio")) {
    findings.push_back(problem(path, "\"type\" is not \"stdio\": the browser rejects it.", rewrite));
  }
  check_host_program(findings, path, member(*document, "path"));
  check_origins(findings, path, member(*document, "allowed_origins"), host);
  if (std::ranges::none_of(findings.begin() + static_cast<std::ptrdiff_t>(before), findings.end(),
                           [](const Finding& f) { return f.severity == Severity::problem; })) {
    findings.push_back(ok(path, "is a valid manifest for " + host.host_name + "."));
  }
  return findings;
}

std::vector<Finding> check_registration(const std::string& subject, std::span<const Target> targets,
                                        std::span<const ExtensionHost> hosts, const std::string& install_hint) {
  std::vector<Finding> findings;
  std::vector<std::string> dirs;
  for (const auto& target : targets) {
    if (check_hosts_dir(findings, target.dir())) {
      dirs.push_back(target.dir());
    }
  }
  for (const auto& host : hosts) {
    bool present = false;
    for (const auto& dir : dirs) {
      const std::string path = join_path(dir, host.host_name + ".json");
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0) {
        continue;
      }
      present = true;
      auto checked = check_manifest(path, host);
      findings.insert(findings.end(), checked.begin(), checked.end());
    }
    if (!present) {
      std::string looked;
      for (const auto& target : targets) {
        looked += (looked.empty() ? "" : " or ") + target.dir();
      }
      findings.push_back(problem(subject,
                                 "has no manifest for " + host.host_name + " (looked in " + looked +
                                     "): the browser reports \"" + std::string(not_found_text) + "\"",
                                 install_hint));
    }
  }
  return findings;
}

std::vector<Finding> check_discovery(const std::string& home, uid_t uid, std::chrono::milliseconds timeout) {
  std::vector<Finding> findings;
  const std::string data = join_path(home, data_dir_name);
  if (!check_private_dir(findings, data, uid)) {
    return findings;
  }
  const std::string dir = join_path(data, discovery_dir_name);
  if (!check_private_dir(findings, dir, uid)) {
    return findings;
  }
  const auto skipped = check_discovery_files(findings, dir, uid);
  check_hosts(findings, dir, skipped, timeout);
  return findings;
}

Outcome<std::vector<Finding>> doctor(const DoctorRequest& request) {
  const auto& place = request.place;
  std::vector<const BrowserLocation*> named;
  for (const auto& name : request.browsers) {
    const auto* browser = find_browser(place.platform, name);
    if (browser == nullptr) {
      return std::unexpected(Failure{Failure::Kind::usage, "unknown browser " + name + "; known here: " +
                                                               browser_names(place.platform) + "."});
    }
    named.push_back(browser);
  }
  if (request.system && !request.user_data_dirs.empty()) {
    return std::unexpected(Failure{Failure::Kind::usage, "--user-data-dir cannot be combined with --system."});
  }
  const auto hosts = extension_hosts();
  std::vector<Finding> findings;

  if (request.system) {
    std::vector<std::string> seen;
    for (const auto& browser : browser_table(place.platform)) {
      const bool wanted = named.empty() || std::ranges::find(named, &browser) != named.end();
      if (!wanted) {
        continue;
      }
      auto target = system_target(browser, request.root);
      if (!target) {
        if (!named.empty()) {
          findings.push_back(warning(std::string(browser.display_name), "has no system-wide manifest directory.",
                                     "Check its user directory: kelvarin-bridge doctor --browser " +
                                         std::string(browser.name)));
        }
        continue;
      }
      if (std::ranges::find(seen, target->dir()) != seen.end()) {
        continue;
      }
      seen.push_back(target->dir());
      const Target targets[] = {*target};
      auto checked = check_registration(std::string(browser.display_name) + " (system)", targets, hosts,
                                        "Run: sudo kelvarin-bridge install --system --browser " +
                                            std::string(browser.name));
      findings.insert(findings.end(), checked.begin(), checked.end());
    }
  } else {
    std::vector<const BrowserLocation*> browsers = named;
    if (named.empty() && request.user_data_dirs.empty()) {
      for (const auto& browser : browser_table(place.platform)) {
        if (browser_found(place, browser)) {
          browsers.push_back(&browser);
        }
      }
      if (browsers.empty()) {
        findings.push_back(warning(place.home, "holds no browser this tool knows.",
                                   "Pass --browser NAME or --user-data-dir DIR."));
      }
    }
    for (const auto* browser : browsers) {
      const std::string subject(browser->display_name);
      if (!browser_found(place, *browser)) {
        findings.push_back(problem(subject, "was not found: " + config_path(place, *browser) + " does not exist.",
                                   "Start the browser once, or pass --user-data-dir for a browser started with one."));
        continue;
      }
      findings.push_back(ok(subject, "found at " + config_path(place, *browser) + "."));
      std::vector<Target> targets{user_target(place, *browser)};
      if (auto system = system_target(*browser, request.root)) {
        targets.push_back(std::move(*system));
      }
      auto checked = check_registration(subject, targets, hosts,
                                        "Run: kelvarin-bridge install --browser " + std::string(browser->name));
      findings.insert(findings.end(), checked.begin(), checked.end());
    }
    for (const auto& dir : request.user_data_dirs) {
      const Target target = user_data_dir_target(dir);
      struct stat st {};
      if (::stat(target.parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        findings.push_back(problem(target.parent, "does not exist or is not a directory.",
                                   "Pass the directory the browser was started with as --user-data-dir."));
        continue;
      }
      const Target targets[] = {target};
      auto checked = check_registration(target.parent, targets, hosts,
                                        "Run: kelvarin-bridge install --user-data-dir " + quoted(target.parent));
      findings.insert(findings.end(), checked.begin(), checked.end());
    }
  }

  auto discovery = check_discovery(place.home, request.uid, request.timeout);
  findings.insert(findings.end(), discovery.begin(), discovery.end());
  return findings;
}

}  // namespace kelvarin::bridge
