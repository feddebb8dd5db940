#pragma once

#include "core/error.hpp"
#include "core/host_info.hpp"

#include <string>
#include <string_view>

namespace kelvarin {

// "browser-bridge." + the ID of the first trusted extension.
inline constexpr std::string_view discovery_dir_name = "browser-bridge.ilimhgenbmakmldnokbdfbjkgakahhll";
inline constexpr std::string_view data_dir_name = ".kelvarin";

// Joins with one "/" unless the left part is empty or already ends with one.
[[nodiscard]] std::string join_path(std::string_view left, std::string_view right);

// HOME/.kelvarin/browser-bridge.<id>; touches no file.
[[nodiscard]] Result<std::string> discovery_dir();

// Makes `path` a directory of mode 0700 that is not a symbolic link,
// creating it (one level) if nothing is there.
[[nodiscard]] Status secure_dir(const std::string& path);

// The published file. Destroying it removes the file, then closes it.
class DiscoveryFile {
 public:
  DiscoveryFile() = default;
  DiscoveryFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  DiscoveryFile(DiscoveryFile&& other) noexcept;
  DiscoveryFile& operator=(DiscoveryFile&& other) noexcept;
  ~DiscoveryFile();

  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  void reset();
  std::string path_;
  int fd_ = -1;
};

// The discovery document: the host's description plus "port" and "secret".
[[nodiscard]] std::string discovery_document(const Bridge& bridge);

// Secures both directories, creates <host id>.json exclusively with mode 0600,
// writes the document and forces it to stable storage.
[[nodiscard]] Result<DiscoveryFile> write_discovery_file(const std::string& dir, const Bridge& bridge);

}  // namespace kelvarin
