// First, before anything else: the public header must compile on its own.
#include <kelvarin/client.hpp>

// The host's own headers stay private to the project.
#if __has_include(<frame.hpp>) || __has_include(<envelope.hpp>)
#error "the host's internal headers are on the include path"
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

namespace {

int failed(const std::string& what) {
  std::cerr << "consumer: " << what << '\n';
  return 1;
}

int check(const std::string& directory) {
  const auto empty = kelvarin::client::scan_hosts(directory);
  if (!empty) {
    return failed("scan_hosts on an empty directory: " + empty.error().text());
  }
  if (!empty->hosts.empty() || !empty->unreadable.empty()) {
    return failed("scan_hosts found something in an empty directory");
  }

  // A file that is not a discovery document goes through the JSON reader of
  // the core library and is reported, not taken for a host.
  std::ofstream(directory + "/stray.json") << "{\"port\":\"not a number\"}";
  const auto stray = kelvarin::client::scan_hosts(directory);
  if (!stray) {
    return failed("scan_hosts with a stray file: " + stray.error().text());
  }
  if (!stray->hosts.empty() || stray->unreadable.size() != 1) {
    return failed("scan_hosts took a stray file for a host, or did not report it");
  }

  const auto session = kelvarin::client::connect(std::nullopt, directory);
  if (session || session.error().kind != kelvarin::client::ErrorKind::NotFound) {
    return failed("connect found a host where there is none");
  }
  return 0;
}

}  // namespace

int main() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvarin-consumer-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    return failed("cannot create a temporary directory");
  }
  const int status = check(pattern);
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  if (status == 0) {
    std::cout << "consumer: the client library links and finds no host in an empty directory\n";
  }
  return status;
}
