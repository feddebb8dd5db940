#include "rules/lease.hpp"

#include "core/text_rules.hpp"
#include "core/trusted_extensions.hpp"
#include "host/startup.hpp"

#include <gtest/gtest.h>

namespace kelvarin {
namespace {

TEST(ValidId, Table) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"a", true},         {std::string(128, 'Z'), true}, {"A-z_09", true},   {"", false},
      {std::string(129, 'a'), false}, {"a.b", false},     {"a b", false},     {"a:b", false},
      {"\u00e9", false},   {std::string("a\0b", 3), false},
  };
  for (const auto& [id, valid] : cases) {
    SCOPED_TRACE(id);
    EXPECT_EQ(valid_id(id), valid);
  }
}

TEST(TrustedOrigin, ExactBytesOnly) {
  EXPECT_TRUE(trusted_origin("chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll/"));
  EXPECT_TRUE(trusted_origin("chrome-extension://kiellkahjdbnljcfdagkahjjnmgolnhb/"));
  for (const char* origin : {"", "chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll",
                             "chrome-extension://ILIMHGENBMAKMLDNOKBDFBJKGAKAHHLL/",
                             "chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll/ ",
                             "chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll//"}) {
    SCOPED_TRACE(origin);
    EXPECT_FALSE(trusted_origin(origin));
  }
  const auto hosts = extension_hosts();
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[0].host_name, "com.kelvarin.browser.ilimhgenbmakmldnokbdfbjkgakahhll");
  EXPECT_EQ(hosts[1].host_name, "com.kelvarin.browser.kiellkahjdbnljcfdagkahjjnmgolnhb");
}

TEST(BridgeMetadata, Table) {
  std::string two_byte;
  for (int i = 0; i < 64; ++i) {
    two_byte += "\u00e9";
  }
  const std::vector<std::pair<json::value, bool>> cases = {
      {"Chromium", true},
      {json::string(128, 'x'), true},
      {"Google Chrome 120 (beta)!", true},
      {json::string(two_byte), true},
      {"\u3042", true},
      {json::string(129, 'x'), false},
      {json::string(two_byte + "x"), false},
      {"", false},
      {"a\tb", false},
      {"a\nb", false},
      {"a\x7f", false},
      {"a\u0085", false},
      {"a\u009f", false},
      {"a\u00a0", true},
      {7, false},
      {nullptr, false},
  };
  for (const auto& [value, valid] : cases) {
    SCOPED_TRACE(to_json_text(value));
    const json::value hello = json::object{{"params", json::object{{"browserName", value}}}};
    auto result = bridge_metadata(hello, "browserName");
    ASSERT_EQ(result.has_value(), valid);
    if (valid) {
      EXPECT_EQ(*result, value.as_string());
    } else {
      EXPECT_EQ(result.error().text(), "Invalid bridge metadata.");
    }
  }
  EXPECT_FALSE(bridge_metadata(json::object{}, "browserName"));
}

TEST(PairingUrl, Table) {
  const std::string prefix = "ws://127.0.0.1:";
  const std::vector<std::pair<std::string, bool>> cases = {
      {prefix + "9/extension#x", true},
      {prefix + "65535/extension#x", true},
      {prefix + "+80/extension#x", true},
      {prefix + "00080/extension#x", true},
      {prefix + "1/extension#a/b?c#d", true},
      {prefix + "0/extension#x", false},
      {prefix + "65536/extension#x", false},
      {prefix + "99999999999999999999/extension#x", false},
      {prefix + "-1/extension#x", false},
      {prefix + "+/extension#x", false},
      {prefix + "++1/extension#x", false},
      {prefix + "/extension#x", false},
      {prefix + "8a/extension#x", false},
      {prefix + "9/extension#", false},
      {prefix + "9/extensions#x", false},
      {prefix + "9/extension", false},
      {prefix + "9", false},
      {prefix + "9extension#x", false},
      {"ws://localhost:9/extension#x", false},
      {"ws://127.0.0.2:9/extension#x", false},
      {"wss://127.0.0.1:9/extension#x", false},
      {"WS://127.0.0.1:9/extension#x", false},
      {prefix + "9/extension#a b", false},
      {prefix + "9/extension#a\tb", false},
      {prefix + "9/extension#a\u00a0b", false},
      {prefix + "9/extension#a\u3000b", false},
      {prefix + "9/extension#a\u2028b", false},
      {prefix + "9/extension#" + std::string(8192 - prefix.size() - 12, 'x'), true},
      {prefix + "9/extension#" + std::string(8193 - prefix.size() - 12, 'x'), false},
      {"", false},
      {"ws://127.0.0.1", false},
  };
  for (const auto& [url, valid] : cases) {
    SCOPED_TRACE(url.substr(0, 60));
    EXPECT_EQ(valid_pairing_url(url), valid);
  }
}

json::value with(std::string_view key, json::value value) {
  json::object params{{"ownerId", "owner-1"},
                      {"accountId", "account 1"},
                      {"profileId", "Default"},
                      {"ttlMs", 90000},
                      {"pairingUrl", "ws://127.0.0.1:9/extension#x"},
                      {"extra", "kept"}};
  if (value.is_null() && key.starts_with("-")) {
    params.erase(key.substr(1));
  } else {
    params[key] = std::move(value);
  }
  return params;
}

TEST(ValidConnect, Table) {
  const std::vector<std::tuple<const char*, json::value, bool>> cases = {
      {"as given", with("extra", "kept"), true},
      {"ttlMs as unsigned", with("ttlMs", 90000ULL), true},
      {"ttlMs as float", with("ttlMs", 90000.0), false},
      {"ttlMs as text", with("ttlMs", "90000"), false},
      {"ttlMs other", with("ttlMs", 89999), false},
      {"ttlMs missing", with("-ttlMs", nullptr), false},
      {"ownerId with dot", with("ownerId", "a.b"), false},
      {"ownerId missing", with("-ownerId", nullptr), false},
      {"accountId 256 bytes", with("accountId", json::string(256, 'a')), true},
      {"accountId 257 bytes", with("accountId", json::string(257, 'a')), false},
      {"accountId empty", with("accountId", ""), false},
      {"accountId U+0085", with("accountId", "a\u0085"), false},
      {"accountId DEL", with("accountId", "a\x7f"), false},
      {"accountId non-ASCII", with("accountId", "J\u00f6rg"), true},
      {"accountId number", with("accountId", 5), false},
      {"profileId other case", with("profileId", "default"), false},
      {"profileId missing", with("-profileId", nullptr), false},
      {"pairingUrl refused", with("pairingUrl", "ws://127.0.0.1:0/extension#x"), false},
      {"pairingUrl missing", with("-pairingUrl", nullptr), false},
  };
  for (const auto& [name, params, valid] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(valid_connect(params, "Default"), valid);
  }
  EXPECT_FALSE(valid_connect(json::array{}, "Default"));
}

TEST(OwnerMatches, SameConnectionAndAllThreeIdentifiers) {
  const Owner owner{.owner_id = "o", .account_id = "a", .profile_id = "P", .expires_at = {}, .connection_id = 3};
  const json::value params = json::object{{"ownerId", "o"}, {"accountId", "a"}, {"profileId", "P"}};
  EXPECT_TRUE(owner.matches(3, params));
  EXPECT_FALSE(owner.matches(4, params));
  for (const char* key : {"ownerId", "accountId", "profileId"}) {
    SCOPED_TRACE(key);
    json::value changed = params;
    changed.as_object()[key] = "other";
    EXPECT_FALSE(owner.matches(3, changed));
    changed.as_object()[key] = 1;
    EXPECT_FALSE(owner.matches(3, changed));
    changed.as_object().erase(key);
    EXPECT_FALSE(owner.matches(3, changed));
  }
  EXPECT_EQ(to_json_text(owner.release("browser.suspend", "r-1")),
            R"({"id":"r-1","method":"browser.suspend","params":{"accountId":"a","ownerId":"o","profileId":"P"},"version":1})");
}

}  // namespace
}  // namespace kelvarin
