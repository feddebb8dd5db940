#include "core/envelope.hpp"

#include <gtest/gtest.h>

namespace kelvarin {
namespace {

json::value parse(std::string_view text) { return *parse_json(text); }

struct Case {
  const char* text;
  bool valid;
};

TEST(RequestValid, Table) {
  const std::string id128(128, 'a');
  const std::string id129(129, 'a');
  const std::vector<std::pair<std::string, bool>> cases = {
      {R"({"version":1,"id":"a","params":{}})", true},
      {R"({"version":1,"id":"a","params":{},"extra":[1],"method":7})", true},
      {R"({"version":1,"id":"a-B_9","params":{"x":1}})", true},
      {R"({"version":18446744073709551617,"id":"a","params":{}})", false},
      {R"({"version":1.0,"id":"a","params":{}})", false},
      {R"({"version":1e0,"id":"a","params":{}})", false},
      {R"({"version":"1","id":"a","params":{}})", false},
      {R"({"version":true,"id":"a","params":{}})", false},
      {R"({"version":2,"id":"a","params":{}})", false},
      {R"({"id":"a","params":{}})", false},
      {R"({"version":1,"id":")" + id128 + R"(","params":{}})", true},
      {R"({"version":1,"id":")" + id129 + R"(","params":{}})", false},
      {R"({"version":1,"id":"","params":{}})", false},
      {R"({"version":1,"id":"a.b","params":{}})", false},
      {R"({"version":1,"id":"a b","params":{}})", false},
      {"{\"version\":1,\"id\":\"\u00e9\",\"params\":{}}", false},
      {R"({"version":1,"id":7,"params":{}})", false},
      {R"({"version":1,"params":{}})", false},
      {R"({"version":1,"id":"a"})", false},
      {R"({"version":1,"id":"a","params":null})", false},
      {R"({"version":1,"id":"a","params":[]})", false},
      {R"([{"version":1,"id":"a","params":{}}])", false},
      {R"("text")", false},
  };
  for (const auto& [text, valid] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(request_valid(parse(text)), valid);
  }
}

TEST(AnswerValid, Table) {
  const std::vector<Case> cases = {
      {R"({"version":1,"id":"x","result":null})", true},
      {R"({"version":1,"id":"x","error":{"any":1}})", true},
      {R"({"version":1,"id":"x","result":1,"method":"m"})", true},
      {R"({"version":1,"id":"","result":1})", true},
      {R"({"version":1,"id":"x","result":1,"error":{}})", false},
      {R"({"version":1,"id":"x"})", false},
      {R"({"version":1,"id":7,"result":1})", false},
      {R"({"version":1,"result":1})", false},
      {R"({"version":2,"id":"x","result":1})", false},
      {R"({"id":"x","result":1})", false},
      {R"([1])", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(answer_valid(parse(c.text)), c.valid);
  }
}

TEST(Builders, ExactText) {
  EXPECT_EQ(to_json_text(response("q", json::object{{"b", 1}, {"a", 2}})),
            R"({"id":"q","result":{"a":2,"b":1},"version":1})");
  EXPECT_EQ(to_json_text(failure("q", errors::not_owner)),
            R"({"error":{"code":"not_owner","message":"This client does not own the browser connection."},"id":"q","version":1})");
  EXPECT_EQ(to_json_text(failure(nullptr, errors::unauthorized)),
            R"({"error":{"code":"unauthorized","message":"Invalid bridge authentication or request."},"id":null,"version":1})");
  EXPECT_EQ(to_json_text(failure(7, errors::busy)),
            R"({"error":{"code":"busy","message":"Wait for the previous browser request."},"id":7,"version":1})");
  EXPECT_EQ(to_json_text(request("r", "browser.renew", json::object{{"ttlMs", 90000}})),
            R"({"id":"r","method":"browser.renew","params":{"ttlMs":90000},"version":1})");
}

}  // namespace
}  // namespace kelvarin
