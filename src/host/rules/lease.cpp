#include "rules/lease.hpp"

#include "core/envelope.hpp"
#include "core/text_rules.hpp"

namespace kelvarin {

namespace {

constexpr std::string_view pairing_prefix = "ws://127.0.0.1:";
constexpr std::string_view pairing_path = "extension#";
constexpr std::size_t max_pairing_url = 8192;
constexpr std::size_t max_account_id = 256;

// An optional '+', then one or more ASCII digits, 1 to 65535; leading zeros allowed.
bool valid_port_text(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return false;
  }
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) {
      return false;
    }
  }
  return value != 0;
}

const json::string* string_member(const json::value& params, std::string_view key) {
  return member(params, key).if_string();
}

}  // namespace

bool Owner::matches(std::uint64_t connection, const json::value& params) const {
  return connection == connection_id && is_text(member(params, "ownerId"), owner_id) &&
         is_text(member(params, "profileId"), profile_id) && is_text(member(params, "accountId"), account_id);
}

json::value Owner::release(std::string_view method, std::string_view request_id) const {
  return request(request_id, method,
                 json::object{{"ownerId", owner_id}, {"accountId", account_id}, {"profileId", profile_id}});
}

bool valid_pairing_url(std::string_view url) {
  if (url.empty() || url.size() > max_pairing_url || has_white_space(url) || !url.starts_with(pairing_prefix)) {
    return false;
  }
  const auto rest = url.substr(pairing_prefix.size());
  const auto slash = rest.find('/');
  if (slash == std::string_view::npos || !valid_port_text(rest.substr(0, slash))) {
    return false;
  }
  const auto path = rest.substr(slash + 1);
  return path.size() > pairing_path.size() && path.starts_with(pairing_path);
}

bool valid_connect(const json::value& params, std::string_view profile_id) {
  const auto* owner_id = string_member(params, "ownerId");
  if (owner_id == nullptr || !valid_id(*owner_id)) {
    return false;
  }
  const auto* account_id = string_member(params, "accountId");
  if (account_id == nullptr || !valid_text(*account_id, max_account_id)) {
    return false;
  }
  if (!is_text(member(params, "profileId"), profile_id)) {
    return false;
  }
  if (!is_integer(member(params, "ttlMs"), required_ttl_ms)) {
    return false;
  }
  const auto* url = string_member(params, "pairingUrl");
  return url != nullptr && valid_pairing_url(*url);
}

}  // namespace kelvarin
