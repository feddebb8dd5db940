// The lease and forwarded calls through the built host: the test plays the
// extension on the host's pipes and desktop clients over loopback TCP.
//
// "Nothing else was written" is shown by order, not by waiting: frames from
// one peer are handled in order, so when the frame a later message causes is
// the next one read, nothing came before it.

#include "testing/host_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kelvarin::testing {
namespace {

struct ErrorText {
  const char* code;
  const char* message;
};

constexpr ErrorText invalid_connect{"invalid_input", "Invalid connection scope, pairing URL or lease."};
constexpr ErrorText invalid_lease{"invalid_input", "Lease must be 90000 milliseconds."};
constexpr ErrorText browser_busy{"browser_busy", "This browser profile is controlled by another client."};
constexpr ErrorText not_owner{"not_owner", "This client does not own the browser connection."};
constexpr ErrorText busy{"busy", "Wait for the previous browser request."};
constexpr ErrorText unauthorized{"unauthorized", "Invalid bridge authentication or request."};

// The exact bytes of the host's error reply.
std::string error_text(std::string_view id, const ErrorText& error) {
  return to_json_text(json::object{
      {"version", 1}, {"id", id}, {"error", json::object{{"code", error.code}, {"message", error.message}}}});
}

std::string result_text(std::string_view id, json::value result) {
  return to_json_text(json::object{{"version", 1}, {"id", id}, {"result", std::move(result)}});
}

// The three identifiers without "ttlMs", as suspend and disconnect carry them.
json::value ids_params(std::string_view owner = "owner-1", std::string_view account = "account 1") {
  return json::object{{"ownerId", owner}, {"accountId", account}, {"profileId", profile_id}};
}

// Params of a forwarded suspend or disconnect; the extra member tells them
// apart from a release message.
json::value end_params(std::string_view owner = "owner-1", std::string_view account = "account 1") {
  auto params = ids_params(owner, account);
  params.as_object()["reason"] = "user";
  return params;
}

json::value with(json::value params, std::string_view key, json::value value) {
  params.as_object()[key] = std::move(value);
  return params;
}

json::value answer(std::string_view id, std::string_view kind, json::value value) {
  return json::object{{"version", 1}, {"id", id}, {kind, std::move(value)}};
}

json::value extension_error() { return json::object{{"code", "tab_gone"}, {"message", "No tab."}}; }

bool readable_within(int fd, std::chrono::milliseconds wait) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(wait.count())) > 0;
}

std::string link_target(const std::string& path) {
  std::error_code ec;
  auto target = std::filesystem::read_symlink(path, ec);
  return ec ? std::string() : target.string();
}

// Fills the host's standard output through a second write end, as an
// extension that stopped reading would leave it: the host's next write to the
// extension blocks until `drain` reads the filler back.
class StdoutFiller {
 public:
  explicit StdoutFiller(Host& host) : out_(host.process().out()) {
    // The host may have moved the pipe off descriptor 1: find it by identity.
    const auto pipe = link_target("/proc/self/fd/" + std::to_string(out_));
    const auto dir = "/proc/" + std::to_string(host.process().pid()) + "/fd";
    std::string path;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      if (link_target(entry.path().string()) == pipe) {
        path = entry.path().string();
        break;
      }
    }
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      ADD_FAILURE() << "cannot open the host's end of " << pipe << ": " << std::strerror(errno);
      return;
    }
    // Whole pages, then single bytes for any room left in the last one.
    for (const std::size_t size : {std::size_t{4096}, std::size_t{1}}) {
      const std::string block(size, 'f');
      for (;;) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n > 0) {
          filled_ += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          break;
        }
      }
    }
    ::close(fd);
    EXPECT_GT(filled_, 0u);
  }

  void drain() {
    std::string buffer(4096, '\0');
    while (filled_ > 0) {
      if (!readable_within(out_, 2000ms)) {
        ADD_FAILURE() << "filler not readable";
        return;
      }
      const ssize_t n = ::read(out_, buffer.data(), std::min(buffer.size(), filled_));
      if (n <= 0) {
        ADD_FAILURE() << "filler read failed";
        return;
      }
      filled_ -= static_cast<std::size_t>(n);
    }
  }

 private:
  int out_;
  std::size_t filled_ = 0;
};

std::vector<std::string> keys_of(const json::value& value) {
  std::vector<std::string> keys;
  if (const auto* object = value.if_object()) {
    for (const auto& kv : *object) {
      keys.emplace_back(kv.key());
    }
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

bool uuid_v4_text(std::string_view text) {
  static const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  return std::regex_match(text.begin(), text.end(), form);
}

// A request the host wrote to the extension.
struct Sent {
  std::string id;
  std::string method;
  json::value params;
  std::string body;
};

// Reads the next frame to the extension and checks what every host request
// shares: compact sorted text, exactly four members, version 1, a fresh id.
Sent read_sent(Host& host) {
  Sent sent;
  const auto frame = host.read();
  if (frame.status != peer::ReadStatus::frame) {
    ADD_FAILURE() << "no frame to the extension; stderr: " << host.process().err();
    return sent;
  }
  sent.body = frame.body;
  const auto value = frame.json();
  EXPECT_EQ(frame.body, to_json_text(value));
  EXPECT_EQ(keys_of(value), (std::vector<std::string>{"id", "method", "params", "version"})) << frame.body;
  EXPECT_TRUE(is_integer(member(value, "version"), 1)) << frame.body;
  if (const auto* id = member(value, "id").if_string()) {
    sent.id = std::string(*id);
  }
  EXPECT_TRUE(uuid_v4_text(sent.id)) << frame.body;
  if (const auto* method = member(value, "method").if_string()) {
    sent.method = std::string(*method);
  }
  sent.params = member(value, "params");
  return sent;
}

// The next frame to the extension is `method` forwarded with exactly `params`.
Sent expect_forward(Host& host, std::string_view method, const json::value& params) {
  auto sent = read_sent(host);
  EXPECT_EQ(sent.method, method) << sent.body;
  EXPECT_EQ(to_json_text(sent.params), to_json_text(params)) << sent.body;
  EXPECT_EQ(sent.body.find(host.secret()), std::string::npos) << "the secret reached the extension";
  return sent;
}

// The next frame to the extension is a release of the given owner.
Sent expect_release(Host& host, std::string_view method, std::string_view owner = "owner-1",
                    std::string_view account = "account 1") {
  auto sent = read_sent(host);
  EXPECT_EQ(sent.method, method) << sent.body;
  EXPECT_EQ(to_json_text(sent.params), to_json_text(ids_params(owner, account))) << sent.body;
  return sent;
}

// A desktop client over loopback TCP that knows the host's secret.
class Client {
 public:
  explicit Client(const Host& host) : socket_(host.connect()), secret_(host.secret()) {
    EXPECT_TRUE(socket_.connected());
  }

  bool send(std::string_view id, std::string_view method, json::value params) {
    return socket_.send(client_request(secret_, id, method, std::move(params)));
  }
  bool send(const json::value& frame) { return socket_.send(frame); }
  bool send_text(std::string_view body) { return socket_.send_raw(peer::frame_bytes(body)); }

  // The next frame's text; empty, and a failure, when none arrives.
  std::string read() {
    const auto frame = socket_.read(5s);
    if (frame.status != peer::ReadStatus::frame) {
      ADD_FAILURE() << "no frame for the client";
      return {};
    }
    return frame.body;
  }

  // A request refused at once with `error`.
  void expect_refused(std::string_view id, std::string_view method, json::value params, const ErrorText& error) {
    ASSERT_TRUE(send(id, method, std::move(params)));
    EXPECT_EQ(read(), error_text(id, error)) << method;
  }

  [[nodiscard]] int fd() const { return socket_.fd(); }
  void close() { socket_.close(); }

 private:
  peer::ClientSocket socket_;
  std::string secret_;
};

// A started host; unless a test ends it otherwise, closing its input must end
// it with status 0 and remove the discovery file.
class E2eBridge : public ::testing::Test {
 protected:
  void SetUp() override { host.start(); }

  void TearDown() override {
    if (expect_clean_exit) {
      EXPECT_EQ(host.finish(), 0) << host.process().err();
    }
    EXPECT_TRUE(peer::read_discovery(host.home()).empty());
  }

  // Client `a` takes the lease with the default identifiers; the extension
  // answers the connect with success.
  void take_lease(Client& a) {
    ASSERT_TRUE(a.send("take", "browser.connect", connect_params()));
    const auto sent = expect_forward(host, "browser.connect", connect_params());
    ASSERT_TRUE(host.send(answer(sent.id, "result", json::object{})));
    ASSERT_EQ(a.read(), result_text("take", json::object{}));
  }

  // The profile is free: a new client's connect is the next frame the
  // extension receives.
  void expect_free() {
    Client other(host);
    ASSERT_TRUE(other.send("free", "browser.connect", connect_params("owner-9", "account 9")));
    expect_forward(host, "browser.connect", connect_params("owner-9", "account 9"));
  }

  Host host;
  bool expect_clean_exit = true;
};

// --- A whole session -------------------------------------------------------

struct SessionEnd {
  const char* name;
  const char* method;
  json::value result;
};

class E2eSession : public E2eBridge, public ::testing::WithParamInterface<SessionEnd> {};

TEST_P(E2eSession, RelayedWithClientIdsRestoredAndEndsFree) {
  const auto& end = GetParam();
  Client a(host);

  // Sent with its members out of order: the extension gets them sorted and otherwise untouched.
  ASSERT_TRUE(a.send_text(R"({"secret":")" + host.secret() +
                          R"(","method":"browser.connect","id":"Client-Id_1","version":1,"params":)"
                          R"({"zeta":"last","pairingUrl":"ws://127.0.0.1:9/extension#x","ttlMs":90000,)"
                          R"("profileId":"Default","ownerId":"owner-1","accountId":"account 1",)"
                          R"("note":{"b":[1,"two",null,{"y":0,"x":-3}],"a":true}}})"));
  const auto connect = read_sent(host);
  EXPECT_EQ(connect.method, "browser.connect");
  EXPECT_EQ(to_json_text(connect.params),
            R"({"accountId":"account 1","note":{"a":true,"b":[1,"two",null,{"x":-3,"y":0}]},"ownerId":"owner-1",)"
            R"("pairingUrl":"ws://127.0.0.1:9/extension#x","profileId":"Default","ttlMs":90000,"zeta":"last"})");
  EXPECT_EQ(connect.body.find(host.secret()), std::string::npos);
  EXPECT_EQ(connect.body.find("Client-Id_1"), std::string::npos);

  // Extra members of the answer, "method" among them, reach the client; keys come out sorted.
  ASSERT_TRUE(host.send_raw(peer::frame_bytes(R"({"version":1,"result":{"tab":3,"ok":true},"method":"browser.connect",)"
                                              R"("id":")" + connect.id + R"(","extra":[2,1]})")));
  EXPECT_EQ(a.read(), R"({"extra":[2,1],"id":"Client-Id_1","method":"browser.connect",)"
                      R"("result":{"ok":true,"tab":3},"version":1})");

  const auto renew_params = with(owner_params(), "reason", "keep-alive");
  ASSERT_TRUE(a.send("r-2", "browser.renew", renew_params));
  const auto renew = expect_forward(host, "browser.renew", renew_params);
  EXPECT_NE(renew.id, connect.id);
  ASSERT_TRUE(host.send(answer(renew.id, "result", nullptr)));
  EXPECT_EQ(a.read(), result_text("r-2", nullptr));

  // A null result to the renew counted as success: the end call is the next message, no release.
  ASSERT_TRUE(a.send("e-3", end.method, end_params()));
  const auto last = expect_forward(host, end.method, end_params());
  EXPECT_NE(last.id, renew.id);
  ASSERT_TRUE(host.send(answer(last.id, "result", end.result)));
  EXPECT_EQ(a.read(), result_text("e-3", end.result));

  // The profile was freed without a message to the extension.
  expect_free();
  a.expect_refused("r-4", "browser.renew", owner_params(), not_owner);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, E2eSession,
    ::testing::Values(SessionEnd{"SuspendNullResult", "browser.suspend", nullptr},
                      SessionEnd{"SuspendObjectResult", "browser.suspend", json::object{{"suspended", true}}},
                      SessionEnd{"DisconnectNullResult", "browser.disconnect", nullptr},
                      SessionEnd{"DisconnectArrayResult", "browser.disconnect", json::array{1, "a"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Gates ----------------------------------------------------------------

TEST_F(E2eBridge, SecondCallOfOneConnectionIsBusy) {
  Client a(host);
  Client b(host);
  ASSERT_TRUE(a.send("c-1", "browser.connect", connect_params()));
  const auto connect = expect_forward(host, "browser.connect", connect_params());

  struct Case {
    const char* method;
    json::value params;
    ErrorText error;
  };
  const Case second_calls[] = {
      {"browser.connect", connect_params(), busy},
      {"browser.renew", owner_params(), busy},
      {"browser.suspend", end_params(), busy},
      {"browser.disconnect", end_params(), busy},
      // The method's own gates come first.
      {"browser.connect", with(connect_params(), "ttlMs", 1), invalid_connect},
      {"browser.renew", with(owner_params(), "ttlMs", 1), invalid_lease},
      {"browser.disconnect", end_params("owner-2"), not_owner},
  };
  for (const auto& c : second_calls) {
    a.expect_refused("again", c.method, c.params, c.error);
  }
  // The host's own answer does not wait for the extension.
  ASSERT_TRUE(a.send("info", "bridge.info", json::object{}));
  EXPECT_NE(a.read().find(R"("id":"info","result":{)"), std::string::npos);
  // Another connection meets the lease gate, not this connection's call.
  b.expect_refused("b-1", "browser.connect", connect_params("owner-2", "account 2"), browser_busy);

  ASSERT_TRUE(host.send(answer(connect.id, "result", json::object{})));
  EXPECT_EQ(a.read(), result_text("c-1", json::object{}));
  // None of the refused calls was forwarded, and the connection may call again.
  ASSERT_TRUE(a.send("r-2", "browser.renew", owner_params()));
  expect_forward(host, "browser.renew", owner_params());
}

TEST_F(E2eBridge, OwnerIsInstalledWhenConnectIsForwarded) {
  Client a(host);
  Client b(host);
  ASSERT_TRUE(a.send("c-1", "browser.connect", connect_params()));
  const auto connect = expect_forward(host, "browser.connect", connect_params());

  struct Case {
    const char* method;
    json::value params;
    ErrorText error;
  };
  const Case other_connection[] = {
      {"browser.connect", connect_params("owner-2", "account 2"), browser_busy},
      // The same identifiers on another connection are not the owner.
      {"browser.connect", connect_params(), browser_busy},
      {"browser.renew", owner_params(), not_owner},
      {"browser.suspend", ids_params(), not_owner},
      {"browser.disconnect", ids_params(), not_owner},
      // Validation comes before ownership.
      {"browser.connect", with(connect_params(), "ttlMs", 90000.0), invalid_connect},
      {"browser.connect", with(connect_params("owner-2"), "pairingUrl", "ws://127.0.0.1:0/extension#x"),
       invalid_connect},
  };
  // Before the extension has answered and after.
  for (const char* phase : {"pending", "answered"}) {
    SCOPED_TRACE(phase);
    for (const auto& c : other_connection) {
      b.expect_refused("b", c.method, c.params, c.error);
    }
    if (std::string_view(phase) == "pending") {
      ASSERT_TRUE(host.send(answer(connect.id, "result", json::object{})));
      EXPECT_EQ(a.read(), result_text("c-1", json::object{}));
    }
  }
  // The owner itself may connect again on its connection; nothing else was forwarded.
  ASSERT_TRUE(a.send("c-2", "browser.connect", connect_params()));
  expect_forward(host, "browser.connect", connect_params());
}

TEST_F(E2eBridge, LeaseRequestGates) {
  Client a(host);
  Client b(host);
  for (const char* method : {"browser.renew", "browser.suspend", "browser.disconnect"}) {
    SCOPED_TRACE("free");
    a.expect_refused("f", method, owner_params(), not_owner);
  }
  take_lease(a);

  struct Case {
    const char* name;
    bool from_owner_connection;
    const char* method;
    json::value params;
    ErrorText error;
  };
  const Case cases[] = {
      // A non-owner is told so whatever its ttlMs holds.
      {"other renew", false, "browser.renew", owner_params(), not_owner},
      {"other renew float", false, "browser.renew", with(owner_params(), "ttlMs", 90000.0), not_owner},
      {"other renew text", false, "browser.renew", with(owner_params(), "ttlMs", "90000"), not_owner},
      {"other suspend", false, "browser.suspend", ids_params(), not_owner},
      {"other disconnect", false, "browser.disconnect", ids_params(), not_owner},
      {"owner renew float", true, "browser.renew", with(owner_params(), "ttlMs", 90000.0), invalid_lease},
      {"owner renew text", true, "browser.renew", with(owner_params(), "ttlMs", "90000"), invalid_lease},
      {"owner renew 89999", true, "browser.renew", with(owner_params(), "ttlMs", 89999), invalid_lease},
      {"owner renew 90001", true, "browser.renew", with(owner_params(), "ttlMs", 90001), invalid_lease},
      {"owner renew no ttl", true, "browser.renew", ids_params(), invalid_lease},
      // The owner's connection must repeat every identifier.
      {"owner renew other account", true, "browser.renew", owner_params("owner-1", "account 2"), not_owner},
      {"owner suspend other owner", true, "browser.suspend", ids_params("owner-2"), not_owner},
      {"owner disconnect profile case", true, "browser.disconnect",
       with(ids_params(), "profileId", "default"), not_owner},
      {"owner renew account number", true, "browser.renew", with(owner_params(), "accountId", 1), not_owner},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    (c.from_owner_connection ? a : b).expect_refused("g", c.method, c.params, c.error);
  }
  // Nothing refused reached the extension.
  ASSERT_TRUE(a.send("r", "browser.renew", owner_params()));
  expect_forward(host, "browser.renew", owner_params());
}

// --- Connect validation ------------------------------------------------------

struct ConnectCase {
  std::string name;
  std::string key;
  json::value value;
  bool accepted;
};

std::vector<ConnectCase> connect_cases() {
  const auto text = [](std::string_view s) { return json::value(s); };
  const auto url = [](std::string_view port, std::string_view path) {
    return json::value("ws://127.0.0.1:" + std::string(port) + "/" + std::string(path));
  };
  const auto url_of_length = [](std::size_t length) {
    std::string text = "ws://127.0.0.1:9/extension#";
    text.append(length - text.size(), 'x');
    return json::value(text);
  };
  std::string e_acute_128;
  for (int i = 0; i < 128; ++i) {
    e_acute_128 += "\xC3\xA9";
  }
  return {
      {"Port9", "pairingUrl", url("9", "extension#x"), true},
      {"Port65535", "pairingUrl", url("65535", "extension#x"), true},
      {"PortPlus80", "pairingUrl", url("+80", "extension#x"), true},
      {"Port00080", "pairingUrl", url("00080", "extension#x"), true},
      {"Port0", "pairingUrl", url("0", "extension#x"), false},
      {"Port65536", "pairingUrl", url("65536", "extension#x"), false},
      {"PortMinus1", "pairingUrl", url("-1", "extension#x"), false},
      {"PortLonePlus", "pairingUrl", url("+", "extension#x"), false},
      {"PortEmpty", "pairingUrl", url("", "extension#x"), false},
      {"PathWithSlashQueryHash", "pairingUrl", url("9", "extension#a/b?c#d"), true},
      {"PathNoToken", "pairingUrl", url("9", "extension#"), false},
      {"PathExtensions", "pairingUrl", url("9", "extensions#x"), false},
      {"PathNoHash", "pairingUrl", url("9", "extension"), false},
      {"NoSlashAfterPort", "pairingUrl", "ws://127.0.0.1:9", false},
      {"NoSlashBeforePath", "pairingUrl", "ws://127.0.0.1:9extension#x", false},
      {"HostName", "pairingUrl", "ws://localhost:9/extension#x", false},
      {"OtherAddress", "pairingUrl", "ws://127.0.0.2:9/extension#x", false},
      {"SchemeWss", "pairingUrl", "wss://127.0.0.1:9/extension#x", false},
      {"SchemeUpperWS", "pairingUrl", "WS://127.0.0.1:9/extension#x", false},
      {"SpaceInToken", "pairingUrl", url("9", "extension#a b"), false},
      {"TabInToken", "pairingUrl", url("9", "extension#a\tb"), false},
      {"NoBreakSpaceInToken", "pairingUrl", url("9", "extension#a\xC2\xA0"), false},
      {"LeadingSpace", "pairingUrl", " ws://127.0.0.1:9/extension#x", false},
      {"Url8192Bytes", "pairingUrl", url_of_length(8192), true},
      {"Url8193Bytes", "pairingUrl", url_of_length(8193), false},
      {"UrlNotText", "pairingUrl", 9, false},
      {"Account256Bytes", "accountId", text(std::string(256, 'a')), true},
      {"Account257Bytes", "accountId", text(std::string(257, 'a')), false},
      {"Account256BytesOf128Letters", "accountId", text(e_acute_128), true},
      {"Account257BytesOf129Letters", "accountId", text(e_acute_128 + "a"), false},
      {"AccountNextLine", "accountId", "a\xC2\x85" "b", false},
      {"AccountDelete", "accountId", "a\x7F" "b", false},
      {"AccountSpaceAndNonAscii", "accountId", "Zo\xC3\xAB Smith", true},
      {"AccountEmpty", "accountId", "", false},
      {"TtlFloat", "ttlMs", 90000.0, false},
      {"TtlText", "ttlMs", "90000", false},
      {"Ttl89999", "ttlMs", 89999, false},
      {"ProfileCase", "profileId", "default", false},
      {"OwnerIdWithDot", "ownerId", "owner.1", false},
  };
}

class E2eConnect : public E2eBridge, public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(E2eConnect, ThroughTheHost) {
  const auto& c = GetParam();
  const auto params = with(connect_params(), c.key, c.value);
  Client a(host);
  if (c.accepted) {
    ASSERT_TRUE(a.send("c", "browser.connect", params));
    expect_forward(host, "browser.connect", params);
  } else {
    a.expect_refused("c", "browser.connect", params, invalid_connect);
    // Nothing was forwarded and no owner was installed.
    Client b(host);
    ASSERT_TRUE(b.send("c", "browser.connect", connect_params("owner-2", "account 2")));
    expect_forward(host, "browser.connect", connect_params("owner-2", "account 2"));
  }
}

INSTANTIATE_TEST_SUITE_P(Params, E2eConnect, ::testing::ValuesIn(connect_cases()),
                         [](const auto& info) { return info.param.name; });

// --- Answers from the extension ---------------------------------------------

TEST_F(E2eBridge, AnswersAreMatchedByRequestIdOnly) {
  Client a(host);
  ASSERT_TRUE(a.send("a-1", "browser.connect", connect_params()));
  const auto stale = expect_forward(host, "browser.connect", connect_params());
  // A drops out by failing authentication; its call stays outstanding.
  ASSERT_TRUE(a.send(client_request("wrong-secret", "a-2", "bridge.info")));
  EXPECT_EQ(a.read(), error_text("a-2", unauthorized));
  expect_release(host, "browser.suspend");

  // Another connection's call is forwarded while A's is outstanding.
  Client b(host);
  const auto b_params = connect_params("owner-2", "account 2");
  ASSERT_TRUE(b.send("b-1", "browser.connect", b_params));
  const auto fresh = expect_forward(host, "browser.connect", b_params);
  EXPECT_NE(fresh.id, stale.id);
  ASSERT_TRUE(host.send(answer(fresh.id, "result", "for b")));
  EXPECT_EQ(b.read(), result_text("b-1", "for b"));

  ASSERT_TRUE(b.send("b-2", "browser.renew", owner_params("owner-2", "account 2")));
  const auto renew = expect_forward(host, "browser.renew", owner_params("owner-2", "account 2"));
  // An error answer to A's old call reaches nobody and does not touch B's lease.
  ASSERT_TRUE(host.send(answer(stale.id, "error", extension_error())));
  ASSERT_TRUE(host.send(answer(renew.id, "result", "renewed")));
  EXPECT_EQ(b.read(), result_text("b-2", "renewed"));
  ASSERT_TRUE(b.send("b-3", "browser.disconnect", end_params("owner-2", "account 2")));
  expect_forward(host, "browser.disconnect", end_params("owner-2", "account 2"));
}

struct BadAnswer {
  const char* name;
  // The answer's text, given the id of the outstanding call.
  std::string (*text)(const std::string& id);
};

class E2eMalformedAnswer : public E2eBridge, public ::testing::WithParamInterface<BadAnswer> {};

TEST_P(E2eMalformedAnswer, IsDroppedAndTheCallStaysOutstanding) {
  Client a(host);
  Client b(host);
  ASSERT_TRUE(b.send("b-0", "bridge.info", json::object{}));
  ASSERT_FALSE(b.read().empty());
  ASSERT_TRUE(a.send("c-1", "browser.connect", connect_params()));
  const auto connect = expect_forward(host, "browser.connect", connect_params());

  ASSERT_TRUE(host.send_raw(peer::frame_bytes(GetParam().text(connect.id))));
  ASSERT_TRUE(host.send(answer(connect.id, "result", "valid")));
  // The valid answer is the first thing either client receives.
  EXPECT_EQ(a.read(), result_text("c-1", "valid"));
  ASSERT_TRUE(b.send("b-1", "bridge.info", json::object{}));
  EXPECT_NE(b.read().find(R"("id":"b-1","result":)"), std::string::npos);
  // The owner still holds the lease, and no release was sent before this.
  ASSERT_TRUE(a.send("r-2", "browser.renew", owner_params()));
  expect_forward(host, "browser.renew", owner_params());
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, E2eMalformedAnswer,
    ::testing::Values(
        BadAnswer{"ResultAndError",
                  [](const std::string& id) {
                    return R"({"version":1,"id":")" + id + R"(","result":1,"error":{"code":"x"}})";
                  }},
        BadAnswer{"NullResultAndNullError",
                  [](const std::string& id) {
                    return R"({"version":1,"id":")" + id + R"(","result":null,"error":null})";
                  }},
        BadAnswer{"Neither", [](const std::string& id) { return R"({"version":1,"id":")" + id + R"("})"; }},
        BadAnswer{"Version2",
                  [](const std::string& id) { return R"({"version":2,"id":")" + id + R"(","error":{}})"; }},
        BadAnswer{"VersionFloat",
                  [](const std::string& id) { return R"({"version":1.0,"id":")" + id + R"(","result":1})"; }},
        BadAnswer{"VersionText",
                  [](const std::string& id) { return R"({"version":"1","id":")" + id + R"(","result":1})"; }},
        BadAnswer{"NoVersion", [](const std::string& id) { return R"({"id":")" + id + R"(","error":{}})"; }},
        BadAnswer{"NumericId", [](const std::string&) { return std::string(R"({"version":1,"id":7,"error":{}})"); }},
        BadAnswer{"UnknownId",
                  [](const std::string&) {
                    return std::string(R"({"version":1,"id":"00000000-0000-4000-8000-000000000000","error":{}})");
                  }},
        BadAnswer{"IdInOtherCase",
                  [](const std::string& id) { return R"({"version":1,"id":")" + upper(id) + R"(","error":{}})"; }},
        BadAnswer{"IdWithSpace",
                  [](const std::string& id) { return R"({"version":1,"id":" )" + id + R"(","error":{}})"; }},
        BadAnswer{"NotAnObject", [](const std::string& id) { return R"([")" + id + R"("])"; }}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Releases ---------------------------------------------------------------

struct ErrorAnswerCase {
  const char* name;
  const char* method;
  bool releases;
};

class E2eErrorAnswer : public E2eBridge, public ::testing::WithParamInterface<ErrorAnswerCase> {};

TEST_P(E2eErrorAnswer, ToTheOwnersCall) {
  const auto& c = GetParam();
  Client a(host);
  const bool is_connect = std::string_view(c.method) == "browser.connect";
  if (!is_connect) {
    take_lease(a);
  }
  const auto params = is_connect                                     ? connect_params()
                      : std::string_view(c.method) == "browser.renew" ? owner_params()
                                                                      : end_params();
  ASSERT_TRUE(a.send("x-1", c.method, params));
  const auto call = expect_forward(host, c.method, params);
  std::optional<StdoutFiller> filler;
  if (c.releases) {
    filler.emplace(host);
  }
  ASSERT_TRUE(host.send(json::object{
      {"version", 1}, {"id", call.id}, {"error", extension_error()}, {"method", c.method}}));
  const auto relayed = to_json_text(json::object{
      {"version", 1}, {"id", "x-1"}, {"error", extension_error()}, {"method", c.method}});
  if (c.releases) {
    // The release is stuck behind the filler, and the error waits for it.
    EXPECT_FALSE(readable_within(a.fd(), 200ms));
    filler->drain();
    expect_release(host, "browser.suspend");
    EXPECT_EQ(a.read(), relayed);
    expect_free();
    a.expect_refused("x-2", "browser.renew", owner_params(), not_owner);
  } else {
    EXPECT_EQ(a.read(), relayed);
    ASSERT_TRUE(a.send("x-2", "browser.renew", owner_params()));
    expect_forward(host, "browser.renew", owner_params());
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, E2eErrorAnswer,
                         ::testing::Values(ErrorAnswerCase{"Connect", "browser.connect", true},
                                           ErrorAnswerCase{"Renew", "browser.renew", true},
                                           ErrorAnswerCase{"Suspend", "browser.suspend", true},
                                           ErrorAnswerCase{"DisconnectKeepsOwner", "browser.disconnect", false}),
                         [](const auto& info) { return std::string(info.param.name); });

class E2eOwnerCloses : public E2eBridge, public ::testing::WithParamInterface<bool> {};

TEST_P(E2eOwnerCloses, ReleasesOnce) {
  const bool call_outstanding = GetParam();
  Client a(host);
  take_lease(a);
  Sent renew;
  if (call_outstanding) {
    ASSERT_TRUE(a.send("r-1", "browser.renew", owner_params()));
    renew = expect_forward(host, "browser.renew", owner_params());
  }
  a.close();
  const auto release = expect_release(host, "browser.suspend");

  // Answers to the release and to the dropped call match nothing: no relay, no second release.
  ASSERT_TRUE(host.send(answer(release.id, "result", nullptr)));
  if (call_outstanding) {
    ASSERT_TRUE(host.send(answer(renew.id, "error", extension_error())));
  }
  Client b(host);
  const auto b_params = connect_params("owner-2", "account 2");
  ASSERT_TRUE(b.send("b-1", "browser.connect", b_params));
  const auto connect = expect_forward(host, "browser.connect", b_params);
  ASSERT_TRUE(host.send(answer(connect.id, "result", "b owns")));
  EXPECT_EQ(b.read(), result_text("b-1", "b owns"));
}

INSTANTIATE_TEST_SUITE_P(States, E2eOwnerCloses, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithCallOutstanding" : "Idle"; });

struct AuthFailure {
  const char* name;
  bool right_secret;
  json::value params;
};

class E2eOwnerFailsAuth : public E2eBridge, public ::testing::WithParamInterface<AuthFailure> {};

TEST_P(E2eOwnerFailsAuth, RepliesThenReleasesOnce) {
  const auto& c = GetParam();
  Client a(host);
  take_lease(a);
  auto frame = client_request(c.right_secret ? host.secret() : "not-the-secret", "bad-1", "browser.renew");
  frame.as_object()["params"] = c.params;
  StdoutFiller filler(host);
  ASSERT_TRUE(a.send(frame));

  // Reply and close come before the release, which is stuck behind the filler.
  EXPECT_EQ(a.read(), error_text("bad-1", unauthorized));
  EXPECT_EQ(peer::wait_closed(a.fd(), 2s), peer::CloseStatus::closed);
  filler.drain();
  expect_release(host, "browser.suspend");
  expect_free();
}

INSTANTIATE_TEST_SUITE_P(Frames, E2eOwnerFailsAuth,
                         ::testing::Values(AuthFailure{"WrongSecret", false, owner_params()},
                                           AuthFailure{"ParamsNotAnObject", true, json::array{}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Writes to the extension that fail -----------------------------------------

TEST_F(E2eBridge, ExtensionNotReadingEndsTheHostAfterThreeSeconds) {
  expect_clean_exit = false;
  const StdoutFiller filler(host);
  Client a(host);
  const auto sent_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(a.send("c-1", "browser.connect", connect_params()));

  EXPECT_EQ(host.process().wait_exit(10s), 1);
  const auto waited = std::chrono::steady_clock::now() - sent_at;
  EXPECT_GE(waited, 2500ms);
  EXPECT_EQ(host.process().err(), "[kelvarin-browser-host] timed out\n");
}

class E2eStdoutClosed : public E2eBridge, public ::testing::WithParamInterface<bool> {};

TEST_P(E2eStdoutClosed, NextWriteEndsTheHostWithBrokenPipe) {
  expect_clean_exit = false;
  const bool by_release = GetParam();
  Client a(host);
  if (by_release) {
    take_lease(a);
  }
  host.process().close_out();
  if (by_release) {
    a.close();
  } else {
    ASSERT_TRUE(a.send("c-1", "browser.connect", connect_params()));
  }
  EXPECT_EQ(host.process().wait_exit(5s), 1);
  EXPECT_EQ(host.process().err(), "[kelvarin-browser-host] Broken pipe (os error 32)\n");
  if (!by_release) {
    // Teardown closed the client without a reply.
    EXPECT_EQ(peer::wait_closed(a.fd(), 2s), peer::CloseStatus::closed);
  }
}

INSTANTIATE_TEST_SUITE_P(Writes, E2eStdoutClosed, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ReleaseMessage" : "ForwardedCall"; });

}  // namespace
}  // namespace kelvarin::testing
