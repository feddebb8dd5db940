#include "core/discovery.hpp"

#include "core/json.hpp"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin {

namespace {

Error unsafe_dir() { return invalid("Unsafe bridge directory."); }

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

Status force_to_storage(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) {
    return {};
  }
#endif
  if (::fsync(fd) != 0) {
    return std::unexpected(last_system_error());
  }
  return {};
}

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::unexpected(last_system_error());
    }
    if (n == 0) {
      return std::unexpected(Error{.kind = ErrorKind::WriteZero, .message = "failed to write whole buffer", .os_error = 0});
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace

std::string join_path(std::string_view left, std::string_view right) {
  std::string path(left);
  if (!path.empty() && path.back() != '/') {
    path.push_back('/');
  }
  path.append(right);
  return path;
}

Result<std::string> discovery_dir() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    return std::unexpected(invalid("Cannot locate the current user's home directory."));
  }
  return join_path(join_path(home, data_dir_name), discovery_dir_name);
}

Status secure_dir(const std::string& path) {
  for (;;) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        return std::unexpected(last_system_error());
      }
      if (::mkdir(path.c_str(), 0700) != 0) {
        if (errno == EEXIST) {
          continue;  // another host made it in between: check what is there now
        }
        return std::unexpected(last_system_error());
      }
    } else if (!S_ISDIR(st.st_mode)) {
      return std::unexpected(unsafe_dir());
    }
    // Change the mode through a descriptor of the very directory checked, so
    // a link swapped in after the check cannot redirect the chmod.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ELOOP || errno == ENOTDIR) {
        return std::unexpected(unsafe_dir());
      }
      return std::unexpected(last_system_error());
    }
    const int rc = ::fchmod(fd, 0700);
    const int saved = errno;
    ::close(fd);
    if (rc != 0) {
      return std::unexpected(system_error(saved));
    }
    return {};
  }
}

DiscoveryFile::DiscoveryFile(DiscoveryFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {
  other.path_.clear();
}

DiscoveryFile& DiscoveryFile::operator=(DiscoveryFile&& other) noexcept {
  if (this != &other) {
    reset();
    path_ = std::move(other.path_);
    other.path_.clear();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

DiscoveryFile::~DiscoveryFile() { reset(); }

void DiscoveryFile::reset() {
  if (!path_.empty()) {
    ::unlink(path_.c_str());  // already gone is fine
    path_.clear();
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::string discovery_document(const Bridge& bridge) {
  auto document = to_json(bridge.info);
  auto& object = document.get_object();
  object["port"] = static_cast<std::uint64_t>(bridge.port);
  object["secret"] = bridge.secret;
  return to_json_text(document);
}

Result<DiscoveryFile> write_discovery_file(const std::string& dir, const Bridge& bridge) {
  if (auto status = secure_dir(parent_of(dir)); !status) {
    return std::unexpected(std::move(status.error()));
  }
  if (auto status = secure_dir(dir); !status) {
    return std::unexpected(std::move(status.error()));
  }
  auto path = join_path(dir, bridge.info.host_id + ".json");
  // O_EXCL also refuses a symbolic link at the path, dangling or not.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return std::unexpected(last_system_error());
  }
  DiscoveryFile file(std::move(path), fd);
  if (auto status = write_all(fd, discovery_document(bridge)); !status) {
    return std::unexpected(std::move(status.error()));
  }
  if (auto status = force_to_storage(fd); !status) {
    return std::unexpected(std::move(status.error()));
  }
  return file;
}

}  // namespace kelvarin
