// Reading the discovery directory: every host publishes one small JSON file
// named after its host id.

#include "channel.hpp"

#include "core/discovery.hpp"
#include "core/json.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <tuple>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin::client {

namespace {

// A discovery document is a few hundred bytes; anything much larger is not one.
constexpr std::size_t max_document_bytes = 64 * 1024;

std::optional<std::string> read_small_file(int dir_fd, const char* name) {
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return std::nullopt;
  }
  struct stat st{};
  std::optional<std::string> text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= max_document_bytes) {
    std::string buffer(max_document_bytes + 1, '\0');
    std::size_t used = 0;
    ssize_t n = 0;
    while ((n = ::read(fd, buffer.data() + used, buffer.size() - used)) > 0) {
      used += static_cast<std::size_t>(n);
    }
    if (n == 0 && used <= max_document_bytes) {
      buffer.resize(used);
      text = std::move(buffer);
    }
  }
  ::close(fd);
  return text;
}

std::optional<std::string> string_member(const json::value& document, std::string_view key) {
  const auto* s = member(document, key).if_string();
  if (s == nullptr) {
    return std::nullopt;
  }
  return std::string(*s);
}

std::optional<HostEntry> entry_from(const std::string& path, std::string_view stem, const json::value& document) {
  auto host_id = string_member(document, "hostId");
  auto profile_id = string_member(document, "profileId");
  auto browser_name = string_member(document, "browserName");
  auto extension_version = string_member(document, "extensionVersion");
  auto secret = string_member(document, "secret");
  const auto& port = member(document, "port");
  if (!host_id || *host_id != stem || !profile_id || !browser_name || !extension_version || !secret ||
      !is_integer(member(document, "version"), 1)) {
    return std::nullopt;
  }
  std::uint64_t number = 0;
  if (const auto* u = port.if_uint64()) {
    number = *u;
  } else if (const auto* i = port.if_int64(); i != nullptr && *i > 0) {
    number = static_cast<std::uint64_t>(*i);
  }
  if (number == 0 || number > 65535) {
    return std::nullopt;
  }
  return HostEntry{.path = path,
                   .host_id = std::move(*host_id),
                   .profile_id = std::move(*profile_id),
                   .browser_name = std::move(*browser_name),
                   .extension_version = std::move(*extension_version),
                   .port = static_cast<std::uint16_t>(number),
                   .secret = std::move(*secret)};
}

}  // namespace

Result<std::string> discovery_directory() {
  auto dir = discovery_dir();
  if (!dir) {
    return std::unexpected(make_error(ErrorKind::Io, dir.error().text(), dir.error().os_error));
  }
  return *dir;
}

Result<Scan> scan_hosts(const std::optional<std::string>& directory) {
  std::string dir;
  if (directory) {
    dir = *directory;
  } else {
    auto found = discovery_directory();
    if (!found) {
      return std::unexpected(std::move(found.error()));
    }
    dir = std::move(*found);
  }
  Scan scan;
  // O_NOFOLLOW: a link planted in place of the directory is not read.
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0) {
    if (errno == ENOENT) {
      return scan;
    }
    return std::unexpected(from_errno("Cannot open " + dir, errno));
  }
  DIR* listing = ::fdopendir(dir_fd);
  if (listing == nullptr) {
    const int e = errno;
    ::close(dir_fd);
    return std::unexpected(from_errno("Cannot list " + dir, e));
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> owner(listing, ::closedir);
  while (const dirent* item = ::readdir(listing)) {
    const std::string_view name = item->d_name;
    if (!name.ends_with(".json") || name.starts_with(".")) {
      continue;
    }
    const std::string path = join_path(dir, name);
    const auto text = read_small_file(dir_fd, item->d_name);
    std::optional<HostEntry> entry;
    if (text) {
      if (const auto document = parse_json(*text)) {
        entry = entry_from(path, name.substr(0, name.size() - 5), *document);
      }
    }
    if (entry) {
      scan.hosts.push_back(std::move(*entry));
    } else {
      scan.unreadable.push_back(path);
    }
  }
  std::ranges::sort(scan.hosts, [](const HostEntry& a, const HostEntry& b) {
    return std::tie(a.profile_id, a.host_id) < std::tie(b.profile_id, b.host_id);
  });
  std::ranges::sort(scan.unreadable);
  return scan;
}

Result<std::vector<HostEntry>> find_hosts(const std::optional<std::string>& profile_id,
                                          const std::optional<std::string>& directory) {
  auto scan = scan_hosts(directory);
  if (!scan) {
    return std::unexpected(std::move(scan.error()));
  }
  if (profile_id) {
    std::erase_if(scan->hosts, [&](const HostEntry& h) { return h.profile_id != *profile_id; });
  }
  return std::move(scan->hosts);
}

}  // namespace kelvarin::client
