// demo: the whole bridge on one machine. Starts the host the way a browser
// does, plays the extension on its pipes from a thread of its own, and runs a
// client session through the client library, printing every frame that
// passes between host and extension and every call the client makes.

#include "cli.hpp"
#include "client_errors.hpp"

#include "core/json.hpp"
#include "core/trusted_extensions.hpp"
#include "kelvarin/client.hpp"
#include "testing/peer.hpp"

#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace kelvarin::bridge {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string trusted_origin = first_trusted_origin();
constexpr auto wait_limit = 5s;

// Lines from two threads, each whole; silent in --json mode.
class Printer {
 public:
  explicit Printer(const Output& output) : output_(output) {}
  void line(std::string_view text) {
    if (!output_.json) {
      const std::lock_guard lock(mutex_);
      output_.out << text << std::endl;  // flushed: a stalled step shows how far it got
    }
  }
  void heading(std::string_view text) { line("\n" + std::string(text)); }

 private:
  const Output& output_;
  std::mutex mutex_;
};

std::string hide(std::string text, const std::string& secret) {
  for (auto at = text.find(secret); !secret.empty() && at != std::string::npos; at = text.find(secret)) {
    text.replace(at, secret.size(), secret.substr(0, 8) + "…");
  }
  return text;
}

// The extension: answers every forwarded request with a result naming the
// method and echoing the params, until the host's output ends.
class Extension {
 public:
  Extension(peer::HostProcess& host, Printer& printer) : host_(host), printer_(printer) {}
  ~Extension() { join(); }

  bool hello(json::value& reply) {
    const json::value hello{
        {"version", 1},
        {"id", "hello-1"},
        {"method", "bridge.hello"},
        {"params", {{"profileId", "Default"}, {"browserName", "Chromium"}, {"extensionVersion", "1.0.0"}}}};
    printer_.line("  extension → host  " + to_json_text(hello));
    if (!peer::write_json(host_.in(), hello)) {
      return false;
    }
    const auto frame = peer::read_frame(host_.out(), wait_limit);
    if (frame.status != peer::ReadStatus::frame) {
      return false;
    }
    printer_.line("  host → extension  " + frame.body);
    reply = frame.json();
    return true;
  }

  void start() {
    thread_ = std::thread([this] { serve(); });
  }
  void join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  // The client is about to make a call that the host forwards. Any other
  // request is one the host makes on its own to end a lease: a release
  // message, which needs no answer.
  void expect(std::string method) {
    const std::lock_guard lock(mutex_);
    expected_.push_back(std::move(method));
  }
  [[nodiscard]] std::size_t releases() const { return releases_; }
  [[nodiscard]] bool leaked_secret() const { return leaked_secret_; }

  std::string secret;  // set before start(); no forwarded frame may carry it

 private:
  void serve() {
    for (;;) {
      const auto frame = peer::read_frame(host_.out(), 120s);
      if (frame.status != peer::ReadStatus::frame) {
        return;
      }
      printer_.line("  host → extension  " + frame.body);
      leaked_secret_ = leaked_secret_ || (!secret.empty() && frame.body.find(secret) != std::string::npos);
      const auto message = frame.json();
      if (!take_expected(member(message, "method"))) {
        ++releases_;
        printer_.line("  (a release message: the host ended a lease on its own; it needs no answer)");
        continue;
      }
      const auto* id = member(message, "id").if_string();
      if (id == nullptr) {
        continue;
      }
      const json::value answer{
          {"version", 1},
          {"id", *id},
          {"result", {{"ok", true}, {"method", member(message, "method")}, {"params", member(message, "params")}}}};
      printer_.line("  extension → host  " + to_json_text(answer));
      if (!peer::write_json(host_.in(), answer)) {
        return;
      }
    }
  }

  bool take_expected(const json::value& method) {
    const std::lock_guard lock(mutex_);
    if (expected_.empty() || !is_text(method, expected_.front())) {
      return false;
    }
    expected_.pop_front();
    return true;
  }

  peer::HostProcess& host_;
  Printer& printer_;
  std::thread thread_;
  std::mutex mutex_;
  std::deque<std::string> expected_;
  std::size_t releases_ = 0;
  bool leaked_secret_ = false;
};

std::string default_host_path() {
  std::error_code ec;
  const auto self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("kelvarin-browser-host") : (self.parent_path() / "kelvarin-browser-host").string();
}

struct Step {
  std::string what;
  bool ok = false;
  std::string detail;
};

int run_demo(const Args& args, const Output& output) {
  const std::string host_path = args.value("--host-path").value_or(default_host_path());
  if (::access(host_path.c_str(), X_OK) != 0) {
    return output.fail(exit_file_error, "no_host_binary",
                       "No host executable at " + host_path + "; give it with --host-path.");
  }
  std::unique_ptr<peer::TempDir> temporary;
  std::string home;
  if (const auto given = args.value("--home")) {
    home = fs::absolute(*given).lexically_normal().string();
  } else {
    temporary = std::make_unique<peer::TempDir>();
    home = temporary->path();
  }

  Printer printer(output);
  json::array steps;
  bool all_ok = true;
  auto check = [&](std::string what, bool ok, std::string detail = {}) {
    steps.push_back(json::object{{"step", what}, {"ok", ok}});
    all_ok = all_ok && ok;
    if (!ok) {
      printer.line("  FAILED: " + what + (detail.empty() ? "" : ": " + detail));
    }
    return ok;
  };

  // The browser's environment, with HOME pointing at the demo's.
  peer::HostProcess::Options spawn{.binary = host_path, .args = {trusted_origin}, .env = {}};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    if (const auto eq = text.find('='); eq != std::string_view::npos) {
      spawn.env[std::string(text.substr(0, eq))] = std::string(text.substr(eq + 1));
    }
  }
  spawn.env["HOME"] = home;
  const auto dir = peer::discovery_dir_under(home);

  printer.line("Starting " + host_path + " " + trusted_origin + "\n  HOME=" + home +
               (temporary ? " (temporary)" : ""));
  peer::HostProcess host(spawn);
  Extension extension(host, printer);
  std::optional<int> status;
  std::string discovery_path;

  [&] {
    printer.heading("1. The extension says hello; the host answers once its discovery file is in place");
    json::value reply;
    if (!check("hello answered", extension.hello(reply), "the host did not answer the hello")) {
      return;
    }
    const auto host_id = member(member(reply, "result"), "hostId");

    printer.heading("2. The client finds the host through its discovery file");
    auto hosts = client::find_hosts(std::string("Default"), dir);
    const client::HostEntry* entry = nullptr;
    if (hosts) {
      for (const auto& h : *hosts) {
        if (is_text(host_id, h.host_id)) {
          entry = &h;
        }
      }
    }
    if (!check("discovery file found", entry != nullptr, "no file for this host in " + dir)) {
      return;
    }
    discovery_path = entry->path;
    extension.secret = entry->secret;
    extension.start();
    struct stat st{};
    const bool private_file = ::stat(entry->path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600;
    printer.line("  file     " + entry->path + "\n  mode     " + (private_file ? "0600" : "not 0600!") +
                 "\n  port     " + std::to_string(entry->port) + "\n  secret   " + hide(entry->secret, entry->secret));
    check("discovery file private", private_file);

    printer.heading("3. The client opens a session: bridge.info, answered by the host itself");
    auto session = client::Session::open(*entry);
    if (!check("session opened", session.has_value(), session ? "" : session.error().text())) {
      return;
    }
    printer.line("  client           bridge.info → host " + session->host().host_id + ", profile " +
                 session->host().profile_id + ", " + session->host().browser_name + " " +
                 session->host().extension_version);

    printer.heading("4. The client takes the lease, renews it and lets it go; each call goes to the extension");
    client::LeaseScope scope{.owner_id = "demo-owner",
                             .account_id = "demo-account",
                             .pairing_url = "ws://127.0.0.1:" + std::to_string(entry->port) + "/extension#demo",
                             .extra = {}};
    printer.line("  client           browser.connect as demo-owner");
    extension.expect("browser.connect");
    auto lease = client::Lease::acquire(*session, scope, client::Renewal::manual);
    if (!check("browser.connect accepted", lease.has_value(), lease ? "" : lease.error().text())) {
      return;
    }
    printer.line("  client           lease held: " + std::string(lease->held() ? "yes" : "no"));
    printer.line("  client           browser.renew");
    extension.expect("browser.renew");
    auto renewed = lease->renew();
    check("browser.renew accepted", renewed.has_value(), renewed ? "" : renewed.error().text());
    printer.line("  client           browser.disconnect");
    extension.expect("browser.disconnect");
    auto disconnected = lease->disconnect();
    check("browser.disconnect accepted", disconnected.has_value(), disconnected ? "" : disconnected.error().text());
    check("lease ended", !lease->held());
    session->close();
    printer.line("  client           session closed");
  }();

  printer.heading("5. The browser closes the host's input; the host removes its file and exits");
  host.close_in();
  status = host.wait_exit(wait_limit);
  extension.join();
  const auto err = host.err();
  check("host exited with status 0", status == 0,
        status ? "status " + std::to_string(*status) + ": " + err : "still running after 5 s");
  printer.line("  host exited with status " + (status ? std::to_string(*status) : std::string("?")));
  check("discovery file removed", !discovery_path.empty() && !fs::exists(discovery_path));
  check("no release message (the lease ended by disconnect)", extension.releases() == 0);
  check("the secret never reached the extension", !extension.leaked_secret());
  printer.line("  discovery file removed: " + std::string(fs::exists(discovery_path) ? "no" : "yes"));

  if (output.json) {
    output.document(json::object{{"ok", all_ok}, {"steps", std::move(steps)}});
  } else {
    printer.line(all_ok ? "\nEvery step went as expected." : "\nThe demo found a fault (see FAILED above).");
  }
  return all_ok ? exit_ok : exit_failed;
}

}  // namespace

std::vector<Command> demo_commands() {
  return {Command{
      .syntax = {.name = "demo",
               .summary = "Run the host as a browser would, with a simulated extension and a client.",
               .details = "Starts kelvarin-browser-host with a trusted origin and a temporary HOME, plays\n"
                          "the extension on its standard input and output, and runs a client session\n"
                          "through the client library: discovery, bridge.info, browser.connect,\n"
                          "browser.renew, browser.disconnect. Prints every frame between host and\n"
                          "extension (the secret masked). Exits 0 when every step went as expected.",
               .options = {Option{"--host-path", "PATH", false,
                                      "The host executable (default: the one beside kelvarin-bridge)."},
                           Option{"--home", "DIR", false,
                                      "HOME for the host (default: a temporary directory, removed after)."}}},
      .run = run_demo}};
}

}  // namespace kelvarin::bridge
