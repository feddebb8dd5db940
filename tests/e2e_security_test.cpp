// What a local attacker meets: file modes, planted links, descriptors, the
// listening address, and where the secret may appear.

#include "testing/host_fixture.hpp"

#include "core/discovery.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin::testing {
namespace {

namespace fs = std::filesystem;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Security, ModesHoldWhateverTheUmask) {
  const mode_t old = ::umask(0);
  Host host;
  host.start();
  ::umask(old);
  const auto dir = peer::discovery_dir_under(host.home());
  EXPECT_EQ(mode_of(host.discovery().path), 0600u);
  EXPECT_EQ(mode_of(dir), 0700u);
  EXPECT_EQ(mode_of(host.home() + "/.kelvarin"), 0700u);
  EXPECT_EQ(host.finish(), 0);
}

TEST(Security, PlantedDirectoryLinksAreRefusedWithoutTouchingTheirTargets) {
  struct Case {
    const char* name;
    bool link_data_dir;  // else the discovery directory
  };
  for (const Case c : {Case{"data directory", true}, Case{"discovery directory", false}}) {
    SCOPED_TRACE(c.name);
    peer::TempDir target;
    ::chmod(target.path().c_str(), 0755);
    Host host;
    const std::string data = host.home() + "/.kelvarin";
    if (c.link_data_dir) {
      fs::create_directory_symlink(target.path(), data);
    } else {
      fs::create_directory(data);
      fs::create_directory_symlink(target.path(), peer::discovery_dir_under(host.home()));
    }
    ASSERT_TRUE(host.send(hello()));
    EXPECT_EQ(host.process().wait_exit(5s), 1);
    EXPECT_EQ(host.process().err(), "[kelvarin-browser-host] Unsafe bridge directory.\n");
    EXPECT_EQ(mode_of(target.path()), 0755u);
    EXPECT_TRUE(fs::is_empty(target.path()));
  }
}

TEST(Security, APlantedLinkAtTheFilePathIsNeitherFollowedNorReplaced) {
  peer::TempDir home;
  const std::string dir = peer::discovery_dir_under(home.path());
  const std::string victim = home.path() + "/victim";
  std::ofstream(victim) << "keep";
  Bridge bridge{.info = {.version = 1, .host_id = "fixed-id", .profile_id = "P", .browser_name = "B", .extension_version = "1"},
                .secret = "s",
                .port = 1};
  ASSERT_TRUE(secure_dir(home.path() + "/.kelvarin"));
  ASSERT_TRUE(secure_dir(dir));
  fs::create_symlink(victim, dir + "/fixed-id.json");
  auto file = write_discovery_file(dir, bridge);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind, ErrorKind::AlreadyExists);
  EXPECT_EQ(slurp(victim), "keep");
  EXPECT_TRUE(fs::is_symlink(dir + "/fixed-id.json"));

  // A dangling link is refused the same way: nothing is created at its target.
  fs::remove(dir + "/fixed-id.json");
  fs::create_symlink(home.path() + "/absent", dir + "/fixed-id.json");
  EXPECT_FALSE(write_discovery_file(dir, bridge));
  EXPECT_FALSE(fs::exists(home.path() + "/absent"));
}

// A descriptor this process holds without close-on-exec reaches the host at
// the same number; it is not one the host opened.
bool inherited(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

TEST(Security, EveryDescriptorIsCloseOnExec) {
  Host host;
  host.start();
  auto client = host.connect();
  ASSERT_TRUE(client.send(client_request(host.secret(), "q", "bridge.info")));
  ASSERT_EQ(client.read(2s).status, peer::ReadStatus::frame);

  const std::string fdinfo = "/proc/" + std::to_string(host.process().pid()) + "/fdinfo";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(fdinfo)) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd <= 2 || inherited(fd)) {
      continue;  // the standard descriptors, and whatever this test process passed on
    }
    std::istringstream info(slurp(entry.path().string()));
    std::string key;
    std::string value;
    while (info >> key >> value) {
      if (key == "flags:") {
        const auto flags = std::stoul(value, nullptr, 8);
        EXPECT_NE(flags & 02000000, 0u) << "fd " << fd << " flags " << value;
        ++checked;
        break;
      }
    }
  }
  EXPECT_GE(checked, 5);  // stdin and stdout copies, listener, file, client socket at least
  EXPECT_EQ(host.finish(), 0);
}

TEST(Security, ListensOn127001Only) {
  Host host;
  host.start();
  // Another loopback address reaches any socket bound to the wildcard address.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in other{};
  other.sin_family = AF_INET;
  other.sin_port = htons(host.port());
  ::inet_pton(AF_INET, "127.0.0.2", &other.sin_addr);
  EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&other), sizeof other), 0);
  ::close(fd);
  EXPECT_TRUE(host.connect().connected());
  EXPECT_EQ(host.finish(), 0);
}

TEST(Security, TheSecretAppearsOnlyInTheDiscoveryFile) {
  Host host;
  const auto reply = host.start();
  const std::string secret = host.secret();
  ASSERT_EQ(secret.size(), 36u);
  EXPECT_EQ(to_json_text(reply).find(secret), std::string::npos);
  EXPECT_NE(host.discovery().text.find(secret), std::string::npos);

  std::string seen_by_client;
  std::string seen_by_extension;
  auto client = host.connect();
  ASSERT_TRUE(client.send(client_request(secret, "i", "bridge.info")));
  seen_by_client += client.read(2s).body;
  ASSERT_TRUE(client.send(client_request(secret, "c", "browser.connect", connect_params())));
  auto forwarded = host.read();
  ASSERT_EQ(forwarded.status, peer::ReadStatus::frame);
  seen_by_extension += forwarded.body;
  ASSERT_TRUE(host.send(json::object{{"version", 1}, {"id", member(forwarded.json(), "id")}, {"result", json::object{}}}));
  seen_by_client += client.read(2s).body;
  client.close();  // the owner leaves: a release message follows
  auto release = host.read();
  ASSERT_EQ(release.status, peer::ReadStatus::frame);
  seen_by_extension += release.body;

  EXPECT_EQ(host.finish(), 0);
  EXPECT_EQ(seen_by_client.find(secret), std::string::npos);
  EXPECT_EQ(seen_by_extension.find(secret), std::string::npos);
  EXPECT_EQ(host.process().err(), "");
}

}  // namespace
}  // namespace kelvarin::testing
