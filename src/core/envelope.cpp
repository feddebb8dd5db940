#include "core/envelope.hpp"

#include "core/text_rules.hpp"

namespace kelvarin {

namespace {

bool version_one(const json::value& message) { return is_integer(member(message, "version"), 1); }

}  // namespace

bool request_valid(const json::value& message) {
  if (!version_one(message)) {
    return false;
  }
  const auto* id = member(message, "id").if_string();
  if (id == nullptr || !valid_id(*id)) {
    return false;
  }
  return member(message, "params").is_object();
}

bool answer_valid(const json::value& message) {
  if (!version_one(message)) {
    return false;
  }
  const auto& object = message.get_object();
  if (object.contains("result") == object.contains("error")) {
    return false;
  }
  return member(message, "id").is_string();
}

json::value response(const json::value& id, json::value result) {
  return json::object{{"version", 1u}, {"id", id}, {"result", std::move(result)}};
}

json::value failure(const json::value& id, std::string_view code, std::string_view message) {
  return json::object{{"version", 1u}, {"id", id}, {"error", json::object{{"code", code}, {"message", message}}}};
}

json::value failure(const json::value& id, const ErrorReply& error) { return failure(id, error.code, error.message); }

json::value request(std::string_view id, std::string_view method, json::value params) {
  return json::object{{"version", 1u}, {"id", id}, {"method", method}, {"params", std::move(params)}};
}

}  // namespace kelvarin
