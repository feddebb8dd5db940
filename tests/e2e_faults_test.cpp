// Faults from outside: a client that vanishes mid-frame, a host killed by a
// signal, and a discovery file that cannot be written.

#include "testing/host_fixture.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvarin::testing {
namespace {

namespace fs = std::filesystem;

TEST(Faults, AClientResetInsideAFrameAffectsOnlyItself) {
  Host host;
  host.start();
  auto bystander = host.connect();
  auto client = host.connect();
  ASSERT_TRUE(client.send_raw(peer::frame_bytes(R"({"version":1,"id":"x","params":{}})").substr(0, 12)));
  const linger reset{1, 0};  // close with a reset, not an orderly end
  ::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  client.close();

  ASSERT_TRUE(bystander.send(client_request(host.secret(), "q", "bridge.info")));
  auto answer = bystander.read(2s);
  ASSERT_EQ(answer.status, peer::ReadStatus::frame);
  EXPECT_EQ(member(answer.json(), "id"), "q");
  EXPECT_EQ(host.finish(), 0);
  EXPECT_EQ(host.process().err(), "");
}

TEST(Faults, AKilledHostLeavesAStaleFileAndTheNextHostStillStarts) {
  peer::TempDir home;
  std::string stale;
  {
    Host first({}, home.path());
    first.start();
    stale = first.discovery().path;
    ::kill(first.process().pid(), SIGKILL);
    EXPECT_EQ(first.process().wait_exit(5s), -1);
  }
  EXPECT_TRUE(fs::exists(stale));

  Host second({}, home.path());
  ASSERT_TRUE(second.send(hello()));
  ASSERT_EQ(second.read().status, peer::ReadStatus::frame);
  EXPECT_EQ(peer::read_discovery(home.path()).size(), 2u);
  EXPECT_EQ(second.finish(), 0);
  const auto left = peer::read_discovery(home.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].path, stale);  // the host never removes another host's file
}

TEST(Faults, ADiscoveryFileThatCannotBeWrittenLeavesNothingBehind) {
  // A file-size limit of zero makes the write fail as a full disk would.
  peer::TempDir home;
  peer::HostProcess host({.binary = "/usr/bin/prlimit",
                          .args = {"--fsize=0", HOST_BINARY, trusted_origin_1},
                          .env = {{"HOME", home.path()}}});
  ASSERT_TRUE(peer::write_json(host.in(), hello()));
  EXPECT_EQ(host.wait_exit(5s), 1);
  EXPECT_EQ(host.err(), "[kelvarin-browser-host] File too large (os error 27)\n");
  EXPECT_EQ(peer::read_frame(host.out(), 100ms).status, peer::ReadStatus::eof);
  EXPECT_TRUE(fs::is_empty(peer::discovery_dir_under(home.path())));
}

TEST(Faults, AnUnwritableDiscoveryDirectoryIsAClearError) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "permissions do not bind root";
  }
  peer::TempDir home;
  fs::create_directories(peer::discovery_dir_under(home.path()));
  // The host may reset the mode of its own directory; one owned by nobody
  // else cannot be made here, so take away the data directory's search bit.
  fs::permissions(home.path() + "/.kelvarin", fs::perms::none);
  peer::HostProcess host({.binary = HOST_BINARY, .args = {trusted_origin_1}, .env = {{"HOME", home.path()}}});
  ASSERT_TRUE(peer::write_json(host.in(), hello()));
  EXPECT_EQ(host.wait_exit(5s), 1);
  EXPECT_EQ(host.err(), "[kelvarin-browser-host] Permission denied (os error 13)\n");
}

}  // namespace
}  // namespace kelvarin::testing
