// kelvarin-soak: load and soak for the host. Churns 16 clients through
// connect, "bridge.info" and close; forwards many calls from one owner
// through an instant extension; sends garbage, half frames and 64 KiB
// frames. Afterwards the host's open descriptors and resident memory must be
// back to where they were after warm-up, every request must have had exactly
// its one answer, and nothing else may have been written.

#include "core/trusted_extensions.hpp"
#include "testing/peer.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kelvarin;
using namespace std::chrono_literals;

const std::string origin = kelvarin::first_trusted_origin();
constexpr auto wait_limit = 5s;

struct Usage {
  std::size_t descriptors = 0;
  long rss_kib = 0;
};

Usage read_usage(pid_t pid) {
  Usage u;
  const std::string proc = "/proc/" + std::to_string(pid);
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
    ++u.descriptors;
  }
  std::ifstream status(proc + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) {
      u.rss_kib = std::stol(line.substr(6));
    }
  }
  return u;
}

// The host closes a connection when it handles the client's close, a moment
// after the client's close() returned: wait for the count to settle.
Usage usage_of(pid_t pid) {
  Usage last = read_usage(pid);
  for (int stable = 0; stable < 3;) {
    std::this_thread::sleep_for(20ms);
    const Usage now = read_usage(pid);
    stable = now.descriptors == last.descriptors ? stable + 1 : 0;
    last = now;
  }
  return last;
}

class Soak {
 public:
  Soak(const std::string& binary, peer::TempDir& home)
      : host_({.binary = binary, .args = {origin}, .env = {{"HOME", home.path()}}}) {
    check(peer::write_json(host_.in(), json::object{{"version", 1},
                                                    {"id", "hello"},
                                                    {"method", "bridge.hello"},
                                                    {"params", json::object{{"profileId", "Default"},
                                                                            {"browserName", "Soak"},
                                                                            {"extensionVersion", "1"}}}}),
          "hello written");
    check(peer::read_frame(host_.out(), wait_limit).status == peer::ReadStatus::frame, "hello answered");
    const auto files = peer::read_discovery(home.path());
    check(files.size() == 1, "one discovery file");
    port_ = files[0].port;
    secret_ = files[0].secret;
    idle_descriptors_ = read_usage(host_.pid()).descriptors;
  }

  pid_t pid() const { return host_.pid(); }

  json::value request(std::string_view id, std::string_view method, json::value params = json::object{}) const {
    return json::object{{"version", 1}, {"id", id}, {"secret", secret_}, {"method", method}, {"params", std::move(params)}};
  }

  // 16 clients at once, each one "bridge.info", then all close.
  void churn(int rounds) {
    for (int r = 0; r < rounds; ++r) {
      std::vector<peer::ClientSocket> clients;
      for (int i = 0; i < 16; ++i) {
        clients.emplace_back(port_);
        check(clients.back().connected(), "client connected");
        check(clients.back().send(request("i" + std::to_string(i), "bridge.info")), "info sent");
      }
      for (int i = 0; i < 16; ++i) {
        expect_answer(clients[i], "i" + std::to_string(i));
      }
      clients.clear();
      wait_until_idle();
    }
  }

  // The host takes a client's close as one more event, so a new round of 16
  // that came in before it would find the table still full and be refused.
  void wait_until_idle() {
    const auto deadline = std::chrono::steady_clock::now() + wait_limit;
    while (read_usage(host_.pid()).descriptors > idle_descriptors_) {
      check(std::chrono::steady_clock::now() < deadline, "closed connections released");
      std::this_thread::sleep_for(1ms);
    }
  }

  // One owner, `calls` renews answered at once by the extension.
  void forward(int calls) {
    peer::ClientSocket owner(port_);
    const json::value ids = json::object{{"ownerId", "soak"}, {"accountId", "soak"}, {"profileId", "Default"}, {"ttlMs", 90000}};
    json::value connect = ids;
    connect.as_object()["pairingUrl"] = "ws://127.0.0.1:9/extension#soak";
    call(owner, "c", "browser.connect", connect);
    for (int i = 0; i < calls; ++i) {
      call(owner, "r" + std::to_string(i), "browser.renew", ids);
    }
    call(owner, "d", "browser.disconnect", ids);
  }

  // Frames that must close their connection without a reply, and 64 KiB
  // frames that must be answered.
  void garbage(int rounds) {
    const std::string big_valid = to_json_text(request("big", "bridge.info", json::object{{"pad", std::string(65400, 'x')}}));
    const std::vector<std::string> hostile = {
        std::string(4, '\0'),                                   // length zero
        peer::frame_bytes("{not json"),                         // invalid JSON
        peer::frame_bytes("{\"a\":1}").substr(0, 7),           // half a frame, then close
        std::string("\x01\x00", 2),                             // half a prefix
        std::string("\xff\xff\xff\x7f", 4),                     // hostile length
        peer::frame_bytes(std::string(65536, '[')),             // 64 KiB of nesting
    };
    for (int r = 0; r < rounds; ++r) {
      for (const auto& bytes : hostile) {
        peer::ClientSocket bad(port_);
        check(bad.send_raw(bytes), "garbage sent");
        bad.shutdown_send();
        check(peer::wait_closed(bad.fd(), wait_limit) == peer::CloseStatus::closed, "garbage closed without reply");
      }
      peer::ClientSocket large(port_);
      check(large.send_raw(peer::frame_bytes(big_valid)), "64 KiB frame sent");
      expect_answer(large, "big");
    }
  }

  // Nothing may be waiting on the extension's side.
  void expect_silence() {
    check(peer::read_frame(host_.out(), 200ms).status == peer::ReadStatus::timeout, "nothing else written to the extension");
  }

  int finish() {
    host_.close_in();
    const auto status = host_.wait_exit(wait_limit);
    check(status == 0, "host exited with status 0");
    check(host_.err().empty(), "nothing on standard error");
    return *status;
  }

  long answers() const { return answers_; }

 private:
  static void check(bool ok, const char* what) {
    if (!ok) {
      throw std::runtime_error(what);
    }
  }

  void expect_answer(peer::ClientSocket& client, const std::string& id) {
    const auto reply = client.read(wait_limit);
    check(reply.status == peer::ReadStatus::frame, "answer arrived");
    check(member(reply.json(), "id") == json::value(id), "answer carries its request's id");
    check(member(reply.json(), "result").is_object(), "answer is a success");
    ++answers_;
  }

  void call(peer::ClientSocket& client, const std::string& id, std::string_view method, const json::value& params) {
    check(client.send(request(id, method, params)), "call sent");
    const auto forwarded = peer::read_frame(host_.out(), wait_limit);
    check(forwarded.status == peer::ReadStatus::frame, "call forwarded");
    const auto message = forwarded.json();
    check(member(message, "method") == json::value(method), "forwarded method");
    check(forwarded.body.find(secret_) == std::string::npos, "secret not forwarded");
    check(peer::write_json(host_.in(), json::object{{"version", 1}, {"id", member(message, "id")}, {"result", json::object{}}}),
          "answer written");
    expect_answer(client, id);
  }

  peer::HostProcess host_;
  std::uint16_t port_ = 0;
  std::string secret_;
  std::size_t idle_descriptors_ = 0;
  long answers_ = 0;
};

int usage() {
  std::cerr << "usage: kelvarin-soak --host PATH [--rounds N] [--calls N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary;
  int rounds = 1000;
  int calls = 100000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--host" && i + 1 < argc) {
      binary = argv[++i];
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::stoi(argv[++i]);
    } else if (arg == "--calls" && i + 1 < argc) {
      calls = std::stoi(argv[++i]);
    } else {
      return usage();
    }
  }
  if (binary.empty()) {
    return usage();
  }
  try {
    peer::TempDir home;
    Soak soak(binary, home);
    // Warm up every path once, so allocator caches are as full as they get.
    soak.churn(2);
    soak.forward(100);
    soak.garbage(1);
    const Usage before = usage_of(soak.pid());

    const auto start = std::chrono::steady_clock::now();
    soak.churn(rounds);
    soak.forward(calls);
    soak.garbage(std::max(1, rounds / 20));
    soak.expect_silence();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const Usage after = usage_of(soak.pid());
    std::printf("answers %ld in %.1f s; descriptors %zu -> %zu; resident %ld KiB -> %ld KiB\n", soak.answers(), seconds,
                before.descriptors, after.descriptors, before.rss_kib, after.rss_kib);
    soak.finish();
    // Resident memory may move by a few pages as the allocator trims; a leak
    // per request would show as megabytes over these counts.
    if (after.descriptors != before.descriptors || after.rss_kib > before.rss_kib + 512) {
      std::printf("FAILED: the host did not return to its starting level\n");
      return 1;
    }
    std::printf("soak passed\n");
    return 0;
  } catch (const std::exception& e) {
    std::printf("FAILED: %s\n", e.what());
    return 1;
  }
}
