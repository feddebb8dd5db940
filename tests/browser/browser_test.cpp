// The whole path through a real browser: Debian's Chromium, headless, loads
// the unpacked test extension in extension/, which starts the built host
// through the manifest kelvarin-bridge writes, says hello and answers every
// forwarded request with what it received. The test is the desktop client:
// it finds the host through its discovery file, takes the lease and ends it,
// and then sees the host exit and its file go.
//
// Skipped when Chromium is not installed, unless KELVARIN_REQUIRE_BROWSER=1.

#include "testing/host_fixture.hpp"
#include "testing/peer.hpp"

#include <kelvarin/client.hpp>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
namespace client = kelvarin::client;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* browser_binary = "/usr/bin/chromium";
constexpr const char* host_name = "com.kelvarin.browser.ilimhgenbmakmldnokbdfbjkgakahhll";
constexpr const char* profile = "browser-test";

// The test extension's ID, fixed by the "key" in extension/manifest.json (the
// base64 DER form of an RSA-2048 public key whose private half was thrown
// away): the first 32 hex digits of the key's SHA-256, each digit 0-f written
// as a-p. To recompute it:
//   grep -o '"key": "[^"]*"' manifest.json | cut -d'"' -f4 | base64 -d |
//     sha256sum | head -c32 | tr 0-9a-f a-p
// The wrapper logs the origin the browser passes, so a drift shows up below.
constexpr const char* test_extension_id = "ofkikilddplpbcjbnmnnkcbajmbkdghc";

std::string test_origin() { return std::string("chrome-extension://") + test_extension_id + "/"; }

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, std::string_view text, fs::perms perms) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  fs::permissions(path, perms);
}

// A value as a shell word.
std::string shell_word(std::string_view text) {
  std::string word = "'";
  for (const char c : text) {
    word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return word + "'";
}

// The last `count` lines of Chromium's log, without its complaints about a
// missing D-Bus, which every headless run makes and which say nothing here.
std::string log_tail(const std::string& text, std::size_t count = 40) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find("dbus") == std::string::npos && line.find("D-Bus") == std::string::npos) {
      lines.push_back(std::move(line));
    }
  }
  std::string tail;
  for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
    tail += lines[i] + "\n";
  }
  return tail;
}

struct Leftover {
  pid_t pid = 0;
  std::string cmdline;
};

// Live processes (zombies excluded) in process group `group`, named `pid`, or
// whose command line names `marker`, and their descendants: what the browser
// may leave behind. Its crash handlers leave the group but name the
// temporary HOME.
std::vector<Leftover> processes_of(pid_t group, std::optional<pid_t> pid, const std::string& marker) {
  struct Process {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
    std::string cmdline;
  };
  std::vector<Process> all;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.empty() || !std::ranges::all_of(name, [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    const std::string stat = read_text(entry.path() / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;  // gone meanwhile
    }
    // After the command name: state, parent, process group.
    Process process;
    process.pid = std::stoi(name);
    std::istringstream fields(stat.substr(close + 1));
    char state = '?';
    fields >> state >> process.parent >> process.group;
    if (state == 'Z' || state == 'X' || process.pid == ::getpid()) {
      continue;
    }
    process.cmdline = read_text(entry.path() / "cmdline");
    std::ranges::replace(process.cmdline, '\0', ' ');
    all.push_back(std::move(process));
  }
  std::vector<Leftover> found;
  const auto taken = [&](pid_t id) {
    return std::ranges::any_of(found, [&](const Leftover& leftover) { return leftover.pid == id; });
  };
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& process : all) {
      if (!taken(process.pid) && (process.group == group || process.pid == pid || taken(process.parent) ||
                                  process.cmdline.find(marker) != std::string::npos)) {
        found.push_back({process.pid, process.cmdline});
        grew = true;
      }
    }
  }
  return found;
}

// Chromium in a process group of its own, output to `log`. Stopped by its
// own process id; anything of it still alive afterwards is a failure.
class Browser {
 public:
  Browser(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
          const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<std::string> argv_text{browser_binary};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (const auto& [key, value] : env) {
      env_text.push_back(key + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : env_text) {
      envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    const int rc = ::posix_spawn(&pid_, browser_binary, &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      spawn_error_ = rc;
    }
  }
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;
  ~Browser() { stop(); }

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] int spawn_error() const { return spawn_error_; }

  // True while the browser runs; reaps it once it has ended.
  bool running() {
    if (pid_ <= 0 || ended_) {
      return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = true;
    }
    return !ended_;
  }

  // SIGTERM, then SIGKILL if it has not ended within 5 s; reaped either way.
  void stop() {
    if (pid_ <= 0 || !running()) {
      return;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + 5s;
    while (running() && Clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    if (!ended_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      ended_ = true;
    }
  }

 private:
  pid_t pid_ = -1;
  int spawn_error_ = 0;
  bool ended_ = false;
};

struct CommandRun {
  std::optional<int> status;
  std::string out;
  std::string err;
};

// kelvarin-bridge with HOME set to `home`.
CommandRun run_bridge(const std::vector<std::string>& args, const std::string& home) {
  kelvarin::peer::HostProcess process(
      {.binary = BRIDGE_BINARY, .args = args, .env = {{"HOME", home}, {"PATH", "/usr/bin:/bin"}}});
  process.close_in();
  CommandRun run;
  run.out = kelvarin::testing::read_to_end(process.out(), 10s);
  run.status = process.wait_exit(10s);
  run.err = process.err();
  return run;
}

std::string describe(const CommandRun& run) {
  return "status " + (run.status ? std::to_string(*run.status) : std::string("none")) + "\nstdout:\n" + run.out +
         "\nstderr:\n" + run.err;
}

class RealBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(browser_binary, X_OK) != 0) {
      const char* require = std::getenv("KELVARIN_REQUIRE_BROWSER");
      if (require != nullptr && std::string_view(require) == "1") {
        FAIL() << browser_binary << " is missing and KELVARIN_REQUIRE_BROWSER=1 (install the chromium package)";
      }
      GTEST_SKIP() << browser_binary << " is missing (install the chromium package to run this test)";
    }
    for (const auto& dir : {home_, profile_dir_, tmp_}) {
      fs::create_directories(dir);
    }
    // A copy, so nothing the browser writes lands in the source tree.
    fs::copy(TEST_EXTENSION_DIR, extension_dir_, fs::copy_options::recursive);
    write_wrapper();
  }

  void TearDown() override {
    if (browser_) {
      const pid_t group = browser_->pid();
      browser_->stop();
      // The browser's helpers and the host end with it; give them a moment.
      std::optional<pid_t> wrapper;
      if (const auto text = read_text(root_path() / "wrapper.pid"); !text.empty()) {
        wrapper = std::stoi(text);
      }
      auto left = processes_of(group, wrapper, root_.path());
      for (const auto deadline = Clock::now() + 5s; !left.empty() && Clock::now() < deadline;) {
        std::this_thread::sleep_for(50ms);
        left = processes_of(group, wrapper, root_.path());
      }
      std::string named;
      for (const auto& process : left) {
        ::kill(process.pid, SIGKILL);
        named += "\n  " + std::to_string(process.pid) + " " + process.cmdline.substr(0, 200);
      }
      EXPECT_TRUE(left.empty()) << "processes of the browser outlived it by 5 s (killed now):" << named;
    }
    if (HasFailure()) {
      std::cerr << "--- wrapper log:\n" << read_text(wrapper_log()) << "--- host stderr:\n"
                << read_text(root_path() / "host.err") << "--- native-messaging manifest:\n"
                << read_text(manifest_path()) << "\n--- Chromium log (tail):\n"
                << log_tail(read_text(browser_log())) << "---\n";
    }
  }

  [[nodiscard]] fs::path root_path() const { return root_.path(); }
  [[nodiscard]] fs::path wrapper_log() const { return root_path() / "wrapper.log"; }
  [[nodiscard]] fs::path status_file() const { return root_path() / "host.status"; }
  [[nodiscard]] fs::path browser_log() const { return root_path() / "chromium.log"; }
  [[nodiscard]] fs::path manifest_path() const {
    return profile_dir_ / "NativeMessagingHosts" / (std::string(host_name) + ".json");
  }

  // The browser starts the manifest's path with the calling extension's
  // origin; the host trusts only its own extensions, so the wrapper passes
  // the first trusted origin instead and reports what happened.
  void write_wrapper() {
    const auto file = [&](std::string_view name) { return shell_word((root_path() / name).string()); };
    std::string script = "#!/bin/sh\n";
    script += "echo \"$$\" > " + file("wrapper.pid") + "\n";
    script += "echo \"started with: $*\" >> " + file("wrapper.log") + "\n";
    script += shell_word(HOST_BINARY) + " " + shell_word(kelvarin::testing::trusted_origin_1) + " 2>> " +
              file("host.err") + "\n";
    script += "status=$?\n";
    script += "echo \"host exited with status $status\" >> " + file("wrapper.log") + "\n";
    script += "echo \"$status\" > " + file("host.status.part") + " && mv " + file("host.status.part") + " " +
              file("host.status") + "\n";
    write_text(wrapper_, script, fs::perms::owner_all);
  }

  // The native-messaging manifests (one per trusted extension), written by
  // the tool where Chromium looks for them under its user data directory.
  void register_host() {
    const auto run = run_bridge({"install", "--user-data-dir", profile_dir_.string(), "--host-path", wrapper_.string(),
                                 "--allow-origin", test_origin()},
                                home_.string());
    ASSERT_EQ(run.status, 0) << describe(run);
    const auto manifest = json::parse(read_text(manifest_path()));
    EXPECT_EQ(manifest.at("path"), json::value(wrapper_.string()));
    EXPECT_EQ(manifest.at("allowed_origins"),
              json::value(json::array{kelvarin::testing::trusted_origin_1, test_origin()}));
  }

  void start_browser() {
    std::vector<std::string> args{"--headless=new",
                                  "--disable-gpu",
                                  "--disable-quic",
                                  "--no-first-run",
                                  "--disable-background-networking",
                                  "--disable-component-update",
                                  "--disable-sync",
                                  // The extension's console lines, for the log printed on failure.
                                  "--enable-logging=stderr",
                                  "--user-data-dir=" + profile_dir_.string(),
                                  "--load-extension=" + extension_dir_.string(),
                                  "--disable-extensions-except=" + extension_dir_.string()};
    if (::geteuid() == 0) {
      args.insert(args.begin() + 1, "--no-sandbox");  // the sandbox refuses to run as root
    }
    args.emplace_back("about:blank");
    // Its own environment: the temporary HOME (where the host puts its
    // discovery file) and a TMPDIR that goes away with the test.
    std::map<std::string, std::string> env{
        {"HOME", home_.string()}, {"PATH", "/usr/bin:/bin"}, {"TMPDIR", tmp_.string()}};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) {
        env[name] = value;  // for a sanitised host
      }
    }
    browser_.emplace(args, env, browser_log().string());
    ASSERT_GT(browser_->pid(), 0) << "cannot start " << browser_binary << ": "
                                  << std::strerror(browser_->spawn_error());
  }

  // Waits for the host's discovery file; fails early if the browser or the
  // host has ended.
  std::optional<client::HostEntry> wait_for_host(std::chrono::seconds limit) {
    const auto directory = kelvarin::peer::discovery_dir_under(home_.string());
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;
         std::this_thread::sleep_for(50ms)) {
      auto hosts = client::find_hosts(profile, directory);
      if (hosts && !hosts->empty()) {
        EXPECT_EQ(hosts->size(), 1u);
        return hosts->front();
      }
      if (!browser_->running()) {
        ADD_FAILURE() << "the browser ended before the host published its discovery file";
        return std::nullopt;
      }
      if (fs::exists(status_file())) {
        ADD_FAILURE() << "the host ended before publishing its discovery file";
        return std::nullopt;
      }
      // The extension logs it when the browser refuses or loses the host.
      if (read_text(browser_log()).find("kelvarin-test: native port closed") != std::string::npos) {
        ADD_FAILURE() << "the browser closed the extension's native port (see the log below)";
        return std::nullopt;
      }
    }
    ADD_FAILURE() << "no discovery file within " << limit.count() << " s";
    return std::nullopt;
  }

  kelvarin::peer::TempDir root_;
  fs::path home_ = root_path() / "home";
  fs::path profile_dir_ = root_path() / "profile";
  fs::path tmp_ = root_path() / "tmp";
  fs::path extension_dir_ = root_path() / "extension";
  fs::path wrapper_ = root_path() / "wrapper.sh";
  std::optional<Browser> browser_;
};

TEST_F(RealBrowser, ClientLeaseGoesThroughTheBrowserAndTheHostEndsWithThePort) {
  ASSERT_NO_FATAL_FAILURE(register_host());
  ASSERT_NO_FATAL_FAILURE(start_browser());
  const auto entry = wait_for_host(30s);
  ASSERT_TRUE(entry);

  // The browser derived the same ID from the key as the test did.
  EXPECT_NE(read_text(wrapper_log()).find("started with: " + test_origin()), std::string::npos);

  const auto manifest = json::parse(read_text(extension_dir_ / "manifest.json"));
  const std::string version(manifest.at("version").as_string());
  EXPECT_EQ(entry->browser_name, "Chromium");
  EXPECT_EQ(entry->extension_version, version);

  auto session = client::Session::open(*entry);
  ASSERT_TRUE(session) << session.error().text();
  const auto info = session->info();
  ASSERT_TRUE(info) << info.error().text();
  EXPECT_EQ(info->profile_id, profile);
  EXPECT_EQ(info->browser_name, "Chromium");
  EXPECT_EQ(info->extension_version, version);
  EXPECT_EQ(info->host_id, entry->host_id);

  const std::string pairing_url = "ws://127.0.0.1:41234/extension#browser-test-token";
  const json::object owner{{"ownerId", "browser-test-owner"}, {"accountId", "account 1"}, {"profileId", profile}};

  // The extension echoes what it was sent, so its answer shows the params
  // crossed the host, the browser's native-messaging pipe and the
  // extension's JSON unchanged, non-ASCII text and nesting included.
  json::object connect = owner;
  connect["ttlMs"] = 90000;
  connect["pairingUrl"] = pairing_url;
  connect["probe"] = json::object{{"list", json::array{1, "two", nullptr, true, 2.5}}, {"text", "Grüße, 世界 ✓"}};
  const auto connected = session->call("browser.connect", connect);
  ASSERT_TRUE(connected) << connected.error().text();
  EXPECT_EQ(*connected, json::value(json::object{{"ok", true}, {"method", "browser.connect"}, {"params", connect}}));
  const auto suspended = session->call("browser.suspend", owner);
  ASSERT_TRUE(suspended) << suspended.error().text();
  EXPECT_EQ(*suspended, json::value(json::object{{"ok", true}, {"method", "browser.suspend"}, {"params", owner}}));

  // The suspend ended that lease; now the library takes the profile.
  auto lease = client::Lease::acquire(
      *session, {.owner_id = "browser-test-owner", .account_id = "account 1", .pairing_url = pairing_url, .extra = {}},
      client::Renewal::manual);
  ASSERT_TRUE(lease) << lease.error().text();
  EXPECT_TRUE(lease->held());
  const auto renewed = lease->renew();
  ASSERT_TRUE(renewed) << renewed.error().text();
  EXPECT_EQ(renewed->as_object().at("method"), json::value("browser.renew"));
  json::object renew_params = owner;
  renew_params["ttlMs"] = 90000;
  EXPECT_EQ(renewed->as_object().at("params"), json::value(renew_params));
  EXPECT_TRUE(lease->held());

  // The CLI finds the same host through the same HOME, and never shows its
  // secret.
  const auto list = run_bridge({"list", "--json"}, home_.string());
  ASSERT_EQ(list.status, 0) << describe(list);
  const auto listed = json::parse(list.out);
  ASSERT_EQ(listed.at("hosts").as_array().size(), 1u) << list.out;
  const auto& listed_host = listed.at("hosts").at(0);
  EXPECT_EQ(listed_host.at("hostId"), json::value(entry->host_id));
  EXPECT_EQ(listed_host.at("profileId"), json::value(profile));
  EXPECT_EQ(listed_host.at("browserName"), json::value("Chromium"));
  EXPECT_EQ(listed_host.at("port"), json::value(entry->port));
  EXPECT_EQ(listed_host.at("status"), json::value("running"));
  EXPECT_EQ(list.out.find(entry->secret), std::string::npos);
  const auto shown = run_bridge({"info", "--json", "--profile", profile}, home_.string());
  ASSERT_EQ(shown.status, 0) << describe(shown);
  const auto described = json::parse(shown.out);
  EXPECT_EQ(described.at("hostId"), json::value(entry->host_id));
  EXPECT_EQ(described.at("extensionVersion"), json::value(version));
  EXPECT_EQ(shown.out.find(entry->secret), std::string::npos);

  // On this answer the extension closes its port, which closes the host's
  // input: the host must exit 0 and take its discovery file with it.
  const auto disconnected = lease->disconnect();
  ASSERT_TRUE(disconnected) << disconnected.error().text();
  EXPECT_EQ(disconnected->as_object().at("method"), json::value("browser.disconnect"));
  EXPECT_FALSE(lease->held());
  for (const auto deadline = Clock::now() + 10s; !fs::exists(status_file()) && Clock::now() < deadline;) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(fs::exists(status_file())) << "the host still runs 10 s after the extension closed its port";
  EXPECT_EQ(read_text(status_file()), "0\n");
  EXPECT_EQ(read_text(root_path() / "host.err"), "");
  EXPECT_TRUE(kelvarin::peer::read_discovery(home_.string()).empty());
  EXPECT_TRUE(browser_->running()) << "the browser ended with the port";

  const auto removed = run_bridge({"uninstall", "--user-data-dir", profile_dir_.string()}, home_.string());
  EXPECT_EQ(removed.status, 0) << describe(removed);
  EXPECT_FALSE(fs::exists(manifest_path().parent_path()));
}

}  // namespace
