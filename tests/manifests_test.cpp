// install and uninstall: the browser table and selection as library calls,
// the commands as the built kelvarin-bridge with a temporary HOME.

#include "manifests.hpp"
#include "testing/host_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin::testing {
namespace {

namespace fs = std::filesystem;
using bridge::Platform;
using ::testing::HasSubstr;

const std::string host_1 = "com.kelvarin.browser.ilimhgenbmakmldnokbdfbjkgakahhll";
const std::string host_2 = "com.kelvarin.browser.kiellkahjdbnljcfdagkahjjnmgolnhb";
const std::string test_origin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

struct Ran {
  std::optional<int> status;
  std::string out;
  std::string err;
};

Ran bridge(const std::vector<std::string>& args, const std::string& home) {
  peer::HostProcess process(peer::HostProcess::Options{.binary = BRIDGE_BINARY, .args = args, .env = {{"HOME", home}}});
  process.close_in();
  Ran run;
  run.out = read_to_end(process.out(), 10s);
  run.status = process.wait_exit(5s);
  run.err = process.err();
  return run;
}

// The exact bytes install writes for one extension.
std::string expected_manifest(const std::string& host, const std::string& origin, const std::string& path,
                              const std::string& extra = "") {
  return R"({"allowed_origins":[")" + origin + "\"" + (extra.empty() ? "" : ",\"" + extra + "\"") +
         R"(],"description":"Kelvarin browser host: bridges the extension and desktop applications","name":")" + host +
         R"(","path":")" + path + R"(","type":"stdio"})" + "\n";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const std::string& path, std::string_view text) { std::ofstream(path, std::ios::binary) << text; }

// Every entry below `dir`, relative to it ("a", "a/b.json").
std::set<std::string> tree(const std::string& dir) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    entries.insert(fs::relative(entry.path(), dir).string());
  }
  return entries;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Runs a body under a restrictive umask, as a user with umask 077 would.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

class ManifestsInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home() + "/.config/chromium");
    fs::create_directories(home() + "/.config/google-chrome");
  }
  [[nodiscard]] const std::string& home() const { return home_.path(); }
  [[nodiscard]] std::string hosts_dir(const std::string& config = ".config/chromium") const {
    return home() + "/" + config + "/NativeMessagingHosts";
  }
  [[nodiscard]] std::string manifest(const std::string& host, const std::string& config = ".config/chromium") const {
    return hosts_dir(config) + "/" + host + ".json";
  }
  peer::TempDir home_;
};

TEST_F(ManifestsInstall, WritesOneManifestPerExtensionIntoEveryBrowserFoundAndUninstallRemovesThem) {
  Ran run;
  {
    Umask strict(077);
    run = bridge({"install", "--host-path", HOST_BINARY}, home());
  }
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(tree(home()), (std::set<std::string>{
                              ".config",
                              ".config/chromium",
                              ".config/chromium/NativeMessagingHosts",
                              ".config/chromium/NativeMessagingHosts/" + host_1 + ".json",
                              ".config/chromium/NativeMessagingHosts/" + host_2 + ".json",
                              ".config/google-chrome",
                              ".config/google-chrome/NativeMessagingHosts",
                              ".config/google-chrome/NativeMessagingHosts/" + host_1 + ".json",
                              ".config/google-chrome/NativeMessagingHosts/" + host_2 + ".json",
                          }));
  for (const std::string config : {".config/chromium", ".config/google-chrome"}) {
    EXPECT_EQ(slurp(manifest(host_1, config)), expected_manifest(host_1, trusted_origin_1, HOST_BINARY));
    EXPECT_EQ(slurp(manifest(host_2, config)), expected_manifest(host_2, trusted_origin_2, HOST_BINARY));
    // The browser must read them whatever the installing user's umask.
    EXPECT_EQ(mode_of(manifest(host_1, config)), 0644u);
    EXPECT_EQ(mode_of(hosts_dir(config)), 0755u);
  }
  EXPECT_THAT(run.out, HasSubstr("wrote " + manifest(host_1)));

  // A second install replaces the files in place.
  ASSERT_EQ(bridge({"install", "--host-path", HOST_BINARY}, home()).status, 0);
  EXPECT_EQ(tree(hosts_dir()).size(), 2u);

  const auto removed = bridge({"uninstall", "--json"}, home());
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(tree(home()), (std::set<std::string>{".config", ".config/chromium", ".config/google-chrome"}));
  const auto document = parse_json(removed.out);
  ASSERT_TRUE(document) << removed.out;
  EXPECT_EQ(member(*document, "removed").as_array().size(), 4u);
  EXPECT_EQ(member(*document, "removedDirectories").as_array().size(), 2u);

  const auto again = bridge({"uninstall"}, home());
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "nothing to remove\n");
}

TEST_F(ManifestsInstall, UserDataDirGetsTheManifestsWithTheExtraOrigin) {
  peer::TempDir profile;
  const auto run = bridge({"install", "--json", "--user-data-dir", profile.path(), "--host-path", HOST_BINARY,
                           "--allow-origin", test_origin},
                          home());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string dir = profile.path() + "/NativeMessagingHosts";
  EXPECT_EQ(tree(profile.path()), (std::set<std::string>{"NativeMessagingHosts", "NativeMessagingHosts/" + host_1 + ".json",
                                                         "NativeMessagingHosts/" + host_2 + ".json"}));
  EXPECT_EQ(slurp(dir + "/" + host_1 + ".json"), expected_manifest(host_1, trusted_origin_1, HOST_BINARY, test_origin));
  // Only the user data dir: the browsers under HOME are not touched.
  EXPECT_FALSE(fs::exists(hosts_dir()));

  const auto document = parse_json(run.out);
  ASSERT_TRUE(document) << run.out;
  const auto& written = member(*document, "written").as_array();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_TRUE(member(written[0], "browser").is_null());
  EXPECT_TRUE(is_text(member(written[0], "hostName"), host_1));
  EXPECT_TRUE(is_text(member(written[0], "path"), dir + "/" + host_1 + ".json"));

  ASSERT_EQ(bridge({"uninstall", "--user-data-dir", profile.path()}, home()).status, 0);
  EXPECT_TRUE(tree(profile.path()).empty());
}

TEST_F(ManifestsInstall, ARelativeHostPathIsMadeAbsolute) {
  const fs::path host(HOST_BINARY);
  peer::HostProcess process(peer::HostProcess::Options{
      .binary = "/bin/sh",
      .args = {"-c", "cd \"$1\" && exec \"$2\" install --browser chromium --host-path ./\"$3\"", "sh",
               host.parent_path().string(), BRIDGE_BINARY, host.filename().string()},
      .env = {{"HOME", home()}}});
  process.close_in();
  ASSERT_EQ(process.wait_exit(10s), 0) << process.err();
  EXPECT_EQ(slurp(manifest(host_1)), expected_manifest(host_1, trusted_origin_1, HOST_BINARY));
}

TEST_F(ManifestsInstall, TheDefaultHostIsTheOneBesideTheBridge) {
  ASSERT_EQ(bridge({"install", "--browser", "chromium"}, home()).status, 0);
  EXPECT_EQ(slurp(manifest(host_1)), expected_manifest(host_1, trusted_origin_1, HOST_BINARY));
}

TEST_F(ManifestsInstall, RefusesBrowsersThatAreNotThereAndCreatesNoBrowserDirectory) {
  peer::TempDir empty_home;
  const auto none = bridge({"install", "--host-path", HOST_BINARY}, empty_home.path());
  EXPECT_EQ(none.status, 1);
  EXPECT_THAT(none.err, HasSubstr("--browser"));
  EXPECT_THAT(none.err, HasSubstr("--user-data-dir"));

  const auto edge = bridge({"install", "--browser", "edge", "--host-path", HOST_BINARY}, home());
  EXPECT_EQ(edge.status, 1);
  EXPECT_THAT(edge.err, HasSubstr(home() + "/.config/microsoft-edge"));

  const auto missing_profile =
      bridge({"install", "--user-data-dir", home() + "/no-such-profile", "--host-path", HOST_BINARY}, home());
  EXPECT_EQ(missing_profile.status, 1);
  EXPECT_THAT(missing_profile.err, HasSubstr(home() + "/no-such-profile"));

  EXPECT_TRUE(tree(empty_home.path()).empty());
  EXPECT_EQ(tree(home()), (std::set<std::string>{".config", ".config/chromium", ".config/google-chrome"}));
}

TEST_F(ManifestsInstall, CommandLineErrorsExitWithUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases{
      {{"install", "--browser", "netscape"}, "unknown browser netscape"},
      {{"install", "--allow-origin", "chrome-extension://abcdefghijklmnopabcdefghijklmnop"}, "trailing \"/\""},
      {{"install", "--allow-origin", "chrome-extension://abcdefghijklmnopabcdefghijklmnoq/"}, "32 letters a to p"},
      {{"install", "--allow-origin", "https://example.com/"}, "chrome-extension://"},
      {{"install", "--destdir", "/tmp"}, "only with --system"},
      {{"install", "--system", "--user-data-dir", "/tmp"}, "cannot be combined"},
      {{"install", "--system", "--browser", "chrome-flatpak"}, "no system-wide"},
      {{"install", "--host-path"}, "needs a value"},
      {{"install", "--bogus"}, "unknown option"},
      {{"uninstall", "--browser", "netscape"}, "unknown browser"},
      {{"uninstall", "--destdir", "/tmp"}, "only with --system"},
  };
  for (const auto& c : cases) {
    const auto run = bridge(c.args, home());
    EXPECT_EQ(run.status, 2) << c.args.back() << ": " << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.says)) << c.args.back();
  }
  EXPECT_FALSE(fs::exists(hosts_dir()));
}

TEST_F(ManifestsInstall, TheHostPathMustBeAnExecutableFile) {
  const std::string plain = home() + "/plain";
  spit(plain, "#!/bin/sh\n");
  ::chmod(plain.c_str(), 0644);
  for (const auto& path : std::vector<std::string>{home() + "/missing", plain, home()}) {
    const auto run = bridge({"install", "--host-path", path}, home());
    EXPECT_EQ(run.status, 1) << path;
    EXPECT_THAT(run.err, HasSubstr("--host-path")) << path;
  }
  EXPECT_FALSE(fs::exists(hosts_dir()));
}

TEST_F(ManifestsInstall, APlantedLinkAtAManifestIsRefusedAndItsTargetUntouched) {
  const std::string victim = home() + "/victim";
  spit(victim, "precious");
  fs::create_directories(hosts_dir());
  fs::create_symlink(victim, manifest(host_1));

  const auto run = bridge({"install", "--browser", "chromium", "--host-path", HOST_BINARY}, home());
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr(manifest(host_1) + " is a symbolic link"));
  EXPECT_EQ(slurp(victim), "precious");
  EXPECT_TRUE(fs::is_symlink(manifest(host_1)));
  // The other extension's manifest is still written.
  EXPECT_EQ(slurp(manifest(host_2)), expected_manifest(host_2, trusted_origin_2, HOST_BINARY));

  const auto removed = bridge({"uninstall", "--browser", "chromium"}, home());
  EXPECT_EQ(removed.status, 1);
  EXPECT_THAT(removed.out, HasSubstr("removed " + manifest(host_2)));
  EXPECT_THAT(removed.err, HasSubstr("left " + manifest(host_1)));
  EXPECT_TRUE(fs::is_symlink(manifest(host_1)));
  EXPECT_EQ(slurp(victim), "precious");
}

TEST_F(ManifestsInstall, APlantedLinkAtTheManifestDirectoryIsRefused) {
  peer::TempDir elsewhere;
  fs::create_directory_symlink(elsewhere.path(), hosts_dir());

  const auto run = bridge({"install", "--browser", "chromium", "--host-path", HOST_BINARY}, home());
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr(hosts_dir() + " is a symbolic link"));
  EXPECT_TRUE(tree(elsewhere.path()).empty());

  spit(elsewhere.path() + "/" + host_1 + ".json", expected_manifest(host_1, trusted_origin_1, HOST_BINARY));
  const auto removed = bridge({"uninstall", "--browser", "chromium"}, home());
  EXPECT_EQ(removed.status, 1);
  EXPECT_THAT(removed.err, HasSubstr("left " + hosts_dir()));
  EXPECT_EQ(tree(elsewhere.path()).size(), 1u);
  EXPECT_TRUE(fs::is_symlink(hosts_dir()));
}

TEST_F(ManifestsInstall, UninstallLeavesFilesItDidNotWrite) {
  fs::create_directories(hosts_dir());
  spit(manifest(host_1), R"({"name":"com.example.other","type":"stdio"})");
  spit(manifest(host_2), "not json");
  spit(hosts_dir() + "/com.example.other.json", "{}");

  const auto run = bridge({"uninstall", "--json"}, home());
  EXPECT_EQ(run.status, 1);
  const auto document = parse_json(run.out);
  ASSERT_TRUE(document) << run.out;
  EXPECT_TRUE(member(*document, "removed").as_array().empty());
  EXPECT_EQ(member(*document, "left").as_array().size(), 2u);
  EXPECT_EQ(tree(hosts_dir()).size(), 3u);

  // With install's own file beside another host's, only install's goes and
  // the directory stays.
  fs::remove(manifest(host_1));
  fs::remove(manifest(host_2));
  ASSERT_EQ(bridge({"install", "--browser", "chromium", "--host-path", HOST_BINARY}, home()).status, 0);
  ASSERT_EQ(bridge({"uninstall", "--browser", "chromium"}, home()).status, 0);
  EXPECT_EQ(tree(hosts_dir()), (std::set<std::string>{"com.example.other.json"}));
}

TEST(ManifestsSystem, DestdirStagesEverySystemDirectoryReadableByAll) {
  peer::TempDir stage;
  peer::TempDir home;
  fs::create_directories(stage.path() + "/usr/bin");
  fs::copy_file(HOST_BINARY, stage.path() + "/usr/bin/kelvarin-browser-host");
  const std::vector<std::string> args{"--system", "--destdir", stage.path(), "--host-path",
                                      "/usr/bin/kelvarin-browser-host"};
  std::vector<std::string> install_args{"install"};
  install_args.insert(install_args.end(), args.begin(), args.end());

  Ran run;
  {
    Umask strict(077);
    run = bridge(install_args, home.path());
  }
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> dirs{"etc/opt/chrome/native-messaging-hosts", "etc/chromium/native-messaging-hosts",
                                      "etc/opt/edge/native-messaging-hosts"};
  std::set<std::string> expected{"usr", "usr/bin", "usr/bin/kelvarin-browser-host", "etc", "etc/opt"};
  for (const auto& dir : dirs) {
    for (std::string part = dir; part != "."; part = fs::path(part).parent_path().string()) {
      if (part.empty()) {
        break;
      }
      expected.insert(part);
      EXPECT_EQ(mode_of(stage.path() + "/" + part), 0755u) << part;
    }
    expected.insert(dir + "/" + host_1 + ".json");
    expected.insert(dir + "/" + host_2 + ".json");
    EXPECT_EQ(slurp(stage.path() + "/" + dir + "/" + host_1 + ".json"),
              expected_manifest(host_1, trusted_origin_1, "/usr/bin/kelvarin-browser-host"));
    EXPECT_EQ(mode_of(stage.path() + "/" + dir + "/" + host_2 + ".json"), 0644u);
  }
  EXPECT_EQ(tree(stage.path()), expected);
  EXPECT_TRUE(tree(home.path()).empty());

  std::vector<std::string> uninstall_args{"uninstall", "--system", "--destdir", stage.path()};
  ASSERT_EQ(bridge(uninstall_args, home.path()).status, 0);
  // The manifest directories go; their parents stay.
  EXPECT_EQ(tree(stage.path()), (std::set<std::string>{"usr", "usr/bin", "usr/bin/kelvarin-browser-host", "etc",
                                                       "etc/opt", "etc/opt/chrome", "etc/chromium", "etc/opt/edge"}));
}

TEST(ManifestsSystem, TheHostPathIsLookedForUnderTheDestdir) {
  peer::TempDir stage;
  peer::TempDir home;
  const auto run = bridge({"install", "--system", "--destdir", stage.path(), "--host-path", HOST_BINARY},
                          home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr(stage.path() + HOST_BINARY));
  EXPECT_TRUE(tree(stage.path()).empty());
}

TEST(ManifestsTable, NamesAreUniqueAndSystemDirectoriesAbsolute) {
  for (const auto platform : {Platform::Linux, Platform::MacOS}) {
    std::set<std::string_view> names;
    for (const auto& browser : bridge::browser_table(platform)) {
      EXPECT_TRUE(names.insert(browser.name).second) << browser.name;
      EXPECT_FALSE(browser.config_dir.starts_with('/')) << browser.name;
      EXPECT_TRUE(browser.system_dir.empty() || browser.system_dir.starts_with('/')) << browser.name;
    }
  }
  EXPECT_EQ(bridge::find_browser(Platform::Linux, "arc"), nullptr);
  EXPECT_NE(bridge::find_browser(Platform::MacOS, "arc"), nullptr);
  EXPECT_NE(bridge::find_browser(Platform::Linux, "brave-flatpak"), nullptr);
  EXPECT_EQ(bridge::find_browser(Platform::MacOS, "brave-flatpak"), nullptr);
}

TEST(ManifestsTable, MacOSSelectionUsesLibraryApplicationSupport) {
  peer::TempDir home;
  for (const std::string dir : {"Library/Application Support/Google/Chrome", "Library/Application Support/Chromium",
                                "Library/Application Support/Arc/User Data"}) {
    fs::create_directories(home.path() + "/" + dir);
  }
  const bridge::Place mac{home.path(), Platform::MacOS};

  auto user = bridge::select_targets({}, mac, bridge::Purpose::install);
  ASSERT_TRUE(user) << user.error().message;
  std::vector<std::string> dirs;
  for (const auto& target : *user) {
    dirs.push_back(target.dir());
  }
  EXPECT_EQ(dirs, (std::vector<std::string>{
                      home.path() + "/Library/Application Support/Google/Chrome/NativeMessagingHosts",
                      home.path() + "/Library/Application Support/Chromium/NativeMessagingHosts",
                      home.path() + "/Library/Application Support/Arc/User Data/NativeMessagingHosts",
                  }));

  bridge::Selection system;
  system.system = true;
  system.browsers = {"chrome", "chrome-canary", "chromium", "edge"};
  auto targets = bridge::select_targets(system, mac, bridge::Purpose::install);
  ASSERT_TRUE(targets) << targets.error().message;
  dirs.clear();
  for (const auto& target : *targets) {
    dirs.push_back(target.dir());
  }
  // Chrome's channels share one system directory.
  EXPECT_EQ(dirs, (std::vector<std::string>{"/Library/Google/Chrome/NativeMessagingHosts",
                                            "/Library/Application Support/Chromium/NativeMessagingHosts",
                                            "/Library/Microsoft/Edge/NativeMessagingHosts"}));

  // The library writes the same files there as on Linux.
  const auto hosts = extension_hosts();
  const auto report = bridge::install(*user, hosts, HOST_BINARY, {});
  EXPECT_TRUE(report.failures.empty());
  EXPECT_EQ(report.written.size(), 6u);
  EXPECT_EQ(slurp(home.path() + "/Library/Application Support/Arc/User Data/NativeMessagingHosts/" + host_1 + ".json"),
            expected_manifest(host_1, trusted_origin_1, HOST_BINARY));
}

TEST(ManifestsOrigins, OnlyExactExtensionOriginsPass) {
  struct Case {
    std::string origin;
    std::string says;  // empty: accepted
  };
  const std::vector<Case> cases{
      {test_origin, ""},
      {trusted_origin_1, ""},
      {"chrome-extension://abcdefghijklmnopabcdefghijklmnop", "lacks its trailing \"/\""},
      {"chrome-extension://abcdefghijklmnopabcdefghijklmno/", "32 letters"},
      {"chrome-extension://ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP/", "32 letters"},
      {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/x", "more after"},
      {"chrome-extension://*/", "32 letters"},
      {"moz-extension://abcdefghijklmnopabcdefghijklmnop/", "chrome-extension://"},
  };
  for (const auto& c : cases) {
    const auto checked = bridge::check_origin(c.origin);
    EXPECT_EQ(checked.has_value(), c.says.empty()) << c.origin;
    if (!checked) {
      EXPECT_EQ(checked.error().kind, bridge::Failure::Kind::usage);
      EXPECT_THAT(checked.error().message, HasSubstr(c.says)) << c.origin;
    }
  }
}

}  // namespace
}  // namespace kelvarin::testing
