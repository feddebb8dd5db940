// The built host from its start to the end of its run, seen from outside:
// origin check, hello, publication of the discovery file, teardown.

#include "testing/host_fixture.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin::testing {
namespace {

namespace fs = std::filesystem;

// Permission bits of the entry itself (a link is not followed); -1 when
// nothing is there.
int mode_of(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

bool exists(const std::string& path) { return mode_of(path) != -1; }

// A start-up failure: status 1, exactly the one line on stderr, nothing to
// the extension.
void expect_failed_start(const Ended& end, std::string_view text) {
  EXPECT_EQ(end.status, 1);
  EXPECT_EQ(end.err, failure_line(text));
  EXPECT_EQ(end.out, "");
}

bool is_symlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string contents_of(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void make_dir(const std::string& path, int mode) {
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0) << path;  // past the umask
}

void make_file(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

void make_symlink(const std::string& target, const std::string& link) {
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

bool is_uuid_text(std::string_view text) {
  static const std::regex pattern("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  return std::regex_match(text.begin(), text.end(), pattern);
}

std::string text_of(const json::value& value) {
  const auto* text = value.if_string();
  return text != nullptr ? std::string(*text) : std::string("<not a string>");
}

const std::string discovery_dir_name = "browser-bridge.ilimhgenbmakmldnokbdfbjkgakahhll";

// ---------------------------------------------------------------------------
// The origin and the environment, checked before anything is read.

TEST(StartupOrigin, RefusesAnUntrustedOriginWithoutReadingInput) {
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"no argument", {}},
      {"empty origin", {""}},
      {"no trailing slash", {"chrome-extension://ilimhgenbmakmldnokbdfbjkgakahhll"}},
      {"doubled trailing slash", {std::string(trusted_origin_1) + "/"}},
      {"trailing space", {std::string(trusted_origin_1) + " "}},
      {"all upper case", {"CHROME-EXTENSION://ILIMHGENBMAKMLDNOKBDFBJKGAKAHHLL/"}},
      {"extension id in upper case", {"chrome-extension://ILIMHGENBMAKMLDNOKBDFBJKGAKAHHLL/"}},
      {"unknown extension", {"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"}},
      {"trusted origin only as the second argument", {"", trusted_origin_1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host({.args = c.args, .env = {}});
    // Nothing is sent: a host that waited for its hello would still be running.
    const auto end = host.wait_end();
    expect_failed_start(end, "Untrusted extension origin.");
    EXPECT_FALSE(exists(host.data_dir()));
  }
}

TEST(StartupOrigin, AcceptsEitherTrustedOriginAndIgnoresFurtherArguments) {
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"first trusted origin", {trusted_origin_1}},
      {"second trusted origin", {trusted_origin_2}},
      {"further arguments", {trusted_origin_1, "--untrusted", "chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"}},
      {"second origin and an empty argument", {trusted_origin_2, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host({.args = c.args, .env = {}});
    const auto reply = host.start();
    EXPECT_EQ(member(reply, "id"), "hello-1");
    // Both extensions publish in the directory named after the first one.
    EXPECT_EQ(names_in(host.data_dir()), std::set<std::string>{discovery_dir_name});
    EXPECT_EQ(names_in(host.discovery_dir()).size(), 1u);
    EXPECT_EQ(host.finish(), 0);
  }
}

TEST(StartupEnvironment, HomeUnsetFailsBeforeReadingInput) {
  Host host({.args = {trusted_origin_1}, .env = {{"HOME", std::nullopt}}});
  const auto end = host.wait_end();
  expect_failed_start(end, "Cannot locate the current user's home directory.");
}

TEST(StartupEnvironment, HomeThatDoesNotExistFailsWithTheSystemError) {
  peer::TempDir parent;
  const std::string home = parent.path() + "/missing";
  Host host({.args = {trusted_origin_1}, .env = {}}, home);
  ASSERT_TRUE(host.send(hello()));
  const auto end = host.wait_end();
  expect_failed_start(end, "No such file or directory (os error 2)");
  EXPECT_FALSE(exists(home));
}

TEST(StartupEnvironment, HomeWithTrailingSlashPublishesInTheSameDirectory) {
  peer::TempDir home;
  Host host({.args = {trusted_origin_1}, .env = {{"HOME", home.path() + "/"}}}, home.path());
  host.start();
  EXPECT_EQ(names_in(home.path()), std::set<std::string>{".kelvarin"});
  EXPECT_EQ(names_in(host.discovery_dir()).size(), 1u);
  EXPECT_EQ(host.finish(), 0);
}

// ---------------------------------------------------------------------------
// The hello.

TEST(StartupHello, InputClosedAtOnceIsAMissingHello) {
  Host host;
  host.process().close_in();
  const auto end = host.wait_end();
  expect_failed_start(end, "Missing bridge hello.");
  EXPECT_FALSE(exists(host.data_dir()));
}

TEST(StartupHello, TimesOutAfterTenSecondsWithoutAWholeFrame) {
  Host host;
  // Half a prefix: the limit covers the whole frame, not only its first byte.
  ASSERT_TRUE(host.send_raw(std::string_view("\x40\x00", 2)));
  EXPECT_EQ(host.process().wait_exit(9s), std::nullopt) << "ended before its 10 seconds";
  const auto end = host.wait_end(4s);
  expect_failed_start(end, "timed out");
  EXPECT_FALSE(exists(host.data_dir()));
}

TEST(StartupHello, RefusesAHelloThatIsNotAValidRequest) {
  const std::string long_id(129, 'p');
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"method bridge.info", R"({"version":1,"id":"h","method":"bridge.info","params":{"profileId":"Default"}})"},
      {"method in upper case", R"({"version":1,"id":"h","method":"Bridge.Hello","params":{"profileId":"Default"}})"},
      {"method missing", R"({"version":1,"id":"h","params":{"profileId":"Default"}})"},
      {"method not a string", R"({"version":1,"id":"h","method":["bridge.hello"],"params":{"profileId":"Default"}})"},
      {"profileId with a dot", R"({"version":1,"id":"h","method":"bridge.hello","params":{"profileId":"Profile.1"}})"},
      {"profileId of 129 characters",
       R"({"version":1,"id":"h","method":"bridge.hello","params":{"profileId":")" + long_id + R"("}})"},
      {"profileId empty", R"({"version":1,"id":"h","method":"bridge.hello","params":{"profileId":""}})"},
      {"profileId missing", R"({"version":1,"id":"h","method":"bridge.hello","params":{"browserName":"B"}})"},
      {"profileId a number", R"({"version":1,"id":"h","method":"bridge.hello","params":{"profileId":7}})"},
      {"version 2", R"({"version":2,"id":"h","method":"bridge.hello","params":{"profileId":"Default"}})"},
      {"version 1.0", R"({"version":1.0,"id":"h","method":"bridge.hello","params":{"profileId":"Default"}})"},
      {"version as a string", R"({"version":"1","id":"h","method":"bridge.hello","params":{"profileId":"Default"}})"},
      {"id missing", R"({"version":1,"method":"bridge.hello","params":{"profileId":"Default"}})"},
      {"id with a space", R"({"version":1,"id":"h 1","method":"bridge.hello","params":{"profileId":"Default"}})"},
      {"params missing", R"({"version":1,"id":"h","method":"bridge.hello"})"},
      {"params an array", R"({"version":1,"id":"h","method":"bridge.hello","params":[]})"},
      {"not an object", R"(["bridge.hello"])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host;
    ASSERT_TRUE(host.send_raw(peer::frame_bytes(c.text)));
    const auto end = host.wait_end();
    expect_failed_start(end, "Invalid bridge hello.");
    EXPECT_FALSE(exists(host.data_dir()));
  }
}

TEST(StartupHello, RefusesAMalformedHelloFrameWithTheFrameError) {
  const struct {
    const char* name;
    std::string bytes;
    bool end_input;  // close standard input after the bytes
    const char* text;
  } cases[] = {
      {"invalid JSON", peer::frame_bytes(R"({"version":1,"id":"h",)"), false, "Invalid JSON frame."},
      {"two values", peer::frame_bytes("{} {}"), false, "Invalid JSON frame."},
      {"length 0", length_prefix(0), false, "Frame must be 1–65536 bytes."},
      {"length 65537", length_prefix(65537), false, "Frame must be 1–65536 bytes."},
      {"length written big-endian", std::string("\0\0\0\x05{}   ", 9), false, "Frame must be 1–65536 bytes."},
      {"input ends inside the prefix", std::string("\x05\x00", 2), true, "early eof"},
      {"input ends inside the body", length_prefix(10) + "{\"a\"", true, "early eof"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host;
    ASSERT_TRUE(host.send_raw(c.bytes));
    if (c.end_input) {
      host.process().close_in();
    }
    const auto end = host.wait_end();
    expect_failed_start(end, c.text);
    EXPECT_FALSE(exists(host.data_dir()));
  }
}

json::value params_with(std::string_view key, const std::optional<json::value>& value) {
  json::object params{{"profileId", profile_id}, {"browserName", "Chromium"}, {"extensionVersion", "1.2.3"}};
  if (value) {
    params[key] = *value;
  } else {
    params.erase(key);
  }
  return params;
}

std::string repeated(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) {
    text += piece;
  }
  return text;
}

TEST(StartupHello, RefusesInvalidMetadataBeforeTouchingTheDisk) {
  const struct {
    const char* name;
    const char* key;
    std::optional<json::value> value;  // nothing: the member is left out
  } cases[] = {
      {"browserName missing", "browserName", std::nullopt},
      {"extensionVersion missing", "extensionVersion", std::nullopt},
      {"browserName empty", "browserName", json::value("")},
      {"extensionVersion empty", "extensionVersion", json::value("")},
      {"browserName of 129 bytes", "browserName", json::value(std::string(129, 'b'))},
      {"65 two-byte characters are 130 bytes", "browserName", json::value(repeated("\xc3\xa9", 65))},
      {"browserName with a tab", "browserName", json::value("Chro\tmium")},
      {"browserName with a line feed", "browserName", json::value("Chromium\n")},
      {"browserName with DEL", "browserName", json::value("Chro\x7fmium")},
      {"extensionVersion with a C1 control (U+009F)", "extensionVersion", json::value("1.2\xc2\x9f")},
      {"browserName a number", "browserName", json::value(7)},
      {"browserName null", "browserName", json::value(nullptr)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host;
    ASSERT_TRUE(host.send(hello("hello-1", params_with(c.key, c.value))));
    const auto end = host.wait_end();
    expect_failed_start(end, "Invalid bridge metadata.");
    EXPECT_FALSE(exists(host.data_dir()));
  }
}

TEST(StartupHello, AcceptsMetadataAtItsLimits) {
  const struct {
    const char* name;
    const char* key;
    std::string value;
  } cases[] = {
      {"browserName of 128 bytes", "browserName", std::string(128, 'b')},
      {"browserName with spaces", "browserName", " Google Chrome  Beta "},
      {"64 two-byte characters", "browserName", repeated("\xc3\xa9", 64)},
      {"extensionVersion with U+00A0, just past the C1 controls", "extensionVersion", "1.2\xc2\xa0" "3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host;
    const auto reply = host.start(hello("hello-1", params_with(c.key, json::value(c.value))));
    EXPECT_EQ(text_of(member(member(reply, "result"), c.key)), c.value);
    EXPECT_EQ(text_of(member(host.discovery().document, c.key)), c.value);
    EXPECT_EQ(host.finish(), 0);
  }
}

// Sends `hello_text` as the hello and returns the reply's body.
std::string raw_start(Host& host, std::string_view hello_text) {
  EXPECT_TRUE(host.send_raw(peer::frame_bytes(hello_text)));
  const auto reply = host.read();
  EXPECT_EQ(reply.status, peer::ReadStatus::frame) << host.process().err();
  return reply.body;
}

TEST(StartupHello, RepliesWithTheHostInfoAndFreshIdentities) {
  // Members out of order, extra members and surrounding whitespace: only the
  // named members count, and the reply is written sorted and compact.
  const std::string hello_text =
      "  {\"params\":{\"extensionVersion\":\"1.2.3\",\"unused\":[1],\"profileId\":\"Default\","
      "\"browserName\":\"Chromium\"},\"extra\":true,\"method\":\"bridge.hello\",\"id\":\"hello-7\",\"version\":1}\n";
  std::set<std::string> identities;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    Host host;
    const std::string body = raw_start(host, hello_text);
    const auto reply = parse_json(body);
    ASSERT_TRUE(reply.has_value()) << body;
    const auto& result = member(*reply, "result");
    ASSERT_TRUE(result.is_object()) << body;
    EXPECT_EQ(result.as_object().size(), 5u);
    EXPECT_EQ(result.as_object().if_contains("port"), nullptr);
    EXPECT_EQ(result.as_object().if_contains("secret"), nullptr);
    const std::string host_id = text_of(member(result, "hostId"));
    EXPECT_TRUE(is_uuid_text(host_id)) << host_id;
    EXPECT_EQ(body, R"({"id":"hello-7","result":{"browserName":"Chromium","extensionVersion":"1.2.3","hostId":")" +
                        host_id + R"(","profileId":"Default","version":1},"version":1})");

    const auto files = peer::read_discovery(host.home());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(is_uuid_text(files[0].secret)) << files[0].secret;
    EXPECT_NE(files[0].secret, host_id);
    identities.insert(host_id);
    identities.insert(files[0].secret);
    EXPECT_EQ(host.finish(), 0);
  }
  EXPECT_EQ(identities.size(), 4u) << "host ids and secrets repeat between runs";
}

// ---------------------------------------------------------------------------
// The discovery directory and file.

TEST(StartupDiscovery, PublishesTheFileBeforeTheReply) {
  Host host;
  const auto reply = host.start(hello("hello-1", json::object{{"profileId", "Profile_2-b"},
                                                             {"browserName", "Chro\"mium \\ Beta"},
                                                             {"extensionVersion", "1.2.3"}}));
  const std::string host_id = text_of(member(member(reply, "result"), "hostId"));
  const auto& file = host.discovery();
  EXPECT_EQ(file.path, host.discovery_dir() + "/" + host_id + ".json");
  EXPECT_EQ(file.text, R"({"browserName":"Chro\"mium \\ Beta","extensionVersion":"1.2.3","hostId":")" + host_id +
                           R"(","port":)" + std::to_string(file.port) + R"(,"profileId":"Profile_2-b","secret":")" +
                           file.secret + R"(","version":1})");
  EXPECT_TRUE(is_uuid_text(file.secret));
  EXPECT_EQ(mode_of(file.path), 0600);
  EXPECT_EQ(mode_of(host.data_dir()), 0700);
  EXPECT_EQ(mode_of(host.discovery_dir()), 0700);

  // The published port and secret are the ones the host serves with.
  auto client = host.connect();
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send(client_request(host.secret(), "q1", "bridge.info")));
  const auto answer = client.read(2s);
  ASSERT_EQ(answer.status, peer::ReadStatus::frame);
  EXPECT_EQ(text_of(member(member(answer.json(), "result"), "hostId")), host_id);
  EXPECT_EQ(host.finish(), 0);
}

TEST(StartupDiscovery, ForcesBothDirectoriesToOwnerOnly) {
  for (const int mode : {0755, 0777, 0500}) {
    SCOPED_TRACE(mode);
    Host host;
    make_dir(host.data_dir(), mode);
    make_dir(host.discovery_dir(), mode);
    host.start();
    EXPECT_EQ(mode_of(host.data_dir()), 0700);
    EXPECT_EQ(mode_of(host.discovery_dir()), 0700);
    EXPECT_EQ(mode_of(host.discovery().path), 0600);
    EXPECT_EQ(host.finish(), 0);
  }
}

TEST(StartupDiscovery, RefusesUnsafeDirectoriesAndLeavesThemAlone) {
  // The host touches no directory before the hello, so each layout is made
  // after the start and before the hello.
  const struct {
    const char* name;
    void (*make)(const std::string& home);
    void (*check)(const std::string& home);
  } cases[] = {
      {"data directory is a link to a directory",
       [](const std::string& home) {
         make_dir(home + "/target", 0755);
         make_symlink(home + "/target", home + "/.kelvarin");
       },
       [](const std::string& home) {
         EXPECT_TRUE(is_symlink(home + "/.kelvarin"));
         EXPECT_EQ(mode_of(home + "/target"), 0755);
         EXPECT_EQ(names_in(home + "/target"), std::set<std::string>{});
       }},
      {"data directory is a dangling link",
       [](const std::string& home) { make_symlink(home + "/nowhere", home + "/.kelvarin"); },
       [](const std::string& home) {
         EXPECT_TRUE(is_symlink(home + "/.kelvarin"));
         EXPECT_FALSE(exists(home + "/nowhere"));
       }},
      {"data directory is a regular file", [](const std::string& home) { make_file(home + "/.kelvarin", "keep"); },
       [](const std::string& home) { EXPECT_EQ(contents_of(home + "/.kelvarin"), "keep"); }},
      {"discovery directory is a link to a directory",
       [](const std::string& home) {
         make_dir(home + "/.kelvarin", 0700);
         make_dir(home + "/target", 0755);
         make_symlink(home + "/target", peer::discovery_dir_under(home));
       },
       [](const std::string& home) {
         EXPECT_TRUE(is_symlink(peer::discovery_dir_under(home)));
         EXPECT_EQ(mode_of(home + "/target"), 0755);
         EXPECT_EQ(names_in(home + "/target"), std::set<std::string>{});
       }},
      {"discovery directory is a regular file",
       [](const std::string& home) {
         make_dir(home + "/.kelvarin", 0700);
         make_file(peer::discovery_dir_under(home), "keep");
         ::chmod(peer::discovery_dir_under(home).c_str(), 0644);
       },
       [](const std::string& home) {
         EXPECT_EQ(contents_of(peer::discovery_dir_under(home)), "keep");
         EXPECT_EQ(mode_of(peer::discovery_dir_under(home)), 0644);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host;
    c.make(host.home());
    ASSERT_TRUE(host.send(hello()));
    const auto end = host.wait_end();
    expect_failed_start(end, "Unsafe bridge directory.");
    c.check(host.home());
  }
}

// ---------------------------------------------------------------------------
// The end of the run.

TEST(StartupTeardown, RemovesTheFileWhenInputEnds) {
  Host host;
  host.start();
  const std::string path = host.discovery().path;
  EXPECT_TRUE(exists(path));
  host.process().close_in();
  const auto end = host.wait_end();
  EXPECT_EQ(end.status, 0);
  EXPECT_EQ(end.err, "");
  EXPECT_EQ(end.out, "");
  EXPECT_FALSE(exists(path));
  // The directories outlive the run.
  EXPECT_EQ(mode_of(host.discovery_dir()), 0700);
}

TEST(StartupTeardown, RemovesTheFileWhenTheReplyCannotBeWritten) {
  Host host;
  host.process().close_out();
  ASSERT_TRUE(host.send(hello()));
  const auto end = host.wait_end();
  EXPECT_EQ(end.status, 1);
  EXPECT_EQ(end.err, failure_line("Broken pipe (os error 32)"));
  EXPECT_TRUE(exists(host.discovery_dir())) << "the host failed before publishing";
  EXPECT_EQ(names_in(host.discovery_dir()), std::set<std::string>{});
}

TEST(StartupTeardown, AMalformedFrameAfterTheHelloEndsTheRunWithItsError) {
  const struct {
    const char* name;
    std::string bytes;
    bool end_input;
    const char* text;
  } cases[] = {
      {"invalid JSON", peer::frame_bytes("{\"version\":1,"), false, "Invalid JSON frame."},
      {"length 0", length_prefix(0), false, "Frame must be 1–65536 bytes."},
      {"length 65537", length_prefix(65537), false, "Frame must be 1–65536 bytes."},
      {"input ends inside the prefix", std::string("\x02\x00", 2), true, "early eof"},
      {"input ends inside the body", length_prefix(8) + "{\"", true, "early eof"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host;
    host.start();
    const std::string path = host.discovery().path;
    ASSERT_TRUE(exists(path));
    ASSERT_TRUE(host.send_raw(c.bytes));
    if (c.end_input) {
      host.process().close_in();
    }
    const auto end = host.wait_end();
    EXPECT_EQ(end.status, 1);
    EXPECT_EQ(end.err, failure_line(c.text));
    EXPECT_EQ(end.out, "") << "the extension is sent nothing after the reply";
    EXPECT_FALSE(exists(path));
  }
}

TEST(StartupTeardown, TwoHostsShareTheDirectoryWithTheirOwnFiles) {
  Host first;
  Host second({.args = {trusted_origin_2}, .env = {}}, first.home());
  first.start(hello("hello-1", json::object{{"profileId", "Default"},
                                           {"browserName", "Chromium"},
                                           {"extensionVersion", "1.2.3"}}));
  second.start(hello("hello-2", json::object{{"profileId", "Profile_1"},
                                            {"browserName", "Chromium"},
                                            {"extensionVersion", "1.2.3"}}));
  EXPECT_EQ(names_in(first.discovery_dir()).size(), 2u);
  EXPECT_NE(first.discovery().path, second.discovery().path);
  EXPECT_NE(first.port(), second.port());
  EXPECT_NE(first.secret(), second.secret());
  EXPECT_NE(member(first.discovery().document, "hostId"), member(second.discovery().document, "hostId"));

  // Each answers on its own port, with its own secret, for its own profile.
  for (Host* host : {&first, &second}) {
    auto client = host->connect();
    ASSERT_TRUE(client.send(client_request(host->secret(), "q", "bridge.info")));
    const auto answer = client.read(2s);
    ASSERT_EQ(answer.status, peer::ReadStatus::frame);
    EXPECT_EQ(member(member(answer.json(), "result"), "profileId"), member(host->discovery().document, "profileId"));
  }

  // Ending one leaves the other's file in place.
  EXPECT_EQ(second.finish(), 0);
  const std::string own_name = fs::path(first.discovery().path).filename().string();
  EXPECT_EQ(names_in(first.discovery_dir()), std::set<std::string>{own_name});
  EXPECT_EQ(first.finish(), 0);
  EXPECT_EQ(names_in(first.discovery_dir()), std::set<std::string>{});
}

}  // namespace
}  // namespace kelvarin::testing
