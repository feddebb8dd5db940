// The client library against the built host: the test plays the extension on
// the host's pipes while the library's blocking calls run on a thread.

#include "testing/host_fixture.hpp"

#include "kelvarin/client.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

namespace kelvarin::testing {
namespace {

namespace fs = std::filesystem;
using client::ErrorKind;

void write_file(const std::string& path, std::string_view text) { std::ofstream(path) << text; }

// A discovery document as a host writes it.
std::string document(std::string_view host_id, std::string_view profile, std::uint16_t port,
                     std::string_view secret = "00000000-0000-4000-8000-000000000000") {
  return to_json_text(json::object{{"browserName", "Chromium"},
                                   {"extensionVersion", "1.0"},
                                   {"hostId", host_id},
                                   {"port", port},
                                   {"profileId", profile},
                                   {"secret", secret},
                                   {"version", 1}});
}

// A loopback port nothing listens on: bound, then closed.
std::uint16_t closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

client::HostEntry entry_of(const Host& host) {
  auto hosts = client::find_hosts(std::nullopt, host.discovery_dir());
  EXPECT_TRUE(hosts && hosts->size() == 1);
  return hosts && !hosts->empty() ? hosts->front() : client::HostEntry{};
}

client::LeaseScope scope(std::uint16_t port) {
  return {.owner_id = "owner-1",
          .account_id = "account 1",
          .pairing_url = "ws://127.0.0.1:" + std::to_string(port) + "/extension#token",
          .extra = {{"tabId", 7}}};
}

// Reads the next request the host forwards and answers it with `result`, or
// with an error when `error_code` is set. Returns the forwarded request.
json::value answer_next(Host& host, json::value result = json::object{{"ok", true}},
                        std::optional<std::string> error_code = std::nullopt) {
  auto frame = host.read();
  EXPECT_EQ(frame.status, peer::ReadStatus::frame);
  auto forwarded = frame.json();
  json::object answer{{"version", 1}, {"id", member(forwarded, "id")}};
  if (error_code) {
    answer["error"] = json::object{{"code", *error_code}, {"message", "No."}};
  } else {
    answer["result"] = std::move(result);
  }
  EXPECT_TRUE(host.send(answer));
  return forwarded;
}

TEST(ClientScan, ReadsDiscoveryDocumentsAndSetsAsideTheRest) {
  peer::TempDir dir;
  const std::string a = "aaaaaaaa-0000-4000-8000-000000000000";
  const std::string b = "bbbbbbbb-0000-4000-8000-000000000000";
  write_file(dir.path() + "/" + b + ".json", document(b, "Alpha", 4001));
  write_file(dir.path() + "/" + a + ".json", document(a, "Beta", 4002));
  write_file(dir.path() + "/cccc.json", document(a, "Beta", 4003));  // name and hostId disagree
  write_file(dir.path() + "/port.json", document("port", "Beta", 0));
  write_file(dir.path() + "/half.json", "{\"hostId\":");  // a host still writing it
  write_file(dir.path() + "/notes.txt", "not a discovery file");
  fs::create_symlink(dir.path() + "/" + a + ".json", dir.path() + "/link.json");

  auto scan = client::scan_hosts(dir.path());
  ASSERT_TRUE(scan) << scan.error().text();
  ASSERT_EQ(scan->hosts.size(), 2u);
  EXPECT_EQ(scan->hosts[0].profile_id, "Alpha");  // sorted by profile
  EXPECT_EQ(scan->hosts[0].port, 4001);
  EXPECT_EQ(scan->hosts[0].path, dir.path() + "/" + b + ".json");
  EXPECT_EQ(scan->hosts[1].host_id, a);
  const std::vector<std::string> unreadable{dir.path() + "/cccc.json", dir.path() + "/half.json",
                                            dir.path() + "/link.json", dir.path() + "/port.json"};
  EXPECT_EQ(scan->unreadable, unreadable);

  auto beta = client::find_hosts(std::string("Beta"), dir.path());
  ASSERT_TRUE(beta);
  ASSERT_EQ(beta->size(), 1u);
  EXPECT_EQ(beta->front().host_id, a);
}

TEST(ClientScan, MissingDirectoryHasNoHostsAndIsNotCreated) {
  peer::TempDir dir;
  const auto missing = dir.path() + "/none";
  auto scan = client::scan_hosts(missing);
  ASSERT_TRUE(scan);
  EXPECT_TRUE(scan->hosts.empty());
  EXPECT_FALSE(fs::exists(missing));

  fs::create_symlink(dir.path(), dir.path() + "/link");
  auto through_link = client::scan_hosts(dir.path() + "/link");
  ASSERT_FALSE(through_link);
  EXPECT_EQ(through_link.error().kind, ErrorKind::Io);
  // Linux says ENOTDIR for a link opened as a directory without following it.
  EXPECT_TRUE(through_link.error().os_error == ENOTDIR || through_link.error().os_error == ELOOP);
}

TEST(ClientSession, DescribesTheHostAndReportsErrorRepliesAsValues) {
  Host host;
  host.start();
  auto session = client::Session::open(entry_of(host));
  ASSERT_TRUE(session) << session.error().text();
  EXPECT_EQ(session->host().profile_id, "Default");

  auto info = session->info();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->version, 1u);
  EXPECT_EQ(info->host_id, session->host().host_id);
  EXPECT_EQ(info->extension_version, "1.2.3");

  auto unknown = session->call("bridge.nothing");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().kind, ErrorKind::Remote);
  EXPECT_EQ(unknown.error().code, "unsupported_method");
  EXPECT_EQ(unknown.error().text(), "unsupported_method: Unsupported native bridge method.");
  EXPECT_TRUE(session->is_open());  // an error reply leaves the session usable
  EXPECT_TRUE(session->info());
  EXPECT_EQ(host.finish(), 0);
}

TEST(ClientSession, RefusesFilesThatDoNotLeadToTheirHost) {
  Host host;
  host.start();
  const auto good = entry_of(host);

  struct Case {
    const char* name;
    client::HostEntry entry;
    ErrorKind kind;
  };
  auto wrong_secret = good;
  wrong_secret.secret = "00000000-0000-4000-8000-000000000000";
  auto other_host = good;
  other_host.host_id = "ffffffff-0000-4000-8000-000000000000";
  auto stale = good;
  stale.port = closed_port();
  for (const auto& c : {Case{"wrong secret", wrong_secret, ErrorKind::Protocol},
                        Case{"another host's port", other_host, ErrorKind::Protocol},
                        Case{"nothing listening", stale, ErrorKind::Io}}) {
    auto session = client::Session::open(c.entry);
    ASSERT_FALSE(session) << c.name;
    EXPECT_EQ(session.error().kind, c.kind) << c.name << ": " << session.error().text();
  }
  EXPECT_TRUE(client::Session::open(good));
  EXPECT_EQ(host.finish(), 0);
}

TEST(ClientSession, TimeOutClosesTheSessionSoALateReplyCannotBeMisread) {
  Host host;
  host.start();
  auto session = client::Session::open(entry_of(host));
  ASSERT_TRUE(session);
  auto lease = client::Lease::acquire(*session, scope(host.port()), client::Renewal::manual,
                                      client::milliseconds(300));
  ASSERT_FALSE(lease);
  EXPECT_EQ(lease.error().kind, ErrorKind::TimedOut);
  EXPECT_FALSE(session->is_open());
  auto after = session->info();
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error().kind, ErrorKind::Closed);
  // The extension still sees the forwarded connect, then the release the host
  // makes when the owner's connection closed.
  EXPECT_TRUE(is_text(member(host.read().json(), "method"), "browser.connect"));
  EXPECT_TRUE(is_text(member(host.read().json(), "method"), "browser.suspend"));
  EXPECT_EQ(host.finish(), 0);
}

TEST(ClientLease, ConnectRenewDisconnectThroughTheExtension) {
  Host host;
  host.start();
  auto session = client::Session::open(entry_of(host));
  ASSERT_TRUE(session);

  auto acquiring = std::async(std::launch::async, [&] {
    return client::Lease::acquire(*session, scope(host.port()), client::Renewal::manual);
  });
  const auto connect = answer_next(host);
  const json::value expected_connect{{"ownerId", "owner-1"},
                                     {"accountId", "account 1"},
                                     {"profileId", "Default"},
                                     {"ttlMs", 90000},
                                     {"pairingUrl", "ws://127.0.0.1:" + std::to_string(host.port()) +
                                                        "/extension#token"},
                                     {"tabId", 7}};
  EXPECT_TRUE(is_text(member(connect, "method"), "browser.connect"));
  EXPECT_EQ(member(connect, "params"), expected_connect);
  auto lease = acquiring.get();
  ASSERT_TRUE(lease) << lease.error().text();
  EXPECT_TRUE(lease->held());
  const auto first_expiry = lease->expires_at();
  EXPECT_LE(first_expiry, client::Clock::now() + client::lease_length);

  auto renewing = std::async(std::launch::async, [&] { return lease->renew(); });
  const auto renew = answer_next(host, json::object{{"renewed", true}});
  EXPECT_EQ(member(renew, "params"),
            (json::value{{"ownerId", "owner-1"}, {"accountId", "account 1"}, {"profileId", "Default"},
                         {"ttlMs", 90000}}));
  auto renewed = renewing.get();
  ASSERT_TRUE(renewed);
  EXPECT_EQ(*renewed, (json::value{{"renewed", true}}));
  EXPECT_GT(lease->expires_at(), first_expiry);

  // A refused disconnect keeps the lease; an accepted one ends it.
  auto refused = std::async(std::launch::async, [&] { return lease->disconnect(); });
  answer_next(host, {}, "not_now");
  ASSERT_FALSE(refused.get());
  EXPECT_TRUE(lease->held());
  auto disconnecting = std::async(std::launch::async, [&] { return lease->disconnect(); });
  answer_next(host);
  EXPECT_TRUE(disconnecting.get());
  EXPECT_FALSE(lease->held());

  auto late = lease->renew();  // refused here, without a round trip
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().kind, ErrorKind::InvalidArgument);
  session->close();
  // The disconnect ended the lease, so closing owes the extension nothing.
  EXPECT_EQ(host.read(300ms).status, peer::ReadStatus::timeout);
  EXPECT_EQ(host.finish(), 0);
}

TEST(ClientLease, SecondClientIsToldTheProfileIsBusy) {
  Host host;
  host.start();
  auto first = client::Session::open(entry_of(host));
  auto second = client::Session::open(entry_of(host));
  ASSERT_TRUE(first && second);
  auto acquiring = std::async(std::launch::async, [&] {
    return client::Lease::acquire(*first, scope(host.port()), client::Renewal::manual);
  });
  answer_next(host);
  auto lease = acquiring.get();
  ASSERT_TRUE(lease);

  auto other = client::Lease::acquire(*second, scope(host.port()), client::Renewal::manual);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().code, "browser_busy");
  EXPECT_TRUE(second->is_open());
  EXPECT_TRUE(lease->held());
  EXPECT_EQ(host.finish(), 0);
}

TEST(ClientLease, RenewsByItselfAndStopsWhenARenewalIsRefused) {
  Host host;
  host.start();
  auto session = client::Session::open(entry_of(host));
  ASSERT_TRUE(session);
  auto acquiring = std::async(std::launch::async, [&] {
    return client::Lease::acquire(*session, scope(host.port()), client::Renewal::automatic,
                                  client::default_call_timeout, client::milliseconds(100));
  });
  answer_next(host);
  auto lease = acquiring.get();
  ASSERT_TRUE(lease);

  EXPECT_TRUE(is_text(member(answer_next(host), "method"), "browser.renew"));
  EXPECT_TRUE(is_text(member(answer_next(host), "method"), "browser.renew"));
  EXPECT_TRUE(lease->held());
  EXPECT_FALSE(lease->renewal_error());

  // An error answer to a renewal ends the lease at the host: it releases the
  // owner before relaying the error, and the thread stops.
  EXPECT_TRUE(is_text(member(answer_next(host, {}, "gone"), "method"), "browser.renew"));
  EXPECT_TRUE(is_text(member(host.read().json(), "method"), "browser.suspend"));
  for (int i = 0; i < 100 && !lease->renewal_error(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(lease->renewal_error());
  EXPECT_EQ(lease->renewal_error()->code, "gone");
  EXPECT_FALSE(lease->held());
  EXPECT_EQ(host.read(300ms).status, peer::ReadStatus::timeout);  // no further renewals
  EXPECT_EQ(host.finish(), 0);
}

TEST(ClientConnect, FindsTheLiveHostAndPassesOverStaleFiles) {
  peer::TempDir home;
  Host alpha(Host::Options{}, home.path());
  alpha.start(hello("h1", json::object{{"profileId", "Alpha"}, {"browserName", "Chromium"},
                                       {"extensionVersion", "1"}}));
  const auto dir = alpha.discovery_dir();
  const std::string stale_id = "dddddddd-0000-4000-8000-000000000000";
  write_file(dir + "/" + stale_id + ".json", document(stale_id, "Alpha", closed_port()));

  auto only = client::connect(std::nullopt, dir);
  ASSERT_TRUE(only) << only.error().text();
  EXPECT_EQ(only->host().profile_id, "Alpha");

  Host beta(Host::Options{}, home.path());
  beta.start(hello("h2", json::object{{"profileId", "Beta"}, {"browserName", "Chromium"},
                                      {"extensionVersion", "1"}}));
  auto either = client::connect(std::nullopt, dir);
  ASSERT_FALSE(either);
  EXPECT_EQ(either.error().kind, ErrorKind::Ambiguous);
  auto chosen = client::connect(std::string("Beta"), dir);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->host().port, beta.port());

  auto none = client::connect(std::string("Gamma"), dir);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(alpha.finish(), 0);
  EXPECT_EQ(beta.finish(), 0);
  fs::remove(dir + "/" + stale_id + ".json");
}

}  // namespace
}  // namespace kelvarin::testing
