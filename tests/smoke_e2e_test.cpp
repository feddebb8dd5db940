#include "testing/host_fixture.hpp"

#include <gtest/gtest.h>

namespace kelvarin::testing {
namespace {

TEST(Smoke, HelloAndInfo) {
  Host host;
  auto reply = host.start();
  EXPECT_EQ(member(reply, "id"), "hello-1");
  auto client = host.connect();
  ASSERT_TRUE(client.send(client_request(host.secret(), "q1", "bridge.info")));
  auto answer = client.read(2s);
  ASSERT_EQ(answer.status, peer::ReadStatus::frame);
  EXPECT_EQ(member(answer.json(), "id"), "q1");
  EXPECT_EQ(host.finish(), 0);
}

}  // namespace
}  // namespace kelvarin::testing
