// kelvarin-bridge's list, info and call, and its command line, run as the
// built program against built hosts in a temporary HOME.

#include "testing/host_fixture.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace kelvarin::testing {
namespace {

struct Run {
  std::optional<int> status;
  std::string out;
  std::string err;
};

// Starts kelvarin-bridge with `args` and HOME; collect() waits for it, so a
// test can play the extension in between.
class Bridge {
 public:
  Bridge(const std::vector<std::string>& args, const std::string& home)
      : process_(peer::HostProcess::Options{.binary = BRIDGE_BINARY, .args = args, .env = {{"HOME", home}}}) {
    process_.close_in();
  }
  Run collect() {
    Run run;
    run.out = read_to_end(process_.out(), 10s);
    run.status = process_.wait_exit(5s);
    run.err = process_.err();
    return run;
  }

 private:
  peer::HostProcess process_;
};

Run bridge(const std::vector<std::string>& args, const std::string& home) { return Bridge(args, home).collect(); }

json::value parsed(const Run& run) {
  auto value = parse_json(run.out);
  EXPECT_TRUE(value) << run.out;
  return value ? *value : json::value{};
}

json::value named_hello(std::string_view profile) {
  return hello("h", json::object{{"profileId", profile}, {"browserName", "Chromium"}, {"extensionVersion", "2"}});
}

TEST(BridgeCommands, ListShowsRunningHostsAndMarksStaleFiles) {
  peer::TempDir home;
  const auto empty = bridge({"list"}, home.path());
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "No host is running.\n");

  Host host(Host::Options{}, home.path());
  host.start();
  const std::string stale_id = "dddddddd-0000-4000-8000-000000000000";
  const auto stale_path = host.discovery_dir() + "/" + stale_id + ".json";
  auto stale = host.discovery().document;
  stale.as_object()["hostId"] = stale_id;
  std::ofstream(stale_path) << to_json_text(stale);  // same port, another host id
  std::ofstream(host.discovery_dir() + "/junk.json") << "[]";

  const auto text = bridge({"list"}, home.path());
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("running"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("stale"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find(host.secret()), std::string::npos);

  const auto run = bridge({"list", "--json"}, home.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.find(host.secret()), std::string::npos);
  const auto listing = parsed(run);
  const auto& hosts = member(listing, "hosts").as_array();
  ASSERT_EQ(hosts.size(), 2u);
  for (const auto& entry : hosts) {
    const bool mine = member(entry, "hostId") == member(host.discovery().document, "hostId");
    EXPECT_TRUE(is_text(member(entry, "status"), mine ? "running" : "stale")) << to_json_text(entry);
    EXPECT_TRUE(is_integer(member(entry, "port"), host.port()));
    EXPECT_TRUE(is_text(member(entry, "profileId"), "Default"));
  }
  EXPECT_EQ(member(listing, "unreadable"), (json::array{json::string(host.discovery_dir() + "/junk.json")}));
  EXPECT_EQ(host.finish(), 0);
}

TEST(BridgeCommands, InfoNeedsOneHostOrAProfile) {
  peer::TempDir home;
  const auto none = bridge({"info"}, home.path());
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.err, "kelvarin-bridge: No running host.\n");
  const auto none_json = bridge({"info", "--json", "--profile", "Work"}, home.path());
  EXPECT_EQ(none_json.status, 3);
  EXPECT_EQ(parsed(none_json),
            (json::value{{"error", {{"code", "not_found"}, {"message", "No running host for profile Work."}}}}));

  Host work(Host::Options{}, home.path());
  work.start(named_hello("Work"));
  Host play(Host::Options{}, home.path());
  play.start(named_hello("Play"));
  const auto both = bridge({"info"}, home.path());
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find("--profile"), std::string::npos) << both.err;

  const auto run = bridge({"info", "--profile", "Play", "--json"}, home.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const auto info = parsed(run);
  EXPECT_TRUE(is_text(member(info, "profileId"), "Play"));
  EXPECT_TRUE(is_integer(member(info, "port"), play.port()));
  EXPECT_TRUE(is_text(member(info, "extensionVersion"), "2"));
  EXPECT_FALSE(info.as_object().contains("secret"));
  EXPECT_EQ(work.finish(), 0);
  EXPECT_EQ(play.finish(), 0);
}

TEST(BridgeCommands, CallPrintsTheResultOrTheErrorReply) {
  Host host;
  host.start();
  const auto info = bridge({"call", "bridge.info"}, host.home());
  EXPECT_EQ(info.status, 0) << info.err;
  const json::value description{{"browserName", "Chromium"},
                                {"extensionVersion", "1.2.3"},
                                {"hostId", member(host.discovery().document, "hostId")},
                                {"profileId", "Default"},
                                {"version", 1}};
  EXPECT_EQ(info.out, to_json_text(description) + "\n");

  const auto refused = bridge({"call", "browser.renew", "--params", "{}"}, host.home());
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "kelvarin-bridge: not_owner: This client does not own the browser connection.\n");
  const auto refused_json = bridge({"call", "nothing", "--json"}, host.home());
  EXPECT_EQ(refused_json.status, 1);
  EXPECT_EQ(parsed(refused_json),
            (json::value{{"error", {{"code", "unsupported_method"}, {"message", "Unsupported native bridge method."}}}}));

  // A forwarded call: the extension's answer comes back as the result.
  Bridge connect({"call", "browser.connect", "--json", "--params", to_json_text(connect_params())}, host.home());
  const auto forwarded = host.read().json();
  EXPECT_EQ(member(forwarded, "params"), connect_params());
  ASSERT_TRUE(host.send(json::object{{"version", 1}, {"id", member(forwarded, "id")}, {"result", {{"tab", 3}}}}));
  const auto connected = connect.collect();
  EXPECT_EQ(connected.status, 0) << connected.err;
  EXPECT_EQ(parsed(connected), (json::value{{"result", {{"tab", 3}}}}));
  // The command's connection closed, so the host released the lease.
  EXPECT_TRUE(is_text(member(host.read().json(), "method"), "browser.suspend"));
  EXPECT_EQ(host.finish(), 0);
}

TEST(BridgeCommands, CommandLineErrorsExitTwoAndEveryCommandHasHelp) {
  peer::TempDir home;
  struct Case {
    std::vector<std::string> args;
    std::string err_start;
  };
  for (const auto& c : std::vector<Case>{
           {{}, "usage: kelvarin-bridge COMMAND"},
           {{"frobnicate"}, "kelvarin-bridge: unknown command frobnicate."},
           {{"list", "--frob"}, "kelvarin-bridge: unknown option --frob for list."},
           {{"call"}, "kelvarin-bridge: call needs METHOD."},
           {{"call", "a", "b"}, "kelvarin-bridge: unexpected argument b for call."},
           {{"call", "bridge.info", "--params", "[1]"}, "kelvarin-bridge: --params takes a JSON object"},
           {{"call", "bridge.info", "--timeout", "0"}, "kelvarin-bridge: --timeout takes a positive number"},
           {{"info", "--profile"}, "kelvarin-bridge: --profile needs a value (ID)."},
       }) {
    const auto run = bridge(c.args, home.path());
    EXPECT_EQ(run.status, 2) << c.err_start;
    EXPECT_TRUE(run.err.starts_with(c.err_start)) << run.err;
  }
  const auto scripted = bridge({"list", "--json", "--frob"}, home.path());
  EXPECT_EQ(scripted.status, 2);
  EXPECT_TRUE(is_text(member(member(parsed(scripted), "error"), "code"), "usage")) << scripted.out;

  const auto overview = bridge({"--help"}, home.path());
  EXPECT_EQ(overview.status, 0);
  for (const std::string command : {"list", "info", "call", "demo", "install", "uninstall", "doctor"}) {
    EXPECT_NE(overview.out.find("  " + command + " "), std::string::npos) << command;
    const auto help = bridge({command, "--help"}, home.path());
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_TRUE(help.out.starts_with("usage: kelvarin-bridge " + command)) << help.out;
    EXPECT_NE(help.out.find("--json"), std::string::npos) << command;
  }
}

TEST(BridgeCommands, DemoRunsTheWholeBridge) {
  const auto run = bridge({"demo", "--json"}, "/nonexistent");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(member(parsed(run), "ok"), json::value(true));
}

}  // namespace
}  // namespace kelvarin::testing
