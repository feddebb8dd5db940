// doctor: broken manifests and discovery directories as library calls, a
// clean and a broken installation through the built kelvarin-bridge, and
// live and stale hosts.

#include "doctor.hpp"
#include "testing/host_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin::testing {
namespace {

namespace fs = std::filesystem;
using bridge::Finding;
using bridge::Severity;
using ::testing::HasSubstr;

const std::string host_1 = "com.kelvarin.browser.ilimhgenbmakmldnokbdfbjkgakahhll";
const std::string other_origin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

void spit(const std::string& path, std::string_view text) { std::ofstream(path, std::ios::binary) << text; }

std::string manifest_with(const std::function<void(json::object&)>& change) {
  json::object manifest{{"name", host_1},
                        {"description", "test"},
                        {"type", "stdio"},
                        {"path", HOST_BINARY},
                        {"allowed_origins", json::array{json::value(trusted_origin_1)}}};
  change(manifest);
  return to_json_text(manifest);
}

std::string describe(const std::vector<Finding>& findings) {
  std::string text;
  for (const auto& f : findings) {
    text += std::string(bridge::severity_name(f.severity)) + " " + f.subject + ": " + f.message + "\n";
  }
  return text;
}

// The findings of `severity` whose message holds `text`.
std::size_t count(const std::vector<Finding>& findings, Severity severity, std::string_view text) {
  return static_cast<std::size_t>(std::ranges::count_if(findings, [&](const Finding& f) {
    return f.severity == severity && f.message.find(text) != std::string::npos;
  }));
}

std::size_t problems(const std::vector<Finding>& findings) {
  return static_cast<std::size_t>(
      std::ranges::count(findings, Severity::problem, &Finding::severity));
}

ExtensionHost first_host() { return extension_hosts().front(); }

TEST(DoctorManifest, EachFaultIsNamed) {
  peer::TempDir dir;
  const std::string plain = dir.path() + "/plain";
  spit(plain, "#!/bin/sh\n");
  ::chmod(plain.c_str(), 0644);
  struct Case {
    std::string name;
    std::string text;
    std::string says;
  };
  const std::vector<Case> cases{
      {"not JSON", "{\"name\":", "not a JSON object"},
      {"an array", "[]", "not a JSON object"},
      {"wrong name", manifest_with([](auto& m) { m["name"] = "com.example.other"; }), "\"name\" is \"com.example.other\""},
      {"no name", manifest_with([](auto& m) { m.erase("name"); }), "\"name\" is missing"},
      {"wrong type", manifest_with([](auto& m) { m["type"] = "pipe"; }), "\"type\" is not \"stdio\""},
      {"no path", manifest_with([](auto& m) { m.erase("path"); }), "\"path\" is missing"},
      {"relative path", manifest_with([](auto& m) { m["path"] = "bin/kelvarin-browser-host"; }), "is not absolute"},
      {"missing program", manifest_with([](auto& m) { m["path"] = "/nonexistent/kelvarin-browser-host"; }),
       "does not exist"},
      {"directory program", manifest_with([&](auto& m) { m["path"] = dir.path(); }), "is not a regular file"},
      {"plain program", manifest_with([&](auto& m) { m["path"] = plain; }), "is not executable"},
      {"no origins", manifest_with([](auto& m) { m.erase("allowed_origins"); }), "not an array of strings"},
      {"number origin", manifest_with([](auto& m) { m["allowed_origins"] = json::array{1}; }),
       "not an array of strings"},
      {"other origin only",
       manifest_with([](auto& m) { m["allowed_origins"] = json::array{json::value(other_origin)}; }),
       "does not hold " + std::string(trusted_origin_1)},
      {"own origin without slash",
       manifest_with([](auto& m) {
         m["allowed_origins"] = json::array{json::value("chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll")};
       }),
       "lacks its trailing \"/\""},
      {"extra origin without slash",
       manifest_with([](auto& m) {
         m["allowed_origins"] =
             json::array{json::value(trusted_origin_1), json::value("chrome-extension://abcdefghijklmnopabcdefghijklmnop")};
       }),
       "lacks its trailing \"/\""},
      {"wildcard origin",
       manifest_with([](auto& m) {
         m["allowed_origins"] = json::array{json::value(trusted_origin_1), json::value("chrome-extension://*/")};
       }),
       "is not an extension origin"},
  };
  const std::string path = dir.path() + "/" + host_1 + ".json";
  for (const auto& c : cases) {
    spit(path, c.text);
    ::chmod(path.c_str(), 0644);
    const auto findings = bridge::check_manifest(path, first_host());
    EXPECT_EQ(count(findings, Severity::problem, c.says), 1u) << c.name << ":\n" << describe(findings);
    EXPECT_EQ(count(findings, Severity::ok, ""), 0u) << c.name << ":\n" << describe(findings);
  }

  // The trailing "/" of its own origin is reported as exactly that, not also
  // as the origin being absent.
  spit(path, cases[13].text);
  EXPECT_EQ(problems(bridge::check_manifest(path, first_host())), 1u);

  spit(path, manifest_with([](auto&) {}));
  const auto clean = bridge::check_manifest(path, first_host());
  EXPECT_EQ(problems(clean), 0u) << describe(clean);
  EXPECT_EQ(count(clean, Severity::ok, "is a valid manifest"), 1u) << describe(clean);
}

TEST(DoctorManifest, LinksOtherFilesAndWritableModes) {
  peer::TempDir dir;
  const std::string path = dir.path() + "/" + host_1 + ".json";
  const std::string real = dir.path() + "/real.json";
  spit(real, manifest_with([](auto&) {}));
  ::chmod(real.c_str(), 0644);

  fs::create_symlink(real, path);
  EXPECT_EQ(count(bridge::check_manifest(path, first_host()), Severity::problem, "symbolic link"), 1u);
  fs::remove(path);

  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  EXPECT_EQ(count(bridge::check_manifest(path, first_host()), Severity::problem, "not a regular file"), 1u);
  fs::remove(path);

  fs::copy_file(real, path);
  ::chmod(path.c_str(), 0666);
  EXPECT_EQ(count(bridge::check_manifest(path, first_host()), Severity::problem, "writable by every user"), 1u);
  ::chmod(path.c_str(), 0664);
  const auto group = bridge::check_manifest(path, first_host());
  EXPECT_EQ(count(group, Severity::warning, "writable by its group"), 1u) << describe(group);
  EXPECT_EQ(problems(group), 0u);

  // The directory is checked by the registration check.
  ::chmod(path.c_str(), 0644);
  ::chmod(dir.path().c_str(), 0777);
  const bridge::Target target{"", bridge::Scope::user_data_dir, fs::path(dir.path()).parent_path().string(),
                              fs::path(dir.path()).filename().string()};
  const auto hosts = extension_hosts();
  const auto findings = bridge::check_registration("profile", std::span(&target, 1), std::span(hosts.data(), 1), "");
  EXPECT_EQ(count(findings, Severity::problem, "manifest directory is writable by every user"), 1u)
      << describe(findings);
  ::chmod(dir.path().c_str(), 0700);
}

TEST(DoctorManifest, AMissingManifestIsTheBrowsersNotFound) {
  peer::TempDir profile;
  const auto target = bridge::user_data_dir_target(profile.path());
  const auto hosts = extension_hosts();
  const auto findings =
      bridge::check_registration("profile", std::span(&target, 1), hosts, "Run: kelvarin-bridge install");
  EXPECT_EQ(count(findings, Severity::problem, "Specified native messaging host not found."), hosts.size())
      << describe(findings);
  EXPECT_EQ(findings.front().hint, "Run: kelvarin-bridge install");
}

struct Ran {
  std::optional<int> status;
  std::string out;
  std::string err;
};

Ran bridge_run(const std::vector<std::string>& args, const std::string& home) {
  peer::HostProcess process(peer::HostProcess::Options{.binary = BRIDGE_BINARY, .args = args, .env = {{"HOME", home}}});
  process.close_in();
  Ran run;
  run.out = read_to_end(process.out(), 15s);
  run.status = process.wait_exit(5s);
  run.err = process.err();
  return run;
}

TEST(DoctorCommand, ACleanInstallPassesAndABrokenOneFails) {
  peer::TempDir home;
  fs::create_directories(home.path() + "/.config/chromium");
  const auto before = bridge_run({"doctor"}, home.path());
  EXPECT_EQ(before.status, 1) << before.out;
  EXPECT_THAT(before.out, HasSubstr("Specified native messaging host not found."));
  EXPECT_THAT(before.out, HasSubstr("hint: Run: kelvarin-bridge install --browser chromium"));

  ASSERT_EQ(bridge_run({"install", "--host-path", HOST_BINARY}, home.path()).status, 0);
  const auto clean = bridge_run({"doctor"}, home.path());
  EXPECT_EQ(clean.status, 0) << clean.out;
  EXPECT_THAT(clean.out, HasSubstr("0 problems"));

  const std::string manifest =
      home.path() + "/.config/chromium/NativeMessagingHosts/com.kelvarin.browser.kiellkahjdbnljcfdagkahjjnmgolnhb.json";
  spit(manifest, R"({"name":"com.kelvarin.browser.kiellkahjdbnljcfdagkahjjnmgolnhb","type":"stdio","path":")" +
                     std::string(HOST_BINARY) +
                     R"(","allowed_origins":["chrome-extension://kiellkahjdbnljcfdagkahjjnmgolnhb"]})");
  const auto broken = bridge_run({"doctor", "--json"}, home.path());
  EXPECT_EQ(broken.status, 1);
  const auto document = parse_json(broken.out);
  ASSERT_TRUE(document) << broken.out;
  EXPECT_TRUE(is_integer(member(*document, "problems"), 1)) << broken.out;
  bool named = false;
  for (const auto& finding : member(*document, "findings").as_array()) {
    if (is_text(member(finding, "severity"), "problem")) {
      named = is_text(member(finding, "subject"), manifest) &&
              std::string_view(member(finding, "message").as_string()).find("trailing \"/\"") != std::string::npos;
    }
  }
  EXPECT_TRUE(named) << broken.out;

  const auto unknown = bridge_run({"doctor", "--browser", "netscape"}, home.path());
  EXPECT_EQ(unknown.status, 2);
}

TEST(DoctorCommand, ANamedBrowserThatIsNotThereIsAProblem) {
  peer::TempDir home;
  const auto run = bridge_run({"doctor", "--browser", "brave"}, home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr(home.path() + "/.config/BraveSoftware/Brave-Browser does not exist"));
}

TEST(DoctorSystem, ChecksEverySystemDirectoryUnderTheRoot) {
  peer::TempDir stage;
  peer::TempDir home;
  const bridge::Place place{home.path(), bridge::Platform::Linux};
  bridge::Selection selection;
  selection.system = true;
  selection.root = stage.path();
  const auto targets = bridge::select_targets(selection, place, bridge::Purpose::install);
  ASSERT_TRUE(targets) << targets.error().message;
  const auto hosts = extension_hosts();
  ASSERT_TRUE(bridge::install(*targets, hosts, HOST_BINARY, {}).failures.empty());

  bridge::DoctorRequest request;
  request.place = place;
  request.system = true;
  request.root = stage.path();
  request.uid = ::geteuid();
  auto findings = bridge::doctor(request);
  ASSERT_TRUE(findings);
  EXPECT_EQ(problems(*findings), 0u) << describe(*findings);
  // Chrome's, Chromium's and Edge's directories, each with both manifests.
  EXPECT_EQ(count(*findings, Severity::ok, "is a valid manifest"), 3 * hosts.size()) << describe(*findings);

  fs::remove(stage.path() + "/etc/chromium/native-messaging-hosts/" + host_1 + ".json");
  request.browsers = {"chromium", "brave"};
  findings = bridge::doctor(request);
  ASSERT_TRUE(findings);
  EXPECT_EQ(count(*findings, Severity::problem, "has no manifest for " + host_1), 1u) << describe(*findings);
  EXPECT_EQ(count(*findings, Severity::warning, "has no system-wide manifest directory"), 1u) << describe(*findings);
}

// A port nothing listens on: bound once, then closed.
std::uint16_t closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string discovery_document(std::string_view host_id, std::uint16_t port) {
  return to_json_text(json::object{{"browserName", "Chromium"},
                                   {"extensionVersion", "1.0.0"},
                                   {"hostId", host_id},
                                   {"port", port},
                                   {"profileId", "Default"},
                                   {"secret", "00000000-0000-4000-8000-000000000000"},
                                   {"version", 1}});
}

class DoctorDiscovery : public ::testing::Test {
 protected:
  void make_dirs() {
    fs::create_directories(dir());
    ::chmod(data().c_str(), 0700);
    ::chmod(dir().c_str(), 0700);
  }
  std::string write(std::string_view host_id, std::uint16_t port, mode_t mode = 0600) {
    const std::string path = dir() + "/" + std::string(host_id) + ".json";
    spit(path, discovery_document(host_id, port));
    ::chmod(path.c_str(), mode);
    return path;
  }
  std::vector<Finding> check(uid_t uid = ::geteuid()) { return bridge::check_discovery(home_.path(), uid, 2s); }
  [[nodiscard]] std::string data() const { return home_.path() + "/.kelvarin"; }
  [[nodiscard]] std::string dir() const { return peer::discovery_dir_under(home_.path()); }
  peer::TempDir home_;
};

TEST_F(DoctorDiscovery, NoDirectoryIsFine) {
  const auto findings = check();
  ASSERT_EQ(findings.size(), 1u) << describe(findings);
  EXPECT_EQ(findings[0].severity, Severity::ok);
  EXPECT_THAT(findings[0].message, HasSubstr("no host has run"));
}

TEST_F(DoctorDiscovery, LinksOwnersAndModes) {
  peer::TempDir elsewhere;
  fs::create_directory_symlink(elsewhere.path(), data());
  EXPECT_EQ(count(check(), Severity::problem, "symbolic link: the host refuses it"), 1u);
  fs::remove(data());

  make_dirs();
  EXPECT_EQ(problems(check()), 0u) << describe(check());
  EXPECT_EQ(count(check(::geteuid() + 1), Severity::problem, "not by you"), 1u);

  ::chmod(dir().c_str(), 0755);
  EXPECT_EQ(count(check(), Severity::warning, "has mode 0755, not 0700"), 1u);
  ::chmod(dir().c_str(), 0700);

  const std::string readable = write("aaaaaaaa-0000-4000-8000-000000000000", closed_port(), 0644);
  const auto findings = check();
  EXPECT_EQ(count(findings, Severity::problem, "other users can read the host's secret"), 1u) << describe(findings);

  spit(dir() + "/bbbbbbbb-0000-4000-8000-000000000000.json", "garbage");
  ::chmod((dir() + "/bbbbbbbb-0000-4000-8000-000000000000.json").c_str(), 0600);
  EXPECT_EQ(count(check(), Severity::problem, "not a discovery document"), 1u);
}

TEST_F(DoctorDiscovery, ALiveHostIsNotStaleAndAKilledOnesFileIs) {
  Host host(Host::Options{}, home_.path());
  host.start();
  const std::string closed = write("cccccccc-0000-4000-8000-000000000000", closed_port());
  // A leftover whose port now belongs to the live host: the host id tells them apart.
  const std::string reused = write("dddddddd-0000-4000-8000-000000000000", host.port());

  const auto findings = check();
  EXPECT_EQ(problems(findings), 0u) << describe(findings);
  EXPECT_EQ(count(findings, Severity::ok, "is running and answers"), 1u) << describe(findings);
  EXPECT_EQ(count(findings, Severity::warning, "is stale"), 2u) << describe(findings);
  for (const auto& f : findings) {
    if (f.severity == Severity::ok && f.message.find("is running") != std::string::npos) {
      EXPECT_EQ(f.subject, host.discovery().path);
    }
    if (f.severity == Severity::warning) {
      EXPECT_TRUE(f.subject == closed || f.subject == reused) << f.subject;
      EXPECT_THAT(f.message, HasSubstr("killed"));
      EXPECT_THAT(f.hint, HasSubstr("rm"));
    }
  }
  EXPECT_EQ(host.finish(), 0);
}

}  // namespace
}  // namespace kelvarin::testing
