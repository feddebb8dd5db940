// The bridge rules as plain decisions: state, input and a clock reading in,
// the ordered writes and closes out. No sockets, no timers.

#include "rules/bridge_state.hpp"

#include "core/envelope.hpp"
#include "rules/dispatch.hpp"
#include "rules/forward.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace kelvarin {
namespace {

using namespace std::chrono_literals;

constexpr const char* secret = "0f8e7d6c-5b4a-4398-8776-655443322110";
const Instant t0 = Instant{} + 1000s;

class Bridge {
 public:
  Bridge() {
    state.info = HostInfo{.version = 1, .host_id = "host", .profile_id = "Default", .browser_name = "B", .extension_version = "1"};
    state.secret = secret;
    state.make_request_id = [this] { return "r" + std::to_string(++issued); };
  }

  // An accepted connection that has authenticated with "bridge.info".
  ConnectionId client() {
    const auto id = *admit_connection(state, now);
    request(id, "bridge.info");
    return id;
  }

  std::vector<std::string> request(ConnectionId id, std::string_view method, json::value params = json::object{},
                                   std::string_view request_id = "c") {
    json::value message = json::object{
        {"version", 1}, {"id", request_id}, {"secret", secret}, {"method", method}, {"params", std::move(params)}};
    return frame(id, std::move(message));
  }

  std::vector<std::string> frame(ConnectionId id, json::value message) {
    Actions actions;
    dispatch_client(state, actions, id, std::move(message), now);
    return text(actions);
  }

  std::vector<std::string> answer(std::string_view request_id, std::string_view member, json::value value = true) {
    Actions actions;
    complete_call(state, actions, json::object{{"version", 1}, {"id", request_id}, {member, std::move(value)}});
    return text(actions);
  }

  std::vector<std::string> closed(ConnectionId id) {
    Actions actions;
    close_connection(state, actions, id);
    return text(actions);
  }

  std::vector<std::string> sweep() {
    Actions actions;
    sweep_expired(state, actions, now);
    return text(actions);
  }

  // The client holds the lease: its connect was forwarded as r<n> and answered.
  ConnectionId owner(std::string_view owner_id = "owner-1") {
    const auto id = client();
    request(id, "browser.connect", connect(owner_id));
    answer(last_request(), "result");
    return id;
  }

  std::string last_request() const { return "r" + std::to_string(issued); }

  static json::value connect(std::string_view owner_id = "owner-1") {
    return json::object{{"ownerId", owner_id},
                        {"accountId", "acct"},
                        {"profileId", "Default"},
                        {"ttlMs", 90000},
                        {"pairingUrl", "ws://127.0.0.1:9/extension#x"},
                        {"extra", json::array{1}}};
  }
  static json::value ids(std::string_view owner_id = "owner-1", json::value ttl = 90000) {
    return json::object{{"ownerId", owner_id}, {"accountId", "acct"}, {"profileId", "Default"}, {"ttlMs", ttl}};
  }

  static std::vector<std::string> text(const Actions& actions) {
    std::vector<std::string> out;
    for (const auto& a : actions) {
      std::ostringstream os;
      os << a;
      out.push_back(os.str());
    }
    return out;
  }

  BridgeState state;
  Instant now = t0;
  int issued = 0;
};

std::string reply(ConnectionId id, const ErrorReply& e, std::string_view request_id = "c") {
  return "Reply(" + std::to_string(id) + ", " + to_json_text(failure(json::value(request_id), e)) + ")";
}
std::string release(std::string_view request_id, std::string_view method, std::string_view owner_id = "owner-1") {
  return "SendNative(" + to_json_text(request(request_id, method, json::object{{"accountId", "acct"}, {"ownerId", owner_id}, {"profileId", "Default"}})) + ")";
}
std::string forwarded(std::string_view request_id, std::string_view method, const json::value& params) {
  return "SendNative(" + to_json_text(request(request_id, method, params)) + ")";
}
std::string relayed(ConnectionId id, std::string_view member, json::value value = true) {
  return "Reply(" + std::to_string(id) + ", " +
         to_json_text(json::object{{"version", 1}, {"id", "c"}, {member, std::move(value)}}) + ")";
}
std::string closed(ConnectionId id) { return "CloseConnection(" + std::to_string(id) + ")"; }

using Lines = std::vector<std::string>;

struct Transition {
  const char* name;
  // Runs the setup and the event; returns what the event produced and what
  // the test expects, which may name ids made during the setup.
  std::function<std::pair<Lines, Lines>(Bridge&)> run;
  bool held_after;
};

TEST(LeaseTransitions, Table) {
  const std::vector<Transition> table = {
      {"connect with invalid params, free",
       [](Bridge& b) {
         const auto c = b.client();
         return std::pair{b.request(c, "browser.connect", Bridge::ids()), Lines{reply(c, errors::invalid_connect)}};
       },
       false},
      {"connect with invalid params while another holds it",
       [](Bridge& b) {
         b.owner();
         const auto c = b.client();
         auto params = Bridge::connect("other");
         params.as_object()["ttlMs"] = 90000.0;
         return std::pair{b.request(c, "browser.connect", params), Lines{reply(c, errors::invalid_connect)}};
       },
       true},
      {"connect from another connection with the owner's identifiers",
       [](Bridge& b) {
         b.owner();
         const auto c = b.client();
         return std::pair{b.request(c, "browser.connect", Bridge::connect()), Lines{reply(c, errors::browser_busy)}};
       },
       true},
      {"second client's connect before the extension answered the first",
       [](Bridge& b) {
         const auto first = b.client();
         b.request(first, "browser.connect", Bridge::connect());
         const auto c = b.client();
         return std::pair{b.request(c, "browser.connect", Bridge::connect("other")), Lines{reply(c, errors::browser_busy)}};
       },
       true},
      {"connect while the same connection has a call outstanding",
       [](Bridge& b) {
         const auto c = b.owner();
         b.request(c, "browser.renew", Bridge::ids());
         return std::pair{b.request(c, "browser.connect", Bridge::connect()), Lines{reply(c, errors::busy)}};
       },
       true},
      {"connect, free: forwarded with the client's params, owner installed",
       [](Bridge& b) {
         const auto c = b.client();
         return std::pair{b.request(c, "browser.connect", Bridge::connect()),
                          Lines{forwarded("r1", "browser.connect", Bridge::connect())}};
       },
       true},
      {"owner connects again on its connection: replaced",
       [](Bridge& b) {
         const auto c = b.owner();
         return std::pair{b.request(c, "browser.connect", Bridge::connect()),
                          Lines{forwarded("r2", "browser.connect", Bridge::connect())}};
       },
       true},
      {"renew, free", [](Bridge& b) { const auto c = b.client(); return std::pair{b.request(c, "browser.renew", Bridge::ids()), Lines{reply(c, errors::not_owner)}}; }, false},
      {"suspend, free", [](Bridge& b) { const auto c = b.client(); return std::pair{b.request(c, "browser.suspend", Bridge::ids()), Lines{reply(c, errors::not_owner)}}; }, false},
      {"disconnect, free", [](Bridge& b) { const auto c = b.client(); return std::pair{b.request(c, "browser.disconnect", Bridge::ids()), Lines{reply(c, errors::not_owner)}}; }, false},
      {"renew from a non-owner with a bad ttl: not_owner first",
       [](Bridge& b) {
         b.owner();
         const auto c = b.client();
         return std::pair{b.request(c, "browser.renew", Bridge::ids("owner-1", "x")), Lines{reply(c, errors::not_owner)}};
       },
       true},
      {"renew from the owner with another identifier",
       [](Bridge& b) {
         const auto c = b.owner();
         return std::pair{b.request(c, "browser.disconnect", Bridge::ids("owner-2")), Lines{reply(c, errors::not_owner)}};
       },
       true},
      {"renew from the owner with ttl 90000.0",
       [](Bridge& b) {
         const auto c = b.owner();
         return std::pair{b.request(c, "browser.renew", Bridge::ids("owner-1", 90000.0)), Lines{reply(c, errors::invalid_lease)}};
       },
       true},
      {"suspend while the owner has a call outstanding",
       [](Bridge& b) {
         const auto c = b.owner();
         b.request(c, "browser.renew", Bridge::ids());
         return std::pair{b.request(c, "browser.suspend", Bridge::ids()), Lines{reply(c, errors::busy)}};
       },
       true},
      {"a call outstanding on another connection does not make this one busy",
       [](Bridge& b) {
         const auto first = b.client();
         b.request(first, "browser.connect", Bridge::connect("other"));
         b.answer(b.last_request(), "result");
         b.request(first, "browser.renew", Bridge::ids("other"));
         b.closed(first);  // releases; the call goes with it
         const auto c = b.client();
         return std::pair{b.request(c, "browser.connect", Bridge::connect()),
                          Lines{forwarded("r4", "browser.connect", Bridge::connect())}};
       },
       true},
      {"renew accepted: forwarded",
       [](Bridge& b) {
         const auto c = b.owner();
         return std::pair{b.request(c, "browser.renew", Bridge::ids()), Lines{forwarded("r2", "browser.renew", Bridge::ids())}};
       },
       true},
      {"result answer to the owner's suspend frees it without a message",
       [](Bridge& b) {
         const auto c = b.owner();
         b.request(c, "browser.suspend", Bridge::ids());
         return std::pair{b.answer("r2", "result"), Lines{relayed(c, "result")}};
       },
       false},
      {"result null answer to the owner's disconnect counts as success",
       [](Bridge& b) {
         const auto c = b.owner();
         b.request(c, "browser.disconnect", Bridge::ids());
         return std::pair{b.answer("r2", "result", nullptr), Lines{relayed(c, "result", nullptr)}};
       },
       false},
      {"error answer to the owner's renew: release before the relay",
       [](Bridge& b) {
         const auto c = b.owner();
         b.request(c, "browser.renew", Bridge::ids());
         return std::pair{b.answer("r2", "error"), Lines{release("r3", "browser.suspend"), relayed(c, "error")}};
       },
       false},
      {"error answer to the owner's connect releases the owner just installed",
       [](Bridge& b) {
         const auto c = b.client();
         b.request(c, "browser.connect", Bridge::connect());
         return std::pair{b.answer("r1", "error"), Lines{release("r2", "browser.suspend"), relayed(c, "error")}};
       },
       false},
      {"error answer to the owner's disconnect keeps the owner",
       [](Bridge& b) {
         const auto c = b.owner();
         b.request(c, "browser.disconnect", Bridge::ids());
         return std::pair{b.answer("r2", "error"), Lines{relayed(c, "error")}};
       },
       true},
      {"the owner's disconnect times out: the reply first, then release with disconnect",
       [](Bridge& b) {
         const auto c = b.owner();
         b.request(c, "browser.disconnect", Bridge::ids());
         b.now += 30s;
         return std::pair{b.sweep(), Lines{reply(c, errors::extension_timeout), release("r3", "browser.disconnect")}};
       },
       false},
      {"the owner's renew times out: release with suspend",
       [](Bridge& b) {
         const auto c = b.owner();
         b.now += 60s;
         b.request(c, "browser.renew", Bridge::ids());
         b.now += 30s;
         return std::pair{b.sweep(), Lines{reply(c, errors::extension_timeout), release("r3", "browser.suspend")}};
       },
       false},
      {"expiry: release, then the owner's connection is closed",
       [](Bridge& b) {
         const auto c = b.owner();
         b.now += 90s;
         return std::pair{b.sweep(), Lines{release("r2", "browser.suspend"), closed(c)}};
       },
       false},
      {"the owner's connection ends: one release",
       [](Bridge& b) {
         const auto c = b.owner();
         return std::pair{b.closed(c), Lines{closed(c), release("r2", "browser.suspend")}};
       },
       false},
      {"the owner fails authentication: the reply, the close, then the release",
       [](Bridge& b) {
         const auto c = b.owner();
         json::value bad = json::object{{"version", 1}, {"id", "c"}, {"secret", "wrong"}, {"params", json::object{}}};
         return std::pair{b.frame(c, bad), Lines{reply(c, errors::unauthorized), closed(c), release("r2", "browser.suspend")}};
       },
       false},
      {"a non-owner connection ends: no effect on the lease",
       [](Bridge& b) {
         b.owner();
         const auto c = b.client();
         return std::pair{b.closed(c), Lines{closed(c)}};
       },
       true},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    Bridge b;
    auto [got, expected] = row.run(b);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(b.state.owner.has_value(), row.held_after);
  }
}

TEST(Lease, ConnectInstallsTheOwnerAtForwarding) {
  Bridge b;
  const auto c = b.client();
  b.now += 5s;
  b.request(c, "browser.connect", Bridge::connect());
  ASSERT_TRUE(b.state.owner);
  EXPECT_EQ(*b.state.owner, (Owner{.owner_id = "owner-1", .account_id = "acct", .profile_id = "Default",
                                   .expires_at = t0 + 95s, .connection_id = c}));
}

TEST(Lease, RenewExtendsFromItsOwnForwarding) {
  Bridge b;
  const auto c = b.owner();
  b.now = t0 + 80s;
  b.request(c, "browser.renew", Bridge::ids());
  b.answer(b.last_request(), "result");
  b.now = t0 + 90s;
  EXPECT_EQ(b.sweep(), Lines{});
  EXPECT_TRUE(b.state.owner);
  EXPECT_EQ(next_wakeup(b.state), t0 + 170s);
  b.now = t0 + 170s;
  EXPECT_EQ(b.sweep(), (Lines{release("r3", "browser.suspend"), closed(c)}));
}

TEST(Lease, TwoReleaseEventsGiveOneRelease) {
  Bridge b;
  const auto c = b.owner();
  b.now += 70s;
  b.request(c, "browser.suspend", Bridge::ids());
  b.now += 20s;
  // The lease ends before the suspend's own deadline; its error answer then
  // finds no owner and the connection gone.
  EXPECT_EQ(b.sweep(), (Lines{release("r3", "browser.suspend"), closed(c)}));
  EXPECT_EQ(b.answer("r2", "error"), Lines{});
  EXPECT_EQ(b.closed(c), Lines{});
  EXPECT_FALSE(b.state.owner);
  EXPECT_TRUE(b.state.pending.empty());
}

TEST(ForwardedCalls, AnswersMatchOnlyTheirOwnCall) {
  Bridge b;
  const auto owner = b.owner();
  const auto other = b.client();
  b.request(owner, "browser.renew", Bridge::ids(), "mine");
  b.request(other, "browser.connect", Bridge::connect("x"));  // busy: refused, nothing pending
  ASSERT_EQ(b.state.pending.size(), 1u);
  EXPECT_EQ(b.answer("r1", "result"), Lines{});  // an id no longer pending
  EXPECT_EQ(b.answer("unknown", "result"), Lines{});
  Actions actions;
  complete_call(b.state, actions, json::object{{"version", 1}, {"id", "r2"}, {"result", 1}, {"error", 2}});
  EXPECT_TRUE(actions.empty());
  EXPECT_EQ(b.state.pending.size(), 1u);
  complete_call(b.state, actions,
                json::object{{"version", 1}, {"id", "r2"}, {"result", json::object{{"b", 1}, {"a", 2}}}, {"method", "m"}});
  EXPECT_EQ(Bridge::text(actions),
            Lines{"Reply(" + std::to_string(owner) + R"(, {"id":"mine","method":"m","result":{"a":2,"b":1},"version":1}))"});
}

TEST(ForwardedCalls, ClosingAConnectionDropsItsCallWithoutReply) {
  Bridge b;
  const auto c = b.client();
  b.request(c, "browser.connect", Bridge::connect());
  EXPECT_EQ(b.closed(c), (Lines{closed(c), release("r2", "browser.suspend")}));
  b.now += 30s;
  EXPECT_EQ(b.sweep(), Lines{});
  EXPECT_EQ(b.answer("r1", "result"), Lines{});
}

TEST(Connections, AuthenticationAndTheTable) {
  Bridge b;
  const auto silent = *admit_connection(b.state, b.now);
  EXPECT_EQ(silent, 1u);
  EXPECT_EQ(next_wakeup(b.state), t0 + 3s);

  // A frame that arrives after the grace period is dropped and closes the connection.
  const auto late = *admit_connection(b.state, b.now);
  b.now += 3s;
  EXPECT_EQ(b.request(late, "bridge.info"), Lines{closed(late)});
  EXPECT_EQ(b.sweep(), Lines{closed(silent)});
  EXPECT_EQ(b.request(silent, "bridge.info"), Lines{});  // queued before its removal

  for (int i = 0; i < 16; ++i) {
    ASSERT_TRUE(admit_connection(b.state, b.now));
  }
  EXPECT_FALSE(admit_connection(b.state, b.now));
  b.closed(3);
  EXPECT_EQ(admit_connection(b.state, b.now), 19u);  // refused ones used no id
}

TEST(Dispatch, InfoAndUnsupportedKeepTheConnection) {
  Bridge b;
  const auto c = b.client();
  EXPECT_EQ(b.request(c, "bridge.info"),
            Lines{"Reply(1, " + to_json_text(response("c", to_json(b.state.info))) + ")"});
  for (const char* method : {"bridge.hello", "Bridge.info", "bridge.info ", ""}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(b.request(c, method), Lines{reply(c, errors::unsupported_method)});
  }
  EXPECT_EQ(b.frame(c, json::object{{"version", 1}, {"id", "c"}, {"secret", secret}, {"params", json::object{}}, {"method", 5}}),
            Lines{reply(c, errors::unsupported_method)});
  EXPECT_TRUE(b.state.connections.contains(c));
}

TEST(Dispatch, FailedAuthenticationRepliesWithTheOffendingId) {
  const std::vector<std::pair<json::value, std::string>> cases = {
      {json::object{{"version", 1}, {"id", "c"}, {"params", json::object{}}}, R"("c")"},
      {json::object{{"version", 1}, {"id", "c"}, {"secret", 7}, {"params", json::object{}}}, R"("c")"},
      {json::object{{"version", 1}, {"id", "c"}, {"secret", std::string(secret) + " "}, {"params", json::object{}}}, R"("c")"},
      {json::object{{"version", 1}, {"id", "a.b"}, {"secret", secret}, {"params", json::object{}}}, R"("a.b")"},
      {json::object{{"version", 1}, {"id", 12}, {"secret", secret}, {"params", json::object{}}}, "12"},
      {json::object{{"version", 1}, {"id", "c"}, {"secret", secret}}, R"("c")"},
      {json::array{1}, "null"},
  };
  for (const auto& [message, id] : cases) {
    SCOPED_TRACE(to_json_text(message));
    Bridge b;
    const auto c = b.client();
    const auto expected = R"(Reply(1, {"error":{"code":"unauthorized","message":"Invalid bridge authentication or request."},"id":)" + id + R"(,"version":1}))";
    EXPECT_EQ(b.frame(c, message), (Lines{expected, closed(c)}));
    EXPECT_FALSE(b.state.connections.contains(c));
  }
}

}  // namespace
}  // namespace kelvarin
