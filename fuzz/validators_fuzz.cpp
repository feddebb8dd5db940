// The envelope checks and the connect validators held against a plain
// restatement of their rules, written here on purpose without the host's
// byte-level shortcuts: text rules decode UTF-8 into code points, the
// pairing URL is taken apart with ordinary string operations, envelopes are
// read straight off Boost.JSON's own accessors. Any disagreement stops the run.
//
// Input: a JSON text, then strings, each introduced by a 0xFF byte (a byte
// that never occurs in UTF-8, so any string, UTF-8 or not, can be carried):
//   JSON \xFF s0 \xFF s1 \xFF s2 ...

#include "core/envelope.hpp"
#include "core/identity.hpp"
#include "core/text_rules.hpp"
#include "core/trusted_extensions.hpp"
#include "host/startup.hpp"
#include "rules/lease.hpp"

#include "support.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace json = boost::json;

// ---- the rules, restated ------------------------------------------------

bool plain_valid_id(std::string_view s) {
  static const std::string allowed =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  return !s.empty() && s.size() <= 128 && s.find_first_not_of(allowed) == std::string_view::npos;
}

// Unicode general category Cc.
bool plain_control(const std::vector<char32_t>& text) {
  return std::any_of(text.begin(), text.end(), [](char32_t c) { return c <= 0x1F || (c >= 0x7F && c <= 0x9F); });
}

// Unicode property White_Space.
bool plain_white_space(const std::vector<char32_t>& text) {
  static constexpr std::array<char32_t, 25> white = {
      0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
      0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  return std::any_of(text.begin(), text.end(),
                     [](char32_t c) { return std::find(white.begin(), white.end(), c) != white.end(); });
}

bool plain_valid_text(std::string_view s, std::size_t max_bytes) {
  const auto text = fuzz::decode_utf8(s);
  return text && !s.empty() && s.size() <= max_bytes && !plain_control(*text);
}

bool plain_port(std::string port) {
  if (!port.empty() && port[0] == '+') {
    port.erase(0, 1);
  }
  if (port.empty() || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  port.erase(0, std::min(port.find_first_not_of('0'), port.size()));  // leading zeros
  return !port.empty() && port.size() <= 5 && std::stoul(port) <= 65535;
}

bool plain_pairing_url(const std::string& url) {
  const auto text = fuzz::decode_utf8(url);
  if (!text || url.empty() || url.size() > 8192 || plain_white_space(*text)) {
    return false;
  }
  const std::string prefix = "ws://127.0.0.1:";
  if (url.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  const std::string rest = url.substr(prefix.size());
  const auto slash = rest.find('/');
  if (slash == std::string::npos || !plain_port(rest.substr(0, slash))) {
    return false;
  }
  const std::string path = rest.substr(slash + 1);
  return path.rfind("extension#", 0) == 0 && path.size() >= 11;
}

const json::value* find(const json::value& v, std::string_view key) {
  const auto* object = v.if_object();
  if (object == nullptr) {
    return nullptr;
  }
  const auto it = object->find(key);
  return it == object->end() ? nullptr : &it->value();
}

bool is_one(const json::value* v) {
  return v != nullptr && ((v->is_int64() && v->get_int64() == 1) || (v->is_uint64() && v->get_uint64() == 1));
}

bool plain_request_valid(const json::value& m) {
  const auto* id = find(m, "id");
  const auto* params = find(m, "params");
  return is_one(find(m, "version")) && id != nullptr && id->is_string() && plain_valid_id(id->get_string()) &&
         params != nullptr && params->is_object();
}

bool plain_answer_valid(const json::value& m) {
  const auto* id = find(m, "id");
  const bool has_result = find(m, "result") != nullptr;
  const bool has_error = find(m, "error") != nullptr;
  return is_one(find(m, "version")) && has_result != has_error && id != nullptr && id->is_string();
}

const json::string* find_string(const json::value& v, std::string_view key) {
  const auto* member = find(v, key);
  return member != nullptr ? member->if_string() : nullptr;
}

bool plain_valid_connect(const json::value& params, std::string_view profile) {
  const auto* owner = find_string(params, "ownerId");
  const auto* account = find_string(params, "accountId");
  const auto* profile_id = find_string(params, "profileId");
  const auto* ttl = find(params, "ttlMs");
  const auto* url = find_string(params, "pairingUrl");
  const bool ttl_ok = ttl != nullptr && ((ttl->is_int64() && ttl->get_int64() == 90000) ||
                                         (ttl->is_uint64() && ttl->get_uint64() == 90000));
  return owner != nullptr && plain_valid_id(*owner) && account != nullptr && plain_valid_text(*account, 256) &&
         profile_id != nullptr && std::string_view(*profile_id) == profile && ttl_ok && url != nullptr &&
         plain_pairing_url(std::string(*url));
}

bool plain_matches(const kelvarin::Owner& owner, std::uint64_t connection, const json::value& params) {
  const auto same = [&](std::string_view key, const std::string& expected) {
    const auto* s = find_string(params, key);
    return s != nullptr && std::string_view(*s) == expected;
  };
  return connection == owner.connection_id && same("ownerId", owner.owner_id) &&
         same("accountId", owner.account_id) && same("profileId", owner.profile_id);
}

// ---- the comparisons ----------------------------------------------------

void agree(bool host, bool plain, const char* rule, std::string_view input) {
  if (host != plain) {
    fuzz::fail(std::string(rule) + ": host says " + (host ? "true" : "false") + ", the rule says " +
                   (plain ? "true" : "false"),
               fuzz::shown(input));
  }
}

// Rules for any bytes.
void check_bytes(std::string_view s) {
  agree(kelvarin::valid_id(s), plain_valid_id(s), "valid_id", s);
  agree(kelvarin::trusted_origin(s),
        s == "chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll/" ||
            s == "chrome-extension://kiellkahjdbnljcfdagkahjjnmgolnhb/",
        "trusted_origin", s);
}

// Rules whose input is a JSON string, hence UTF-8.
void check_text(std::string_view s) {
  const auto text = fuzz::decode_utf8(s);
  if (!text) {
    return;
  }
  agree(kelvarin::has_control_character(s), plain_control(*text), "has_control_character", s);
  agree(kelvarin::has_white_space(s), plain_white_space(*text), "has_white_space", s);
  for (const std::size_t max : {std::size_t{128}, std::size_t{256}, s.size(), s.size() == 0 ? 0 : s.size() - 1}) {
    agree(kelvarin::valid_text(s, max), plain_valid_text(s, max), "valid_text", s);
  }
  agree(kelvarin::valid_pairing_url(s), plain_pairing_url(std::string(s)), "valid_pairing_url", s);
}

void check_message(const json::value& v, std::string_view profile, std::string_view input) {
  agree(kelvarin::request_valid(v), plain_request_valid(v), "request_valid", input);
  agree(kelvarin::answer_valid(v), plain_answer_valid(v), "answer_valid", input);
  const json::value& params = kelvarin::member(v, "params");
  for (const json::value* p : {&v, &params}) {
    agree(kelvarin::valid_connect(*p, profile), plain_valid_connect(*p, profile), "valid_connect", input);
  }
  for (const char* key : {"browserName", "extensionVersion", "profileId"}) {
    const auto got = kelvarin::bridge_metadata(v, key);
    const auto* s = find_string(params, key);
    const bool plain = s != nullptr && plain_valid_text(*s, 128);
    agree(got.has_value(), plain, "bridge_metadata", input);
    if (got) {
      fuzz::check(*got == std::string_view(*s), "bridge_metadata copies the text unchanged", input);
    } else {
      fuzz::check(got.error().text() == "Invalid bridge metadata.", "bridge_metadata's error text", input);
    }
  }
}

// Every string the parser produced, keys included, up to a bound.
void collect(const json::value& v, std::vector<std::string>& out) {
  if (out.size() >= 64) {
    return;
  }
  if (const auto* s = v.if_string()) {
    out.emplace_back(*s);
  } else if (const auto* a = v.if_array()) {
    for (const auto& e : *a) {
      collect(e, out);
    }
  } else if (const auto* o = v.if_object()) {
    for (const auto& kv : *o) {
      out.emplace_back(kv.key());
      collect(kv.value(), out);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> strings;
  const auto first = input.find('\xFF');
  const std::string_view json_text = input.substr(0, first);
  for (auto at = first; at != std::string_view::npos;) {
    const auto next = input.find('\xFF', at + 1);
    strings.emplace_back(input.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1));
    at = next;
  }

  for (const auto& s : strings) {
    check_bytes(s);
    check_text(s);
  }
  for (std::size_t i = 0; i + 1 < strings.size(); ++i) {
    agree(kelvarin::secret_equals(strings[i], strings[i + 1]), strings[i] == strings[i + 1], "secret_equals",
          strings[i] + "\n" + strings[i + 1]);
  }

  const std::string profile = strings.empty() ? std::string("Default") : strings[0];

  // The strings as connect params, so that the URL and text rules meet
  // valid_connect and Owner::matches with arbitrary bytes.
  if (strings.size() >= 4 && std::all_of(strings.begin(), strings.end(), [](const auto& s) { return fuzz::decode_utf8(s).has_value(); })) {
    const json::value params = json::object{{"ownerId", strings[1]},
                                            {"accountId", strings[2]},
                                            {"profileId", strings[0]},
                                            {"pairingUrl", strings[3]},
                                            {"ttlMs", 90000}};
    agree(kelvarin::valid_connect(params, profile), plain_valid_connect(params, profile), "valid_connect",
          kelvarin::to_json_text(params));
    const kelvarin::Owner owner{.owner_id = strings[1], .account_id = strings[2], .profile_id = strings[0],
                                .expires_at = {}, .connection_id = 7};
    for (const std::uint64_t connection : {7u, 8u}) {
      agree(owner.matches(connection, params), plain_matches(owner, connection, params), "Owner::matches",
            kelvarin::to_json_text(params));
    }
  }

  auto parsed = kelvarin::parse_json(json_text);
  if (!parsed) {
    return 0;
  }
  const json::value& v = *parsed;
  check_message(v, profile, json_text);
  std::vector<std::string> texts;
  collect(v, texts);
  for (const auto& s : texts) {
    fuzz::check(fuzz::decode_utf8(s).has_value(), "the parser yields only UTF-8 strings", fuzz::shown(s));
    check_bytes(s);
    check_text(s);
  }
  // Owner::matches with params the fuzzer wrote as JSON.
  if (const auto* owner_id = find_string(kelvarin::member(v, "params"), "ownerId")) {
    const auto* account = find_string(kelvarin::member(v, "params"), "accountId");
    const kelvarin::Owner owner{.owner_id = std::string(*owner_id),
                                .account_id = account != nullptr ? std::string(*account) : std::string("acct"),
                                .profile_id = profile, .expires_at = {}, .connection_id = 3};
    agree(owner.matches(3, kelvarin::member(v, "params")), plain_matches(owner, 3, kelvarin::member(v, "params")),
          "Owner::matches", json_text);
  }
  return 0;
}
