// kelvarin-demo: the whole bridge on one machine. Starts the built host the
// way a browser does, plays the extension on its pipes and runs one client
// session over loopback TCP, printing every frame that passes.
//
// Both peers here are blocking, so the demo drives forwarding by hand: after
// the client sends a browser request it reads the forwarded frame from the
// host's output, answers it on the host's input, then reads the client's reply.

#include "peer.hpp"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace kelvarin;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* trusted_origin = "chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll/";
constexpr auto wait_limit = 5s;

// Padded so the JSON texts line up; each arrow is one column but three bytes.
constexpr std::string_view extension_to_host = "extension → host  ";
constexpr std::string_view host_to_extension = "host → extension  ";
constexpr std::string_view client_to_host = "client → host     ";
constexpr std::string_view host_to_client = "host → client     ";

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void expect(bool ok, const std::string& what) {
  if (!ok) {
    throw Failure(what);
  }
}

void heading(std::string_view text) { std::cout << '\n' << text << '\n'; }

void show(std::string_view direction, std::string_view text) {
  std::cout << "  " << direction << text << std::endl;  // flushed: a stalled step shows how far it got
}

// `text` with the secret masked, so the demo's output can be shared.
std::string hide(std::string text, const std::string& secret) {
  if (const auto at = text.find(secret); !secret.empty() && at != std::string::npos) {
    text.replace(at, secret.size(), secret.substr(0, 8) + "…");
  }
  return text;
}

// Lower-case UUID text, 8-4-4-4-12.
bool uuid_text(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (s[i] == '-') || (!dash && !std::isxdigit(static_cast<unsigned char>(s[i]))) ||
        std::isupper(static_cast<unsigned char>(s[i]))) {
      return false;
    }
  }
  return s.size() == 36;
}

// A lease the host ended on its own: a request carrying exactly the owner's
// three ids. The extension needs to answer none of these.
bool release_message(const json::value& message) {
  const auto* params = member(message, "params").if_object();
  const auto& method = member(message, "method");
  return (is_text(method, "browser.suspend") || is_text(method, "browser.disconnect")) && params != nullptr &&
         params->size() == 3 && params->contains("ownerId") && params->contains("accountId") &&
         params->contains("profileId");
}

constexpr const char* release_note = "  (a release message: the extension takes note of it, it needs no answer)\n";

// Why a frame was not read from `where`.
std::string describe(peer::ReadStatus status, const std::string& where) {
  return status == peer::ReadStatus::eof       ? where + " ended"
         : status == peer::ReadStatus::timeout ? "nothing arrived on " + where + " within 5 s"
                                               : "a malformed frame arrived on " + where;
}

class Session {
 public:
  Session(peer::HostProcess& host, std::string home) : host_(host), home_(std::move(home)) {}

  void run() {
    hello();
    discover();
    heading("3. The client connects over loopback TCP");
    client_.emplace(discovery_.port);
    expect(client_->connected(), "cannot connect to 127.0.0.1:" + std::to_string(discovery_.port));
    std::cout << "  connected to 127.0.0.1:" << discovery_.port << '\n';

    heading("4. bridge.info: answered by the host itself");
    expect(call("bridge.info", json::object{}) == member(info_, "result"),
           "bridge.info does not describe the host that answered the hello");

    const json::value owner{{"ownerId", "demo-owner"}, {"accountId", "demo-account"}, {"profileId", profile_}};
    json::value connect = owner;
    connect.as_object()["ttlMs"] = 90000;
    connect.as_object()["pairingUrl"] = "ws://127.0.0.1:" + std::to_string(discovery_.port) + "/extension#demo-token";
    json::value renew = owner;
    renew.as_object()["ttlMs"] = 90000;

    heading("5. browser.connect, browser.renew, browser.disconnect: forwarded to the extension");
    call("browser.connect", connect);
    call("browser.renew", renew);
    call("browser.disconnect", owner);
    finish();
  }

 private:
  void hello() {
    heading("1. The extension says hello");
    const json::value hello{
        {"version", 1},
        {"id", "hello-1"},
        {"method", "bridge.hello"},
        {"params", {{"profileId", "Default"}, {"browserName", "Chromium"}, {"extensionVersion", "1.0.0"}}}};
    expect(peer::write_json(host_.in(), hello), "cannot write to the host's standard input");
    show(extension_to_host, to_json_text(hello));
    info_ = from_host();
    const auto& result = member(info_, "result");
    expect(is_text(member(info_, "id"), "hello-1") && result.is_object(),
           "the hello reply is not a success reply to hello-1");
    expect(!result.as_object().contains("secret"), "the hello reply gives the secret away");
    const auto* profile = member(result, "profileId").if_string();
    expect(profile != nullptr && *profile == "Default", "the hello reply names another profile");
    profile_ = std::string(*profile);
  }

  void discover() {
    heading("2. The client discovers the host through its file under HOME");
    const auto& host_id = member(member(info_, "result"), "hostId");
    for (auto& file : peer::read_discovery(home_)) {
      if (member(file.document, "hostId") == host_id) {  // --home may hold other hosts' files
        discovery_ = std::move(file);
      }
    }
    expect(!discovery_.path.empty(), "no discovery file for this host under " + peer::discovery_dir_under(home_));
    struct stat st{};
    expect(::stat(discovery_.path.c_str(), &st) == 0, "cannot stat " + discovery_.path);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::cout << "  path     " << discovery_.path << "\n  mode     " << mode << "\n  content  "
              << hide(discovery_.text, discovery_.secret) << '\n';
    expect((st.st_mode & 07777) == 0600, "the discovery file is not private (mode 0600)");
    expect(discovery_.port != 0 && uuid_text(discovery_.secret), "the discovery file lacks a port or a secret");
  }

  // One client request; a browser method is first played through the
  // extension. Returns the reply's "result".
  json::value call(std::string_view method, const json::value& params) {
    const std::string id = "demo-" + std::to_string(++requests_);
    const json::value request{
        {"version", 1}, {"id", id}, {"secret", discovery_.secret}, {"method", method}, {"params", params}};
    expect(client_->send(request), "cannot send to the host over TCP");
    show(client_to_host, hide(to_json_text(request), discovery_.secret));
    std::optional<json::value> expected;
    if (method != "bridge.info") {
      expected = play_extension(method, params, id);
    }
    const auto reply = from_client();
    expect(is_text(member(reply, "id"), id), "the reply to " + id + " carries another id");
    const auto& error = member(reply, "error");
    expect(error.is_null(), std::string(method) + " was refused: " + to_json_text(error));
    expect(!expected || reply == *expected, "the host changed the extension's answer to " + std::string(method));
    return member(reply, "result");
  }

  // The extension's side of one forwarded call. Returns the reply the client
  // should get: the answer with its own id restored, all else untouched.
  json::value play_extension(std::string_view method, const json::value& params, const std::string& client_id) {
    // A refusal comes straight back to the client; waiting for the extension
    // then would only delay the report.
    pollfd fds[2] = {{host_.out(), POLLIN, 0}, {client_->fd(), POLLIN, 0}};
    expect(::poll(fds, 2, static_cast<int>(std::chrono::milliseconds(wait_limit).count())) > 0,
           "the host neither forwarded " + std::string(method) + " nor answered it");
    if (fds[0].revents == 0) {
      (void)from_client();
      throw Failure("the host answered " + std::string(method) + " itself instead of forwarding it");
    }
    const auto forwarded = from_host();
    const auto* forwarded_id = member(forwarded, "id").if_string();
    if (!is_text(member(forwarded, "method"), method) || member(forwarded, "params") != params) {
      if (release_message(forwarded)) {
        std::cout << release_note;
      }
      throw Failure("the host did not pass on the client's " + std::string(method) + " and its params");
    }
    expect(forwarded_id != nullptr && uuid_text(*forwarded_id) && !forwarded.as_object().contains("secret"),
           "the forwarded request needs its own id and no secret");

    json::value answer{{"version", 1}, {"id", *forwarded_id}, {"result", {{"ok", true}, {"method", method}}}};
    expect(peer::write_json(host_.in(), answer), "cannot write to the host's standard input");
    show(extension_to_host, to_json_text(answer));
    answer.as_object()["id"] = client_id;
    return answer;
  }

  void finish() {
    heading("6. The client leaves, then the browser closes the host's input");
    client_->close();
    std::cout << "  client closed its connection\n";
    // The disconnect's answer ended the lease, so the host owes the extension
    // no release message now.
    const auto late = peer::read_frame(host_.out(), 300ms);
    if (late.status == peer::ReadStatus::frame) {
      show(host_to_extension, late.body);
      if (release_message(late.json())) {
        std::cout << release_note;
      }
      throw Failure("the host wrote to the extension after the lease had ended");
    }
    expect(late.status == peer::ReadStatus::timeout, describe(late.status, "the host's standard output"));
    host_.close_in();
    std::cout << "  host's standard input closed\n";
    const auto status = host_.wait_exit(wait_limit);
    expect(status.has_value(), "the host did not exit within 5 s of its input closing");
    std::cout << "  host exited with status " << *status << '\n';
    const auto err = host_.err();
    expect(*status == 0 && err.empty(), "the host failed: " + err);
    expect(!fs::exists(discovery_.path), "the discovery file outlived the host: " + discovery_.path);
    std::cout << "  discovery file removed: " << discovery_.path << '\n';
  }

  json::value from_host() {
    const auto frame = peer::read_frame(host_.out(), wait_limit);
    expect(frame.status == peer::ReadStatus::frame, describe(frame.status, "the host's standard output"));
    show(host_to_extension, frame.body);
    return frame.json();
  }

  json::value from_client() {
    const auto frame = client_->read(wait_limit);
    expect(frame.status == peer::ReadStatus::frame, describe(frame.status, "the client connection"));
    show(host_to_client, frame.body);
    return frame.json();
  }

  peer::HostProcess& host_;
  std::string home_;
  json::value info_;  // the hello reply
  std::string profile_;
  peer::Discovery discovery_;
  std::optional<peer::ClientSocket> client_;
  int requests_ = 0;
};

void usage(std::ostream& out) {
  out << "usage: kelvarin-demo [--host PATH] [--home DIR]\n"
         "  --host PATH  the host executable (default: ../src/kelvarin-browser-host next to this program)\n"
         "  --home DIR   HOME for the host (default: a temporary directory, removed at the end)\n"
         "Exits 0 when every step went as expected, else 1.\n";
}

}  // namespace

int main(int argc, char** argv) {
  // A host that died shows up as a failed write, not as the demo's death.
  std::signal(SIGPIPE, SIG_IGN);

  std::string host_path;
  std::optional<std::string> home_option;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      return 0;
    }
    if ((arg == "--host" || arg == "--home") && i + 1 < argc) {
      (arg == "--host" ? host_path : home_option.emplace()) = argv[++i];
      continue;
    }
    std::cerr << "kelvarin-demo: unexpected argument " << arg << '\n';
    usage(std::cerr);
    return 1;
  }
  std::error_code ec;
  if (host_path.empty()) {
    host_path =
        (fs::read_symlink("/proc/self/exe", ec).parent_path() / "../src/kelvarin-browser-host").lexically_normal();
  }
  if (::access(host_path.c_str(), X_OK) != 0) {
    std::cerr << "kelvarin-demo: no host executable at " << host_path << " (give it with --host)\n";
    return 1;
  }

  std::unique_ptr<peer::TempDir> temporary;
  std::string home;
  if (home_option) {
    home = fs::absolute(*home_option).lexically_normal();
  } else {
    temporary = std::make_unique<peer::TempDir>();
    home = temporary->path();
  }

  // The browser's own environment, with HOME pointing at the demo's.
  peer::HostProcess::Options spawn{.binary = host_path, .args = {trusted_origin}, .env = {}};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    if (const auto eq = text.find('='); eq != std::string_view::npos) {
      spawn.env[std::string(text.substr(0, eq))] = std::string(text.substr(eq + 1));
    }
  }
  spawn.env["HOME"] = home;

  std::cout << "Starting " << host_path << ' ' << trusted_origin << "\n  HOME=" << home
            << (temporary ? " (temporary)" : "") << '\n';
  std::unique_ptr<peer::HostProcess> host;
  int status = 0;
  try {
    host = std::make_unique<peer::HostProcess>(spawn);
    Session(*host, home).run();
    std::cout << "\nEvery step went as expected.\n";
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "\nkelvarin-demo: " << e.what() << '\n';
    if (host) {
      if (const auto exited = host->wait_exit(200ms)) {
        std::cerr << "  the host had exited with status " << *exited << '\n';
      }
      if (const auto err = host->err(); !err.empty()) {
        std::cerr << "  host's standard error: " << err << (err.ends_with('\n') ? "" : "\n");
      }
    }
    status = 1;
  }
  host.reset();  // kills a host still running
  if (temporary) {
    temporary.reset();
    std::cout << "Temporary HOME removed.\n";
  }
  return status;
}
