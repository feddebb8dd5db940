// The whole bridge in-process, on the rules core: the input is read as a
// sequence of operations (a client connects, sends a frame, closes; the
// extension answers; the clock moves, with or without the timer running) and
// after every one the actions and the state are checked against what the
// rules guarantee. Client frames start from valid envelopes that carry the
// real secret, and input bytes choose which member to bend and how, so most
// frames get past authentication and reach the lease and call logic.
//
// Alongside the host's state the harness keeps its own record, built only
// from what the host emitted: the connection table (admissions and closes),
// every forwarded call with how it ended, every release message. Each rule
// below is checked against that record, not against the host's own tables.

#include "core/envelope.hpp"
#include "core/frame.hpp"
#include "core/text_rules.hpp"
#include "rules/bridge_state.hpp"
#include "rules/dispatch.hpp"
#include "rules/forward.hpp"

#include "support.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
using kelvarin::Action;
using kelvarin::Actions;
using kelvarin::CloseConnection;
using kelvarin::ConnectionId;
using kelvarin::Instant;
using kelvarin::Owner;
using kelvarin::Reply;
using kelvarin::SendNative;

constexpr std::string_view secret = "0f8e7d6c-5b4a-4398-8776-655443322110";
constexpr std::string_view profile = "Default";

// Reads the input front to back; past its end every byte is 0.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
  template <class T, std::size_t N>
  const T& pick(const std::array<T, N>& from) {
    return from[next() % N];
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Short UTF-8 texts made of pieces the rules treat specially.
std::string fuzz_text(Bytes& in) {
  static constexpr std::array<std::string_view, 16> pieces = {
      "a", "Z", "0", "9", "-", "_", ".", " ", "\t", "\"", "\\", "\u00e9", "\u0085", "\u00a0", "\x7f", "\x01"};
  std::string out;
  for (int n = in.next() % 12; n > 0; --n) {
    out += in.pick(pieces);
  }
  return out;
}

json::value pick_value(Bytes& in) {
  switch (in.next() % 16) {
    case 0: return "owner-1";
    case 1: return "owner-2";
    case 2: return "acct";
    case 3: return "Default";
    case 4: return "default";
    case 5: return "a.b";
    case 6: return "";
    case 7: return 90000;
    case 8: return 90000.0;
    case 9: return "90000";
    case 10: return 89999;
    case 11: return std::uint64_t{90000};
    case 12: return nullptr;
    case 13: return "ws://127.0.0.1:0/extension#x";
    case 14: return json::array{1};
    default: return json::string(fuzz_text(in));
  }
}

const std::array<std::string_view, 5> methods = {"browser.connect", "browser.renew", "browser.suspend",
                                                           "browser.disconnect", "bridge.info"};

// A client frame: a valid request for one of the methods with the real
// secret, then bent as the input says.
json::value client_frame(Bytes& in) {
  static constexpr std::array<std::string_view, 3> owners = {"owner-1", "owner-2", "owner-1"};
  static constexpr std::array<std::string_view, 3> accounts = {"acct", "acct-2", "J\u00f6rg"};
  static constexpr std::array<std::string_view, 3> urls = {"ws://127.0.0.1:9/extension#x",
                                                           "ws://127.0.0.1:65535/extension#a/b?c#d",
                                                           "ws://127.0.0.1:9/extension#"};
  const auto kind = in.next() % 8;
  const auto owner = in.pick(owners);
  const auto account = in.pick(accounts);
  json::object params;
  std::string method;
  switch (kind) {
    case 0:
      method = "bridge.info";
      break;
    case 1:
      method = "browser.connect";
      params = {{"ownerId", owner}, {"accountId", account}, {"profileId", profile},
                {"ttlMs", 90000},   {"pairingUrl", in.pick(urls)}};
      break;
    case 2:
    case 3:
    case 4:
      method = std::string(methods[kind - 1]);
      params = {{"ownerId", owner}, {"accountId", account}, {"profileId", profile}, {"ttlMs", 90000}};
      break;
    case 5: {
      static constexpr std::array<std::string_view, 4> others = {"bridge.hello", "Bridge.info", "bridge.info ", ""};
      method = in.pick(others);
      break;
    }
    case 6: {
      json::object wrong{{"version", 1}, {"id", "c"}, {"method", "bridge.info"}, {"params", json::object{}}};
      switch (in.next() % 4) {
        case 0: wrong["secret"] = "wrong"; break;
        case 1: wrong["secret"] = std::string(secret) + " "; break;
        case 2: wrong["secret"] = secret.substr(0, secret.size() - 1); break;
        default: wrong["secret"] = 7; break;
      }
      return wrong;
    }
    default: {
      static const std::array<json::value, 4> others = {json::array{1}, json::value("text"), json::value(12),
                                                        json::value(nullptr)};
      return in.pick(others);
    }
  }
  json::object message{
      {"version", 1}, {"id", "c"}, {"secret", secret}, {"method", method}, {"params", std::move(params)}};

  // Bends, each chosen by one bit of the mask.
  const auto mask = in.next();
  if (mask & 0x01) {
    message["id"] = in.next() % 2 ? json::value(fuzz_text(in)) : pick_value(in);
  }
  if (mask & 0x02) {
    auto& p = message["params"].as_object();
    static constexpr std::array<std::string_view, 6> keys = {"ownerId", "accountId", "profileId",
                                                             "ttlMs",   "pairingUrl", "extra"};
    const auto key = in.pick(keys);
    if (in.next() % 4 == 0) {
      p.erase(key);
    } else {
      p[key] = pick_value(in);
    }
  }
  if (mask & 0x04) {
    message["params"].as_object()["extra"] = json::object{{"b", 1}, {"a", json::array{true}}};
  }
  if (mask & 0x08) {
    static const std::array<json::value, 4> versions = {json::value(2), json::value(1.0), json::value("1"),
                                                        json::value(std::uint64_t{1})};
    message["version"] = in.pick(versions);
  }
  if (mask & 0x10) {
    static constexpr std::array<std::string_view, 4> members = {"version", "id", "params", "method"};
    message.erase(in.pick(members));
  }
  if (mask & 0x20) {
    message["params"] = in.next() % 2 ? json::value(json::array{}) : json::value(nullptr);
  }
  if (mask & 0x40) {
    message["method"] = in.pick(methods);
  }
  return message;
}

// The outcome the host must reach on authentication, stated independently.
bool authenticates(const json::value& m) {
  const auto* object = m.if_object();
  if (object == nullptr) {
    return false;
  }
  const auto* s = object->if_contains("secret");
  const auto* version = object->if_contains("version");
  const auto* id = object->if_contains("id");
  const auto* params = object->if_contains("params");
  const bool version_one =
      version != nullptr && ((version->is_int64() && version->get_int64() == 1) ||
                             (version->is_uint64() && version->get_uint64() == 1));
  return s != nullptr && s->is_string() && s->get_string() == secret && version_one && id != nullptr &&
         id->is_string() && kelvarin::valid_id(id->get_string()) && params != nullptr && params->is_object();
}

std::string text_of(const Actions& actions) {
  std::string out;
  for (const auto& a : actions) {
    if (const auto* r = std::get_if<Reply>(&a)) {
      out += "Reply(" + std::to_string(r->id) + ", " + kelvarin::to_json_text(r->message) + ") ";
    } else if (const auto* s = std::get_if<SendNative>(&a)) {
      out += "SendNative(" + kelvarin::to_json_text(s->message) + ") ";
    } else {
      out += "Close(" + std::to_string(std::get<CloseConnection>(a).id) + ") ";
    }
  }
  return out;
}

// A call the extension was sent, as the harness saw it go out.
struct Call {
  ConnectionId connection = 0;
  json::value client_id;
  std::string method;
  Instant deadline{};
};

// KELVARIN_FUZZ_TRACE=1 prints every step with its actions, to read a case.
const bool trace = std::getenv("KELVARIN_FUZZ_TRACE") != nullptr;

class Harness {
 public:
  Harness() {
    state.info = kelvarin::HostInfo{.version = 1, .host_id = "host-1", .profile_id = std::string(profile),
                                    .browser_name = "Chromium", .extension_version = "1.0.0"};
    state.secret = secret;
    state.make_request_id = [this] { return "r" + std::to_string(++issued_); };
  }

  void run(Bytes& in) {
    for (int step = 0; step < 200 && !in.done(); ++step) {
      log_.clear();
      switch (in.next() % 10) {
        case 0: admit(); break;
        case 1:
        case 2:
        case 3:
        case 4: client(in); break;
        case 5:
        case 6: answer(in); break;
        case 7: close(in); break;
        case 8: advance(in, true); break;
        default: advance(in, false); break;
      }
      check_state();
    }
  }

 private:
  // ---- what every step must keep ------------------------------------------

  [[noreturn]] void fail(std::string_view what, const Actions& actions) {
    fuzz::fail(what, log_ + " -> " + text_of(actions));
  }
  void expect(bool ok, std::string_view what, const Actions& actions) {
    if (!ok) {
      fail(what, actions);
    }
  }

  // Every message goes out in one frame, reads back as itself and never
  // carries the secret.
  void check_written(const json::value& message, const Actions& actions) {
    auto frame = kelvarin::encode_frame(message);
    expect(frame.has_value(), "every message fits in a frame", actions);
    const std::string_view body = std::string_view(*frame).substr(kelvarin::frame_prefix_bytes);
    expect(body.find(secret) == std::string_view::npos, "the secret is never written to anyone", actions);
    auto back = kelvarin::parse_json(body);
    expect(back.has_value() && *back == message, "every written frame parses back to the message", actions);
  }

  // Follows the table through the actions: replies and closes only for
  // connections that are in it at that moment.
  void walk(const Actions& actions) {
    if (trace) {
      std::fprintf(stderr, "%s -> %s\n", log_.c_str(), text_of(actions).c_str());
    }
    for (const auto& a : actions) {
      if (const auto* r = std::get_if<Reply>(&a)) {
        expect(table_.contains(r->id), "replies go only to connections in the table", actions);
        check_written(r->message, actions);
      } else if (const auto* s = std::get_if<SendNative>(&a)) {
        check_written(s->message, actions);
      } else {
        const auto id = std::get<CloseConnection>(a).id;
        expect(table_.erase(id) == 1, "only a connection in the table is closed, once", actions);
      }
    }
  }

  void check_state() {
    std::set<ConnectionId> keys;
    for (const auto& [id, connection] : state.connections) {
      keys.insert(id);
    }
    fuzz::check(keys == table_, "the host's table is the one its actions describe", log_);
    fuzz::check(state.connections.size() <= kelvarin::max_connections, "at most 16 connections", log_);

    std::set<std::string> pending;
    std::set<ConnectionId> callers;
    for (const auto& [request_id, call] : state.pending) {
      pending.insert(request_id);
      fuzz::check(callers.insert(call.connection_id).second, "at most one pending call per connection", log_);
    }
    std::set<std::string> live;
    for (const auto& [request_id, call] : live_) {
      live.insert(request_id);
    }
    fuzz::check(pending == live, "the pending calls are the forwarded calls that have not ended", log_);

    if (state.owner) {
      // The lease is released whenever its holder's connection goes, so the
      // holder is always a connection in the table, and an authenticated one.
      const auto found = state.connections.find(state.owner->connection_id);
      fuzz::check(found != state.connections.end(), "the owner's connection is in the table", log_);
      fuzz::check(!found->second.auth_deadline, "the owner's connection is authenticated", log_);
      fuzz::check(state.owner->profile_id == profile && kelvarin::valid_id(state.owner->owner_id),
                  "the owner holds the identifiers of a valid connect", log_);
    }
  }

  bool is_release_of(const json::value& message, const Owner& owner) const {
    const auto* object = message.if_object();
    if (object == nullptr || object->size() != 4) {
      return false;
    }
    const json::value params = json::object{
        {"ownerId", owner.owner_id}, {"accountId", owner.account_id}, {"profileId", owner.profile_id}};
    const auto& method = kelvarin::member(message, "method");
    return kelvarin::is_integer(kelvarin::member(message, "version"), 1) &&
           kelvarin::member(message, "id").is_string() && kelvarin::member(message, "params") == params &&
           (kelvarin::is_text(method, "browser.suspend") || kelvarin::is_text(method, "browser.disconnect"));
  }

  // The release messages among `actions`: every message to the extension
  // outside a forward. Each is new and names the owner that held the lease
  // before this step.
  std::vector<std::size_t> releases(const Actions& actions, const std::optional<Owner>& before) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < actions.size(); ++i) {
      const auto* s = std::get_if<SendNative>(&actions[i]);
      if (s == nullptr) {
        continue;
      }
      expect(before && is_release_of(s->message, *before), "a message to the extension is a release of the owner",
             actions);
      const std::string id(kelvarin::member(s->message, "id").get_string());
      expect(fresh(id), "a release carries a new request id", actions);
      released_.insert(id);
      found.push_back(i);
    }
    return found;
  }

  bool fresh(const std::string& id) const {
    return !live_.contains(id) && !ended_.contains(id) && !released_.contains(id);
  }

  static std::optional<std::size_t> index_of(const Actions& actions, const Action& wanted) {
    const auto it = std::find(actions.begin(), actions.end(), wanted);
    return it == actions.end() ? std::nullopt : std::optional<std::size_t>(it - actions.begin());
  }

  static std::string_view release_method(const Actions& actions, std::size_t at) {
    return kelvarin::member(std::get<SendNative>(actions[at]).message, "method").get_string();
  }

  // ---- the operations ------------------------------------------------------

  void admit() {
    log_ = "admit";
    if (trace) {
      std::fprintf(stderr, "admit\n");
    }
    const bool room = state.connections.size() < kelvarin::max_connections;
    const auto previous = state.next_connection_id;
    const auto id = kelvarin::admit_connection(state, now_);
    fuzz::check(id.has_value() == room, "a connection is admitted exactly when the table has room", log_);
    if (id) {
      fuzz::check(*id == previous + 1 && !table_.contains(*id), "connection ids count up and are never reused", log_);
      table_.insert(*id);
    } else {
      fuzz::check(state.next_connection_id == previous, "a refused connection uses no id", log_);
    }
  }

  ConnectionId pick_connection(Bytes& in) { return in.next() % (state.next_connection_id + 2); }

  void client(Bytes& in) {
    const ConnectionId k = pick_connection(in);
    json::value message = client_frame(in);
    {
      // A client may send the secret back in any member; only the host's own
      // copying is under test, so such frames are not sent.
      json::value shown = message;
      if (auto* object = shown.if_object()) {
        object->erase("secret");
      }
      if (kelvarin::to_json_text(shown).find(secret) != std::string::npos) {
        return;
      }
    }
    log_ = "client " + std::to_string(k) + " " + kelvarin::to_json_text(message) + " at " + clock();

    const bool present = state.connections.contains(k);
    const bool late = present && state.connections.at(k).auth_deadline && *state.connections.at(k).auth_deadline <= now_;
    const bool accepted = authenticates(message);
    const json::value request_id = kelvarin::member(message, "id");
    const auto before = state.owner;
    const bool busy = std::any_of(live_.begin(), live_.end(), [k](const auto& c) { return c.second.connection == k; });
    const json::value params = kelvarin::member(message, "params");
    const auto* method_member = message.is_object() ? message.get_object().if_contains("method") : nullptr;
    const std::string method =
        method_member != nullptr && method_member->is_string() ? std::string(method_member->get_string()) : "";

    Actions actions;
    kelvarin::dispatch_client(state, actions, k, std::move(message), now_);
    walk(actions);

    if (!present) {
      expect(actions.empty(), "a frame for a connection not in the table is dropped", actions);
      expect(state.owner == before, "a dropped frame changes no owner", actions);
      return;
    }
    if (late) {
      expect(actions == Actions{CloseConnection{k}}, "a frame after the grace period closes without a reply",
             actions);
      expect(state.owner == before, "a late frame changes no owner", actions);
      return;
    }
    if (!accepted) {
      const Action refusal = Reply{k, kelvarin::failure(request_id, kelvarin::errors::unauthorized)};
      const bool held = before && before->connection_id == k;
      expect(actions.size() == (held ? 3u : 2u) && actions[0] == refusal && actions[1] == Action{CloseConnection{k}},
             "a frame that fails authentication gets unauthorized, then its connection closes", actions);
      const auto sent = releases(actions, before);
      if (held) {
        expect(sent.size() == 1 && !state.owner, "failing authentication releases the holder's lease once", actions);
        expect(release_method(actions, sent[0]) == "browser.suspend",
               "the release after failed authentication is browser.suspend", actions);
      } else {
        expect(sent.empty() && state.owner == before, "failing authentication leaves another's lease", actions);
      }
      return;
    }
    expect(!state.connections.at(k).auth_deadline, "an authenticated frame ends the grace period", actions);
    expect(actions.size() == 1, "an authenticated frame gets one reply or one forward", actions);

    if (const auto* r = std::get_if<Reply>(&actions[0])) {
      expect(r->id == k && kelvarin::member(r->message, "id") == request_id, "the reply carries the request's id",
             actions);
      expect(state.owner == before, "a refused request changes no owner", actions);
      if (method == "bridge.info") {
        expect(r->message == kelvarin::response(request_id, kelvarin::to_json(state.info)),
               "bridge.info is answered with the host's description", actions);
        return;
      }
      const auto& code = kelvarin::member(kelvarin::member(r->message, "error"), "code");
      const bool owns = before && before->matches(k, params);
      const bool lease_method = method == "browser.renew" || method == "browser.suspend" || method == "browser.disconnect";
      if (kelvarin::is_text(code, "busy")) {
        expect(busy, "busy only while the connection has a call pending", actions);
      } else if (kelvarin::is_text(code, "not_owner")) {
        expect(lease_method && !owns, "not_owner only for a lease request from a non-holder", actions);
      } else if (kelvarin::is_text(code, "browser_busy")) {
        expect(method == "browser.connect" && before && !owns, "browser_busy only while another holds the lease",
               actions);
      } else if (kelvarin::is_text(code, "unsupported_method")) {
        expect(method != "bridge.info" && method != "browser.connect" && !lease_method,
               "unsupported_method only for other methods", actions);
      } else {
        expect(kelvarin::is_text(code, "invalid_input") &&
                   (method == "browser.connect" || (method == "browser.renew" && owns)),
               "invalid_input only for connect and the holder's renew", actions);
      }
      // The holder's lease requests with nothing pending are always forwarded
      // (renew only with the one lease length).
      const bool ttl_ok = kelvarin::is_integer(kelvarin::member(params, "ttlMs"), kelvarin::required_ttl_ms);
      expect(!(lease_method && owns && !busy && (method != "browser.renew" || ttl_ok)),
             "the holder's suspend, disconnect and renew are forwarded", actions);
      return;
    }

    // A forward: the client's method and params under a new request id.
    const auto* s = std::get_if<SendNative>(&actions[0]);
    expect(s != nullptr, "a forward is a message to the extension", actions);
    const auto& m = s->message;
    expect(m.is_object() && m.get_object().size() == 4 && kelvarin::is_integer(kelvarin::member(m, "version"), 1) &&
               kelvarin::is_text(kelvarin::member(m, "method"), method) && kelvarin::member(m, "params") == params &&
               kelvarin::member(m, "id").is_string(),
           "a forward carries the client's method and params unchanged, and nothing else", actions);
    const std::string id(kelvarin::member(m, "id").get_string());
    expect(fresh(id), "a forward carries a new request id", actions);
    expect(!busy, "one call per connection", actions);
    expect(method != "bridge.info", "bridge.info is never forwarded", actions);
    if (method == "browser.connect") {
      expect(!before || before->matches(k, params), "connect is forwarded only when the lease is free or the caller's",
             actions);
      const Owner installed{.owner_id = std::string(params.at("ownerId").get_string()),
                            .account_id = std::string(params.at("accountId").get_string()),
                            .profile_id = std::string(profile),
                            .expires_at = now_ + state.limits.lease,
                            .connection_id = k};
      expect(state.owner == installed, "a forwarded connect installs the caller for 90 s", actions);
    } else {
      expect(before && before->matches(k, params), "lease requests are forwarded only for the holder", actions);
      Owner expected = *before;
      if (method == "browser.renew") {
        expected.expires_at = now_ + state.limits.lease;
      }
      expect(state.owner == expected, "renew restarts the lease; suspend and disconnect wait for the answer", actions);
    }
    live_.emplace(id, Call{.connection = k, .client_id = request_id, .method = method,
                           .deadline = now_ + state.limits.call});
  }

  void answer(Bytes& in) {
    std::vector<std::string> choices;
    for (const auto& [id, call] : live_) {
      choices.push_back(id);
    }
    for (const auto& set : {&ended_, &released_}) {
      choices.insert(choices.end(), set->begin(), set->end());
    }
    const auto choice = in.next();
    // Mostly a live call, else anything the extension might name.
    std::string id = !live_.empty() && choice < 160 ? choices[choice % live_.size()]
                     : choice % 4 == 0 || choices.empty() ? std::string("r-unknown")
                                                          : choices[choice % choices.size()];
    static const std::array<json::value, 6> values = {
        json::value(true), json::value(nullptr), json::object{{"b", 1}, {"a", 2}},
        json::value("text"), json::object{{"code", "x"}, {"message", "m"}}, json::value(0.5)};
    const auto shape = in.next();
    json::object message{{"version", 1}, {"id", id}};
    switch (shape % 4) {
      case 0: message["result"] = in.pick(values); break;
      case 1: message["error"] = in.pick(values); break;
      case 2: message["result"] = in.pick(values); message["error"] = in.pick(values); break;
      default: break;
    }
    if (shape & 0x04) {
      message["method"] = "m";
    }
    if (shape & 0x08) {
      static const std::array<json::value, 3> versions = {json::value(2), json::value(1.0), json::value(nullptr)};
      message["version"] = in.pick(versions);
    }
    if (shape & 0x10) {
      message["id"] = 7;
    }
    const json::value sent = (shape & 0x60) == 0x60 ? json::value(json::array{1}) : json::value(message);
    log_ = "answer " + kelvarin::to_json_text(sent) + " at " + clock();

    const bool valid = kelvarin::answer_valid(sent);
    const auto found = valid ? live_.find(id) : live_.end();
    const auto before = state.owner;
    const auto table_before = table_;

    Actions actions;
    kelvarin::complete_call(state, actions, sent);
    walk(actions);

    if (found == live_.end()) {
      expect(actions.empty() && state.owner == before, "an answer that matches no call is dropped", actions);
      return;
    }
    const Call call = found->second;
    ended_.insert(found->first);
    live_.erase(found);

    // Relayed once, with the client's own id, to its connection if still there.
    json::value relayed = message;
    relayed.as_object()["id"] = call.client_id;
    const auto relay = index_of(actions, Reply{call.connection, relayed});
    const bool reachable = table_before.contains(call.connection);
    const auto sent_releases = releases(actions, before);
    expect(actions.size() == sent_releases.size() + (reachable ? 1u : 0u) && relay.has_value() == reachable,
           "an answer is relayed once to its client, if still connected", actions);

    const bool holder = before && before->connection_id == call.connection;
    const bool error = message.contains("error");
    if (!holder) {
      expect(sent_releases.empty() && state.owner == before, "an answer to a non-holder leaves the lease", actions);
    } else if (!error && (call.method == "browser.suspend" || call.method == "browser.disconnect")) {
      expect(sent_releases.empty() && !state.owner, "a successful suspend or disconnect frees the lease silently",
             actions);
    } else if (error && call.method != "browser.disconnect") {
      expect(sent_releases.size() == 1 && !state.owner, "an error answer to the holder's call releases the lease once",
             actions);
      expect(release_method(actions, sent_releases[0]) == "browser.suspend",
             "the release after an error answer is browser.suspend", actions);
      expect(!relay || sent_releases[0] < *relay, "the release goes out before the relayed error", actions);
    } else {
      expect(sent_releases.empty() && state.owner == before, "other answers leave the lease as it is", actions);
    }
  }

  void close(Bytes& in) {
    const ConnectionId k = pick_connection(in);
    log_ = "close " + std::to_string(k) + " at " + clock();
    const bool present = table_.contains(k);
    const auto before = state.owner;

    Actions actions;
    kelvarin::close_connection(state, actions, k);
    walk(actions);

    // Its calls go without a word.
    std::erase_if(live_, [&](const auto& entry) {
      if (entry.second.connection == k) {
        ended_.insert(entry.first);
        return true;
      }
      return false;
    });
    const bool held = before && before->connection_id == k;
    const auto sent = releases(actions, before);
    expect(present == (!actions.empty() && actions[0] == Action{CloseConnection{k}}),
           "a closing connection is removed first, if present", actions);
    expect(actions.size() == (present ? 1u : 0u) + sent.size(), "closing sends no reply", actions);
    if (held) {
      expect(sent.size() == 1 && !state.owner, "the holder closing releases the lease once", actions);
      expect(release_method(actions, sent[0]) == "browser.suspend", "the release on close is browser.suspend",
             actions);
    } else {
      expect(sent.empty() && state.owner == before, "another connection closing leaves the lease", actions);
    }
  }

  void advance(Bytes& in, bool sweep) {
    const auto b = in.next();
    // Whole seconds land on deadlines exactly; the rest step past them.
    const auto step = b <= 100 ? std::chrono::nanoseconds(std::chrono::seconds(b))
                      : b < 200 ? std::chrono::nanoseconds(std::chrono::milliseconds(100 * (b - 100)))
                                : std::chrono::nanoseconds(b - 199);
    now_ += step;
    log_ = std::string(sweep ? "sweep" : "advance") + " to " + clock();
    if (!sweep) {
      if (trace) {
        std::fprintf(stderr, "%s\n", log_.c_str());
      }
      return;
    }
    const auto before = state.owner;
    const auto wakeup = kelvarin::next_wakeup(state);
    const auto table_before = table_;
    const auto connections_before = state.connections;

    Actions actions;
    kelvarin::sweep_expired(state, actions, now_);
    walk(actions);

    if (!wakeup || *wakeup > now_) {
      expect(actions.empty() && state.owner == before && state.connections.size() == connections_before.size() &&
                 state.pending.size() == live_.size(),
             "before the earliest deadline the timer changes nothing", actions);
    }

    // Silent connections past their grace period go without a word.
    std::multiset<ConnectionId> closes_expected;
    for (const auto& [id, connection] : connections_before) {
      if (connection.auth_deadline && *connection.auth_deadline <= now_) {
        closes_expected.insert(id);
      }
    }
    // Calls past their deadline end with extension_timeout to their client.
    std::multiset<std::string> timeouts_expected;
    std::optional<Call> holder_call;
    for (auto it = live_.begin(); it != live_.end();) {
      if (it->second.deadline > now_) {
        ++it;
        continue;
      }
      const Call& call = it->second;
      if (table_before.contains(call.connection)) {
        timeouts_expected.insert(kelvarin::to_json_text(
            Reply{call.connection, kelvarin::failure(call.client_id, kelvarin::errors::extension_timeout)}.message) +
                                 "@" + std::to_string(call.connection));
      }
      if (before && before->connection_id == call.connection) {
        holder_call = call;
      }
      ended_.insert(it->first);
      it = live_.erase(it);
    }
    const bool expired = !holder_call && before && before->expires_at <= now_;
    if (expired) {
      closes_expected.insert(before->connection_id);
    }

    std::multiset<std::string> timeouts;
    std::multiset<ConnectionId> closes;
    for (const auto& a : actions) {
      if (const auto* r = std::get_if<Reply>(&a)) {
        timeouts.insert(kelvarin::to_json_text(r->message) + "@" + std::to_string(r->id));
      } else if (const auto* c = std::get_if<CloseConnection>(&a)) {
        closes.insert(c->id);
      }
    }
    expect(timeouts == timeouts_expected, "each call past its deadline gets one extension_timeout, and only those",
           actions);
    expect(closes == closes_expected, "the timer closes silent connections and the expired holder, and only those",
           actions);

    const auto sent = releases(actions, before);
    if (holder_call) {
      expect(sent.size() == 1 && !state.owner, "the holder's call timing out releases the lease once", actions);
      const auto method = holder_call->method == "browser.disconnect" ? "browser.disconnect" : "browser.suspend";
      expect(release_method(actions, sent[0]) == method,
             "a timed-out disconnect releases with disconnect, anything else with suspend", actions);
      const auto timeout = index_of(
          actions, Reply{holder_call->connection, kelvarin::failure(holder_call->client_id, kelvarin::errors::extension_timeout)});
      expect(!timeout || *timeout < sent[0], "the time-out reply goes out before the release", actions);
    } else if (expired) {
      expect(sent.size() == 1 && !state.owner, "an expired lease is released once", actions);
      expect(release_method(actions, sent[0]) == "browser.suspend", "expiry releases with suspend", actions);
      const auto closed = index_of(actions, CloseConnection{before->connection_id});
      expect(closed && sent[0] < *closed, "expiry releases first, then closes the holder's connection", actions);
    } else {
      expect(sent.empty() && state.owner == before, "the timer leaves a lease that has not ended", actions);
    }
    const auto next = kelvarin::next_wakeup(state);
    expect(!next || *next > now_, "after the timer nothing is due", actions);
  }

  std::string clock() const {
    return "t+" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start).count()) + "ms";
  }

 public:
  kelvarin::BridgeState state;

 private:
  static constexpr Instant start = Instant{} + 1000s;
  Instant now_ = start;
  std::uint64_t issued_ = 0;
  std::set<ConnectionId> table_;
  std::map<std::string, Call> live_;
  std::set<std::string> ended_;
  std::set<std::string> released_;
  std::string log_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  Harness harness;
  harness.run(in);
  return 0;
}
