#include "manifests.hpp"

#include "core/discovery.hpp"
#include "core/json.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace kelvarin::bridge {

namespace {

// Chrome's and Chromium's directories are the ones Chrome's native-messaging
// documentation lists; the others are where those browsers keep their
// profiles and manifests by the same scheme.
constexpr std::array linux_browsers{
    BrowserLocation{"chrome", "Google Chrome", ".config/google-chrome", "/etc/opt/chrome/native-messaging-hosts"},
    // Chrome's channels share the system directory of the stable channel.
    BrowserLocation{"chrome-beta", "Google Chrome Beta", ".config/google-chrome-beta",
                    "/etc/opt/chrome/native-messaging-hosts"},
    BrowserLocation{"chrome-dev", "Google Chrome Dev", ".config/google-chrome-unstable",
                    "/etc/opt/chrome/native-messaging-hosts"},
    BrowserLocation{"chrome-canary", "Google Chrome Canary", ".config/google-chrome-canary",
                    "/etc/opt/chrome/native-messaging-hosts"},
    BrowserLocation{"chromium", "Chromium", ".config/chromium", "/etc/chromium/native-messaging-hosts"},
    // Not documented for Linux: Edge's usual directories, its channels sharing one system directory.
    BrowserLocation{"edge", "Microsoft Edge", ".config/microsoft-edge", "/etc/opt/edge/native-messaging-hosts"},
    BrowserLocation{"edge-beta", "Microsoft Edge Beta", ".config/microsoft-edge-beta",
                    "/etc/opt/edge/native-messaging-hosts"},
    BrowserLocation{"edge-dev", "Microsoft Edge Dev", ".config/microsoft-edge-dev",
                    "/etc/opt/edge/native-messaging-hosts"},
    // Not documented: the usual profile directories; no known system directory.
    BrowserLocation{"brave", "Brave", ".config/BraveSoftware/Brave-Browser", ""},
    BrowserLocation{"brave-beta", "Brave Beta", ".config/BraveSoftware/Brave-Browser-Beta", ""},
    BrowserLocation{"brave-nightly", "Brave Nightly", ".config/BraveSoftware/Brave-Browser-Nightly", ""},
    BrowserLocation{"vivaldi", "Vivaldi", ".config/vivaldi", ""},
    BrowserLocation{"vivaldi-snapshot", "Vivaldi Snapshot", ".config/vivaldi-snapshot", ""},
    BrowserLocation{"opera", "Opera", ".config/opera", ""},
    // Flatpak keeps each app's configuration under ~/.var/app/<app id>/config.
    BrowserLocation{"chrome-flatpak", "Google Chrome (Flatpak)", ".var/app/com.google.Chrome/config/google-chrome",
                    ""},
    BrowserLocation{"chromium-flatpak", "Chromium (Flatpak)", ".var/app/org.chromium.Chromium/config/chromium", ""},
    BrowserLocation{"brave-flatpak", "Brave (Flatpak)",
                    ".var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser", ""},
    BrowserLocation{"edge-flatpak", "Microsoft Edge (Flatpak)", ".var/app/com.microsoft.Edge/config/microsoft-edge",
                    ""},
};

constexpr std::array macos_browsers{
    BrowserLocation{"chrome", "Google Chrome", "Library/Application Support/Google/Chrome",
                    "/Library/Google/Chrome/NativeMessagingHosts"},
    // Chrome's channels share the system directory of the stable channel.
    BrowserLocation{"chrome-beta", "Google Chrome Beta", "Library/Application Support/Google/Chrome Beta",
                    "/Library/Google/Chrome/NativeMessagingHosts"},
    BrowserLocation{"chrome-dev", "Google Chrome Dev", "Library/Application Support/Google/Chrome Dev",
                    "/Library/Google/Chrome/NativeMessagingHosts"},
    BrowserLocation{"chrome-canary", "Google Chrome Canary", "Library/Application Support/Google/Chrome Canary",
                    "/Library/Google/Chrome/NativeMessagingHosts"},
    BrowserLocation{"chromium", "Chromium", "Library/Application Support/Chromium",
                    "/Library/Application Support/Chromium/NativeMessagingHosts"},
    // Not documented: Edge's usual directories, its channels sharing one system directory.
    BrowserLocation{"edge", "Microsoft Edge", "Library/Application Support/Microsoft Edge",
                    "/Library/Microsoft/Edge/NativeMessagingHosts"},
    BrowserLocation{"edge-beta", "Microsoft Edge Beta", "Library/Application Support/Microsoft Edge Beta",
                    "/Library/Microsoft/Edge/NativeMessagingHosts"},
    BrowserLocation{"edge-dev", "Microsoft Edge Dev", "Library/Application Support/Microsoft Edge Dev",
                    "/Library/Microsoft/Edge/NativeMessagingHosts"},
    BrowserLocation{"edge-canary", "Microsoft Edge Canary", "Library/Application Support/Microsoft Edge Canary",
                    "/Library/Microsoft/Edge/NativeMessagingHosts"},
    // Not documented: Brave's usual directories, the system one following Chromium's scheme.
    BrowserLocation{"brave", "Brave", "Library/Application Support/BraveSoftware/Brave-Browser",
                    "/Library/Application Support/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
    // Not documented: the usual profile directories; no known system directory.
    BrowserLocation{"brave-beta", "Brave Beta", "Library/Application Support/BraveSoftware/Brave-Browser-Beta", ""},
    BrowserLocation{"brave-nightly", "Brave Nightly",
                    "Library/Application Support/BraveSoftware/Brave-Browser-Nightly", ""},
    BrowserLocation{"vivaldi", "Vivaldi", "Library/Application Support/Vivaldi", ""},
    BrowserLocation{"opera", "Opera", "Library/Application Support/com.operasoftware.Opera", ""},
    BrowserLocation{"arc", "Arc", "Library/Application Support/Arc/User Data", ""},
};

constexpr std::string_view extension_scheme = "chrome-extension://";
constexpr std::size_t extension_id_length = 32;
constexpr std::size_t max_manifest_bytes = 1 << 20;

Failure refused(std::string message) { return Failure{Failure::Kind::refused, std::move(message)}; }

Failure file_failure(std::string message) { return Failure{Failure::Kind::file, std::move(message)}; }

Failure usage(std::string message) { return Failure{Failure::Kind::usage, std::move(message)}; }

std::string errno_text(int e) { return std::strerror(e); }

// A descriptor closed on scope exit.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }

 private:
  void reset() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  int fd_ = -1;
};

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Opens an existing directory that the caller trusts (links followed).
Outcome<Fd> open_dir(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT || e == ENOTDIR) {
      return std::unexpected(refused(path + " does not exist or is not a directory."));
    }
    return std::unexpected(file_failure("cannot open " + path + ": " + errno_text(e) + "."));
  }
  return Fd(fd);
}

// Creates every missing directory of the absolute `path`, each with mode
// 0755 whatever the umask: system manifests must be readable by every user.
Outcome<void> make_dirs(const std::string& path) {
  std::string prefix;
  std::size_t pos = 0;
  while (pos < path.size()) {
    const std::size_t next = path.find('/', pos + 1);
    prefix = path.substr(0, next);
    pos = next == std::string::npos ? path.size() : next;
    if (prefix.empty() || prefix == "/") {
      continue;
    }
    if (::mkdir(prefix.c_str(), 0755) == 0) {
      if (::chmod(prefix.c_str(), 0755) != 0) {
        return std::unexpected(file_failure("cannot set the mode of " + prefix + ": " + errno_text(errno) + "."));
      }
    } else if (errno != EEXIST) {
      return std::unexpected(file_failure("cannot create " + prefix + ": " + errno_text(errno) + "."));
    }
  }
  return {};
}

// The manifest directory inside `parent`, refusing a link or a non-directory
// there. With `create`, a missing one is made with mode 0755.
Outcome<Fd> open_hosts_dir(int parent, const std::string& leaf, const std::string& path, bool create) {
  if (create) {
    if (::mkdirat(parent, leaf.c_str(), 0755) == 0) {
      Fd fd(::openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!fd.valid() || ::fchmod(fd.get(), 0755) != 0) {
        return std::unexpected(file_failure("cannot open " + path + ": " + errno_text(errno) + "."));
      }
      return fd;
    }
    if (errno != EEXIST) {
      return std::unexpected(file_failure("cannot create " + path + ": " + errno_text(errno) + "."));
    }
  }
  struct stat st {};
  if (::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) {
      return Fd();
    }
    return std::unexpected(file_failure("cannot examine " + path + ": " + errno_text(errno) + "."));
  }
  if (S_ISLNK(st.st_mode)) {
    return std::unexpected(refused(path + " is a symbolic link; it was left untouched. Remove it if you did not make it."));
  }
  if (!S_ISDIR(st.st_mode)) {
    return std::unexpected(refused(path + " is not a directory; it was left untouched."));
  }
  const int fd = ::openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) {
      return std::unexpected(refused(path + " was replaced while being opened; it was left untouched."));
    }
    return std::unexpected(file_failure("cannot open " + path + ": " + errno_text(errno) + "."));
  }
  return Fd(fd);
}

std::string temp_name(const std::string& name) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string suffix;
  for (int i = 0; i < 12; ++i) {
    suffix.push_back(digits[random() % 36]);
  }
  return "." + name + "." + suffix + ".tmp";
}

// Replaces `name` in `dir` with `content`: a fresh file written, forced to
// stable storage and renamed over the old one. A link or non-regular file
// at `name` is refused; the rename would replace a link planted later
// without following it.
Outcome<void> replace_file(int dir, const std::string& name, const std::string& path, std::string_view content,
                           mode_t mode) {
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) {
      return std::unexpected(
          refused(path + " is a symbolic link; it was left untouched. Remove it if you did not make it."));
    }
    if (!S_ISREG(st.st_mode)) {
      return std::unexpected(refused(path + " is not a regular file; it was left untouched."));
    }
  } else if (errno != ENOENT) {
    return std::unexpected(file_failure("cannot examine " + path + ": " + errno_text(errno) + "."));
  }

  std::string temp;
  Fd fd;
  for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
    temp = temp_name(name);
    fd = Fd(::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() && errno != EEXIST) {
      break;
    }
  }
  if (!fd.valid()) {
    return std::unexpected(file_failure("cannot create a file in the directory of " + path + ": " +
                                        errno_text(errno) + "."));
  }
  const auto fail = [&](std::string what) -> Outcome<void> {
    const int e = errno;
    ::unlinkat(dir, temp.c_str(), 0);
    return std::unexpected(file_failure("cannot " + what + " " + path + ": " + errno_text(e) + "."));
  };
  if (!write_all(fd.get(), content)) {
    return fail("write");
  }
  // Explicitly, so that the umask cannot take away the browser's read access.
  if (::fchmod(fd.get(), mode) != 0) {
    return fail("set the mode of");
  }
  if (::fsync(fd.get()) != 0) {
    return fail("write");
  }
  if (::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
    return fail("replace");
  }
  // The rename itself is durable only once the directory is.
  ::fsync(dir);
  return {};
}

std::string parent_of(std::string_view path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string_view::npos) {
    return ".";
  }
  if (slash == 0) {
    return "/";
  }
  return std::string(path.substr(0, slash));
}

std::string leaf_of(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string absolute(std::string_view path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(std::filesystem::path(path), ec);
  if (ec) {
    return std::string(path);
  }
  std::string text = abs.lexically_normal().string();
  while (text.size() > 1 && text.ends_with('/')) {
    text.pop_back();
  }
  return text;
}

bool is_dir(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void add_unique(std::vector<Target>& targets, Target target) {
  const auto dir = target.dir();
  if (std::ranges::none_of(targets, [&](const Target& t) { return t.dir() == dir; })) {
    targets.push_back(std::move(target));
  }
}

// Reads a manifest that must be a regular file; nothing when it is not one
// or cannot be read.
std::optional<std::string> read_regular(int dir, const std::string& name, struct stat& st) {
  Fd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return std::nullopt;
    }
    if (n == 0) {
      return text;
    }
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > max_manifest_bytes) {
      return std::nullopt;
    }
  }
}

}  // namespace

Platform current_platform() {
#ifdef __APPLE__
  return Platform::MacOS;
#else
  return Platform::Linux;
#endif
}

std::span<const BrowserLocation> browser_table(Platform platform) {
  if (platform == Platform::MacOS) {
    return macos_browsers;
  }
  return linux_browsers;
}

const BrowserLocation* find_browser(Platform platform, std::string_view name) {
  const auto table = browser_table(platform);
  const auto it = std::ranges::find(table, name, &BrowserLocation::name);
  return it == table.end() ? nullptr : &*it;
}

std::string browser_names(Platform platform) {
  std::string names;
  for (const auto& browser : browser_table(platform)) {
    if (!names.empty()) {
      names += ", ";
    }
    names += browser.name;
  }
  return names;
}

std::string Target::dir() const { return join_path(parent, leaf); }

std::string config_path(const Place& place, const BrowserLocation& browser) {
  return join_path(place.home, browser.config_dir);
}

bool browser_found(const Place& place, const BrowserLocation& browser) { return is_dir(config_path(place, browser)); }

Target user_target(const Place& place, const BrowserLocation& browser) {
  return Target{std::string(browser.name), Scope::user, config_path(place, browser), std::string(hosts_dir_name)};
}

std::optional<Target> system_target(const BrowserLocation& browser, std::string_view root) {
  if (browser.system_dir.empty()) {
    return std::nullopt;
  }
  std::string full = std::string(root);
  while (full.ends_with('/')) {
    full.pop_back();
  }
  full += browser.system_dir;
  return Target{std::string(browser.name), Scope::system, parent_of(full), leaf_of(full)};
}

Target user_data_dir_target(std::string_view dir) {
  return Target{"", Scope::user_data_dir, absolute(dir), std::string(hosts_dir_name)};
}

Outcome<std::vector<Target>> select_targets(const Selection& selection, const Place& place, Purpose purpose) {
  const bool installing = purpose == Purpose::install;
  std::vector<const BrowserLocation*> named;
  for (const auto& name : selection.browsers) {
    const auto* browser = find_browser(place.platform, name);
    if (browser == nullptr) {
      return std::unexpected(usage("unknown browser " + name + "; known here: " + browser_names(place.platform) + "."));
    }
    named.push_back(browser);
  }
  std::vector<Target> targets;
  if (selection.system) {
    if (!selection.user_data_dirs.empty()) {
      return std::unexpected(usage("--user-data-dir cannot be combined with --system."));
    }
    if (!selection.root.empty() && !is_dir(selection.root)) {
      return std::unexpected(refused("the --destdir directory " + selection.root + " does not exist."));
    }
    if (named.empty()) {
      for (const auto& browser : browser_table(place.platform)) {
        if (auto target = system_target(browser, selection.root)) {
          add_unique(targets, std::move(*target));
        }
      }
      return targets;
    }
    for (const auto* browser : named) {
      auto target = system_target(*browser, selection.root);
      if (!target) {
        return std::unexpected(usage(std::string(browser->name) + " has no system-wide manifest directory; install for the user instead."));
      }
      add_unique(targets, std::move(*target));
    }
    return targets;
  }
  if (!selection.root.empty()) {
    return std::unexpected(usage("--destdir is valid only with --system."));
  }

  for (const auto* browser : named) {
    if (!browser_found(place, *browser)) {
      if (installing) {
        return std::unexpected(refused(std::string(browser->display_name) + " was not found: " +
                                       config_path(place, *browser) +
                                       " does not exist. Start the browser once, or pass --user-data-dir."));
      }
      continue;
    }
    add_unique(targets, user_target(place, *browser));
  }
  for (const auto& dir : selection.user_data_dirs) {
    auto target = user_data_dir_target(dir);
    if (!is_dir(target.parent)) {
      if (installing) {
        return std::unexpected(refused("the --user-data-dir directory " + target.parent + " does not exist."));
      }
      continue;
    }
    add_unique(targets, std::move(target));
  }
  if (named.empty() && selection.user_data_dirs.empty()) {
    for (const auto& browser : browser_table(place.platform)) {
      if (browser_found(place, browser)) {
        add_unique(targets, user_target(place, browser));
      }
    }
    if (targets.empty() && installing) {
      return std::unexpected(refused("no browser was found under " + place.home +
                                     ". Pass --browser NAME or --user-data-dir DIR."));
    }
  }
  return targets;
}

bool is_extension_origin(std::string_view origin) { return check_origin(origin).has_value(); }

Outcome<void> check_origin(std::string_view origin) {
  const auto bad = [&](std::string why) {
    return std::unexpected(usage("the origin " + std::string(origin) + " " + why));
  };
  if (!origin.starts_with(extension_scheme)) {
    return bad("does not start with chrome-extension://.");
  }
  const std::string_view id = origin.substr(extension_scheme.size());
  const std::string_view letters = id.substr(0, std::min(id.size(), extension_id_length));
  if (letters.size() != extension_id_length ||
      !std::ranges::all_of(letters, [](char c) { return c >= 'a' && c <= 'p'; })) {
    return bad("does not hold an extension ID of 32 letters a to p.");
  }
  const std::string_view rest = id.substr(letters.size());
  if (rest.empty()) {
    return bad("lacks its trailing \"/\": write " + std::string(origin) + "/.");
  }
  if (rest != "/") {
    return bad("has more after the extension ID than the trailing \"/\".");
  }
  return {};
}

Outcome<std::string> check_host_path(std::string_view path, std::string_view root) {
  if (path.empty()) {
    return std::unexpected(usage("the host path is empty."));
  }
  std::string abs = absolute(path);
  std::string on_disk = abs;
  if (!root.empty()) {
    std::string prefix(root);
    while (prefix.ends_with('/')) {
      prefix.pop_back();
    }
    on_disk = prefix + abs;
  }
  struct stat st {};
  if (::stat(on_disk.c_str(), &st) != 0) {
    return std::unexpected(refused("the host program " + on_disk + " does not exist (" + errno_text(errno) +
                                   "). Pass --host-path PATH."));
  }
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(refused("the host program " + on_disk + " is not a regular file. Pass --host-path PATH."));
  }
  if ((st.st_mode & 0111) == 0 || ::access(on_disk.c_str(), X_OK) != 0) {
    return std::unexpected(refused("the host program " + on_disk + " is not executable. Pass --host-path PATH."));
  }
  return abs;
}

std::string manifest_text(const ExtensionHost& host, std::string_view host_path,
                          std::span<const std::string> extra_origins) {
  json::array origins{json::value(host.origin)};
  for (const auto& origin : extra_origins) {
    if (std::ranges::none_of(origins, [&](const json::value& v) { return is_text(v, origin); })) {
      origins.emplace_back(origin);
    }
  }
  const json::object manifest{
      {"name", host.host_name},
      {"description", "Kelvarin browser host: bridges the extension and desktop applications"},
      {"type", "stdio"},
      {"path", host_path},
      {"allowed_origins", std::move(origins)},
  };
  return to_json_text(manifest) + "\n";
}

InstallReport install(std::span<const Target> targets, std::span<const ExtensionHost> hosts,
                      std::string_view host_path, std::span<const std::string> extra_origins) {
  InstallReport report;
  for (const auto& target : targets) {
    const std::string dir_path = target.dir();
    const auto fail = [&](Failure failure) { report.failures.push_back({dir_path, std::move(failure)}); };
    if (target.scope == Scope::system) {
      if (auto made = make_dirs(target.parent); !made) {
        fail(made.error());
        continue;
      }
    }
    auto parent = open_dir(target.parent);
    if (!parent) {
      fail(parent.error());
      continue;
    }
    auto dir = open_hosts_dir(parent->get(), target.leaf, dir_path, true);
    if (!dir) {
      fail(dir.error());
      continue;
    }
    for (const auto& host : hosts) {
      const std::string name = host.host_name + ".json";
      const std::string path = join_path(dir_path, name);
      auto written = replace_file(dir->get(), name, path, manifest_text(host, host_path, extra_origins), 0644);
      if (!written) {
        report.failures.push_back({path, written.error()});
        continue;
      }
      report.written.push_back({target.browser, host.host_name, path});
    }
  }
  return report;
}

UninstallReport uninstall(std::span<const Target> targets, std::span<const ExtensionHost> hosts) {
  UninstallReport report;
  for (const auto& target : targets) {
    const std::string dir_path = target.dir();
    Fd parent(::open(target.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid()) {
      if (errno != ENOENT && errno != ENOTDIR) {
        report.failures.push_back({target.parent, file_failure("cannot open " + target.parent + ": " +
                                                               errno_text(errno) + ".")});
      }
      continue;
    }
    auto dir = open_hosts_dir(parent.get(), target.leaf, dir_path, false);
    if (!dir) {
      if (dir.error().kind == Failure::Kind::refused) {
        report.left.push_back({dir_path, dir.error().message});
      } else {
        report.failures.push_back({dir_path, dir.error()});
      }
      continue;
    }
    if (!dir->valid()) {
      continue;
    }
    const std::size_t removed_before = report.removed.size();
    for (const auto& host : hosts) {
      const std::string name = host.host_name + ".json";
      const std::string path = join_path(dir_path, name);
      struct stat st {};
      if (::fstatat(dir->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
          report.failures.push_back({path, file_failure("cannot examine " + path + ": " + errno_text(errno) + ".")});
        }
        continue;
      }
      if (S_ISLNK(st.st_mode)) {
        report.left.push_back({path, "it is a symbolic link, which install never writes"});
        continue;
      }
      if (!S_ISREG(st.st_mode)) {
        report.left.push_back({path, "it is not a regular file"});
        continue;
      }
      struct stat opened {};
      const auto text = read_regular(dir->get(), name, opened);
      if (!text) {
        report.left.push_back({path, "it could not be read"});
        continue;
      }
      const auto document = parse_json(*text);
      if (!document || !is_text(member(*document, "name"), host.host_name)) {
        report.left.push_back({path, "it is not a manifest for " + host.host_name});
        continue;
      }
      // The file read must still be the one at the path: it may have been
      // swapped since.
      struct stat now {};
      if (::fstatat(dir->get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != opened.st_dev ||
          now.st_ino != opened.st_ino) {
        report.left.push_back({path, "it changed while being checked"});
        continue;
      }
      if (::unlinkat(dir->get(), name.c_str(), 0) != 0) {
        report.failures.push_back({path, file_failure("cannot remove " + path + ": " + errno_text(errno) + ".")});
        continue;
      }
      report.removed.push_back({target.browser, host.host_name, path});
    }
    // The directory goes with the last manifest in it; one still holding
    // other hosts' manifests fails to go and stays.
    if (report.removed.size() > removed_before &&
        ::unlinkat(parent.get(), target.leaf.c_str(), AT_REMOVEDIR) == 0) {
      report.removed_dirs.push_back(dir_path);
    }
  }
  return report;
}

std::optional<std::string> running_executable() {
#ifdef __APPLE__
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) {
    return std::nullopt;
  }
  path.resize(std::strlen(path.c_str()));
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  return std::string(resolved);
#else
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) {
    return std::nullopt;
  }
  path.resize(static_cast<std::size_t>(n));
  return path;
#endif
}

}  // namespace kelvarin::bridge
