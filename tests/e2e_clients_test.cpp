// Local clients against the built host: authentication, "bridge.info",
// unsupported methods, the grace period, the connection limit, malformed
// frames and the end of the run.

#include "testing/host_fixture.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace kelvarin::testing {
namespace {

// Fills in the placeholders of a request text: $SECRET is the host's
// secret, $UPPER the same in upper case.
std::string with_secret(std::string text, const std::string& secret) {
  std::string upper = secret;
  for (auto& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const std::pair<std::string, std::string> fills[] = {{"$SECRET", secret}, {"$UPPER", upper}};
  for (const auto& [token, value] : fills) {
    for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
      text.replace(at, token.size(), value);
    }
  }
  return text;
}

std::string unauthorized(std::string_view id_json) {
  return R"({"error":{"code":"unauthorized","message":"Invalid bridge authentication or request."},"id":)" +
         std::string(id_json) + R"(,"version":1})";
}

std::string unsupported(std::string_view id_json) {
  return R"({"error":{"code":"unsupported_method","message":"Unsupported native bridge method."},"id":)" +
         std::string(id_json) + R"(,"version":1})";
}

// Reads the next frame and compares its exact bytes.
void expect_frame(peer::ClientSocket& client, const std::string& body) {
  const auto got = client.read(2s);
  ASSERT_EQ(got.status, peer::ReadStatus::frame);
  EXPECT_EQ(got.body, body);
}

// The host closes the connection without sending another byte.
void expect_closed(peer::ClientSocket& client, peer::milliseconds within = 2s) {
  EXPECT_EQ(peer::wait_closed(client.fd(), within), peer::CloseStatus::closed);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

class Clients : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start();
    host_id_ = member(host_.discovery().document, "hostId").as_string();
  }

  void TearDown() override {
    // Whatever a client did, the host keeps serving until its input ends.
    EXPECT_EQ(host_.finish(), 0);
    EXPECT_EQ(host_.process().err(), "");
  }

  [[nodiscard]] peer::ClientSocket connect() {
    auto client = host_.connect();
    EXPECT_TRUE(client.connected());
    return client;
  }

  [[nodiscard]] std::string request(std::string_view id, std::string_view method = "bridge.info") const {
    return to_json_text(client_request(host_.secret(), id, method));
  }

  [[nodiscard]] std::string info_reply(std::string_view id_json) const {
    return R"({"id":)" + std::string(id_json) +
           R"(,"result":{"browserName":"Chromium","extensionVersion":"1.2.3","hostId":")" + host_id_ +
           R"(","profileId":"Default","version":1},"version":1})";
  }

  // A bridge.info round trip: the connection is open and authenticated.
  void expect_served(peer::ClientSocket& client, std::string_view id = "ping") {
    ASSERT_TRUE(client.send_raw(peer::frame_bytes(request(id))));
    expect_frame(client, info_reply("\"" + std::string(id) + "\""));
  }

  Host host_;
  std::string host_id_;
};

TEST_F(Clients, BridgeInfoDescribesTheHostWithoutPortOrSecret) {
  auto client = connect();
  // Other members are ignored; the same connection may ask again.
  ASSERT_TRUE(client.send_raw(peer::frame_bytes(with_secret(
      R"({"version":1,"id":"q1","secret":"$SECRET","method":"bridge.info","params":{"x":1},"extra":[true]})",
      host_.secret()))));
  const auto first = client.read(2s);
  ASSERT_EQ(first.status, peer::ReadStatus::frame);
  EXPECT_EQ(first.body, info_reply(R"("q1")"));
  EXPECT_EQ(first.body.find(host_.secret()), std::string::npos);
  EXPECT_EQ(first.body.find("port"), std::string::npos);
  expect_served(client, "q-2");
}

TEST_F(Clients, FailedAuthenticationIsAnsweredAndClosesTheConnection) {
  const std::string long_id(129, 'i');
  const struct {
    const char* name;
    std::string frame;
    std::string id_json;  // the id the reply echoes
    bool authenticate_first = false;
  } cases[] = {
      {"wrong secret",
       R"({"version":1,"id":"a1","secret":"00000000-0000-4000-8000-000000000000","method":"bridge.info","params":{}})",
       R"("a1")"},
      {"secret missing", R"({"version":1,"id":"a2","method":"bridge.info","params":{}})", R"("a2")"},
      {"secret a number", R"({"version":1,"id":"a3","secret":7,"method":"bridge.info","params":{}})", R"("a3")"},
      {"secret in an array", R"({"version":1,"id":"a4","secret":["$SECRET"],"method":"bridge.info","params":{}})",
       R"("a4")"},
      {"secret in upper case", R"({"version":1,"id":"a5","secret":"$UPPER","method":"bridge.info","params":{}})",
       R"("a5")"},
      {"secret with a trailing space",
       R"({"version":1,"id":"a6","secret":"$SECRET ","method":"bridge.info","params":{}})",
       R"("a6")"},
      {"secret with a leading space",
       R"({"version":1,"id":"a7","secret":" $SECRET","method":"bridge.info","params":{}})",
       R"("a7")"},
      {"version 1.0", R"({"version":1.0,"id":"v1","secret":"$SECRET","method":"bridge.info","params":{}})", R"("v1")"},
      {"version \"1\"",
       R"({"version":"1","id":"v2","secret":"$SECRET","method":"bridge.info","params":{}})", R"("v2")"},
      {"version 2", R"({"version":2,"id":"v3","secret":"$SECRET","method":"bridge.info","params":{}})", R"("v3")"},
      {"version missing", R"({"id":"v4","secret":"$SECRET","method":"bridge.info","params":{}})", R"("v4")"},
      {"id of 129 characters",
       R"({"version":1,"id":")" + long_id + R"(","secret":"$SECRET","method":"bridge.info","params":{}})",
       "\"" + long_id + "\""},
      {"id with a dot", R"({"version":1,"id":"i.1","secret":"$SECRET","method":"bridge.info","params":{}})",
       R"("i.1")"},
      {"id empty", R"({"version":1,"id":"","secret":"$SECRET","method":"bridge.info","params":{}})", R"("")"},
      {"id a number", R"({"version":1,"id":7,"secret":"$SECRET","method":"bridge.info","params":{}})", "7"},
      {"id an object", R"({"version":1,"id":{"b":1,"a":2},"secret":"$SECRET","method":"bridge.info","params":{}})",
       R"({"a":2,"b":1})"},
      {"id missing", R"({"version":1,"secret":"$SECRET","method":"bridge.info","params":{}})", "null"},
      {"params missing", R"({"version":1,"id":"p1","secret":"$SECRET","method":"bridge.info"})", R"("p1")"},
      {"params null", R"({"version":1,"id":"p2","secret":"$SECRET","method":"bridge.info","params":null})",
       R"("p2")"},
      {"params an array", R"({"version":1,"id":"p3","secret":"$SECRET","method":"bridge.info","params":[]})",
       R"("p3")"},
      {"frame an array", R"(["$SECRET","bridge.info"])", "null"},
      {"frame a string", R"("bridge.info")", "null"},
      {"params null on an authenticated connection",
       R"({"version":1,"id":"p4","secret":"$SECRET","method":"bridge.info","params":null})", R"("p4")", true},
      {"wrong secret on an authenticated connection",
       R"({"version":1,"id":"a8","secret":"00000000-0000-4000-8000-000000000000","method":"bridge.info","params":{}})",
       R"("a8")", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = connect();
    if (c.authenticate_first) {
      expect_served(client);
    }
    // A valid request right behind the bad one, already sent when the host
    // answers: it must be dropped with the connection.
    ASSERT_TRUE(client.send_raw(peer::frame_bytes(with_secret(c.frame, host_.secret())) +
                                peer::frame_bytes(request("after"))));
    expect_frame(client, unauthorized(c.id_json));
    expect_closed(client);
  }
}

TEST_F(Clients, UnsupportedMethodsAreRefusedAndTheConnectionStays) {
  const struct {
    const char* name;
    const char* method_member;  // spliced into the request; empty: absent
  } cases[] = {
      {"bridge.hello", R"("method":"bridge.hello",)"},
      {"different letter case", R"("method":"Bridge.Info",)"},
      {"browser method in different case", R"("method":"browser.Connect",)"},
      {"trailing space", R"("method":"bridge.info ",)"},
      {"empty", R"("method":"",)"},
      {"absent", ""},
      {"null", R"("method":null,)"},
      {"a number", R"("method":1,)"},
      {"an array", R"("method":["bridge.info"],)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = connect();
    const std::string frame =
        with_secret(std::string(R"({"version":1,"id":"u1","secret":"$SECRET",)") + c.method_member + R"("params":{}})",
                    host_.secret());
    ASSERT_TRUE(client.send_raw(peer::frame_bytes(frame)));
    expect_frame(client, unsupported(R"("u1")"));
    expect_served(client);
  }
}

TEST_F(Clients, SilentClientIsClosedAfterThreeSeconds) {
  // An unsupported method still authenticates, so this one outlives the
  // grace period; it connects first, so its deadline is the earlier one.
  auto refused = connect();
  ASSERT_TRUE(refused.send_raw(peer::frame_bytes(request("h1", "bridge.hello"))));
  expect_frame(refused, unsupported(R"("h1")"));

  auto silent = connect();
  EXPECT_EQ(peer::wait_closed(silent.fd(), 2500ms), peer::CloseStatus::timeout) << "closed before 3 s";
  expect_closed(silent, 2s);

  expect_served(refused);
}

TEST_F(Clients, FrameAfterTheGracePeriodIsDropped) {
  auto late = connect();
  std::this_thread::sleep_for(3200ms);
  // The timer may already have closed the connection, which can make the
  // send fail; either way the frame must get no answer.
  (void)late.send_raw(peer::frame_bytes(request("late")));
  expect_closed(late);
}

TEST_F(Clients, SeventeenthClientIsRefusedUntilOneLeaves) {
  std::vector<peer::ClientSocket> clients;
  for (int i = 0; i < 16; ++i) {
    clients.push_back(connect());
    expect_served(clients.back(), "c" + std::to_string(i));
  }
  auto refused = connect();
  ASSERT_TRUE(refused.send_raw(peer::frame_bytes(request("c16"))));
  expect_closed(refused);

  clients.front().close();
  // A round trip on another connection lets the host take the close first.
  expect_served(clients[1]);
  auto next = connect();
  expect_served(next, "c17");
}

TEST_F(Clients, MalformedFrameClosesOnlyItsConnection) {
  const struct {
    const char* name;
    std::string bytes;
    bool half_close;  // shut down the sending direction after the bytes
  } cases[] = {
      {"length 0", length_prefix(0), false},
      {"length 65537", length_prefix(65537) + "{}", false},
      {"invalid JSON", peer::frame_bytes(R"({"version":1,)"), false},
      {"two values", peer::frame_bytes("{}{}"), false},
      {"two bytes, then the end", std::string("\x05\x00", 2), true},
      {"body cut short, then the end", length_prefix(20) + R"({"id")", true},
  };
  auto bystander = connect();
  expect_served(bystander);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = connect();
    expect_served(client);
    ASSERT_TRUE(client.send_raw(c.bytes));
    if (c.half_close) {
      client.shutdown_send();
    }
    expect_closed(client);
    expect_served(bystander);
  }
}

TEST_F(Clients, FramesBeforeAHalfCloseAreAnsweredInOrder) {
  auto client = connect();
  ASSERT_TRUE(client.send_raw(peer::frame_bytes(request("a")) + peer::frame_bytes(request("b", "bridge.hello")) +
                              peer::frame_bytes(request("c"))));
  client.shutdown_send();
  expect_frame(client, info_reply(R"("a")"));
  expect_frame(client, unsupported(R"("b")"));
  expect_frame(client, info_reply(R"("c")"));
  expect_closed(client);
}

TEST_F(Clients, ExtensionEndingItsInputEndsTheHostWithClientsConnected) {
  auto authenticated = connect();
  expect_served(authenticated);
  auto silent = connect();
  const std::string path = host_.discovery().path;
  ASSERT_TRUE(exists(path));

  host_.process().close_in();
  const auto end = host_.wait_end();
  EXPECT_EQ(end.status, 0);
  EXPECT_EQ(end.err, "");
  EXPECT_EQ(end.out, "") << "the extension is sent nothing at the end";
  EXPECT_FALSE(exists(path));
  expect_closed(authenticated, 1s);
  expect_closed(silent, 1s);
}

}  // namespace
}  // namespace kelvarin::testing
