// The time limits of the serve loop, shown with the real serve running
// in-process on short limits: the test thread plays the extension on the
// host's pipes and clients over loopback TCP.
//
// "Nothing more was sent" is shown by order where a peer's order allows it:
// the extension's frames are handled in the order it wrote them, so when the
// frame a later message causes is the next one read, nothing came before it.
// Across peers there is no such order, and a short quiet window stands in.

#include "host/startup.hpp"

#include "testing/host_fixture.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvarin::peer {
// Readable statuses in failure messages.
static void PrintTo(ReadStatus status, std::ostream* os) {
  constexpr const char* names[] = {"frame", "eof", "timeout", "error"};
  *os << names[static_cast<int>(status)];
}
static void PrintTo(CloseStatus status, std::ostream* os) {
  constexpr const char* names[] = {"closed", "data", "timeout"};
  *os << names[static_cast<int>(status)];
}
}  // namespace kelvarin::peer

namespace kelvarin::testing {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Limits short enough that every case runs in about a second; each test
// changes only what it is about.
Limits quick() {
  return Limits{.hello = 2s, .auth = 300ms, .send_native = 300ms, .reply = 300ms, .call = 400ms, .lease = 600ms};
}

// `serve` on a thread of its own, with pipes for its standard input and
// output and a temporary directory for the discovery file.
class InProcessHost {
 public:
  explicit InProcessHost(Limits limits) {
    // A closed pipe must be a write error, here as in the binary.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe2 failed");
    }
    in_ = in[1];
    out_ = out[0];
    const auto executor = ctx_.get_executor();
    asio::co_spawn(ctx_,
                   serve(std::make_unique<StdioStream>(executor, in[0]), std::make_unique<StdioStream>(executor, out[1]),
                         peer::discovery_dir_under(home_.path()), limits),
                   [this](std::exception_ptr error, Status status) {
                     std::lock_guard lock(mutex_);
                     outcome_ = error ? Status(std::unexpected(Error{.message = "exception"})) : std::move(status);
                     changed_.notify_all();
                   });
    thread_ = std::thread([this] {
      ctx_.run();
      std::lock_guard lock(mutex_);
      stopped_ = true;
      changed_.notify_all();
    });
  }

  ~InProcessHost() {
    close_in();
    // With the input closed, serve returns once the write in progress, if
    // any, has finished or timed out.
    if (!outcome(3s)) {
      ADD_FAILURE() << "serve did not return after the extension closed its input";
    }
    // Whatever is left on the loop (ReturnsWithNothingLeftOnItsLoop is the
    // test for that) goes with the loop.
    if (!loop_ended(200ms)) {
      ctx_.stop();
      if (!loop_ended(2s)) {
        // A loop that never yields cannot be stopped or joined: end here
        // rather than hang until the test runner's time-out.
        std::fprintf(stderr, "%s: the host's event loop is spinning and cannot be stopped\n",
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::_Exit(1);
      }
    }
    thread_.join();
    // Unblocks a stdout write the host gave up on, if the stream left one to
    // a thread.
    ::close(out_);
  }

  InProcessHost(const InProcessHost&) = delete;
  InProcessHost& operator=(const InProcessHost&) = delete;

  // The extension's side.
  bool send(const json::value& value) { return peer::write_json(in_, value); }
  peer::FrameRead read(milliseconds timeout = 2s) { return peer::read_frame(out_, timeout); }
  [[nodiscard]] int out() const { return out_; }
  void close_in() {
    if (in_ >= 0) {
      ::close(in_);
      in_ = -1;
    }
  }

  // The hello, its answer and the discovery file.
  void start() {
    ASSERT_TRUE(send(hello()));
    ASSERT_EQ(read().status, peer::ReadStatus::frame);
    auto files = peer::read_discovery(home_.path());
    ASSERT_EQ(files.size(), 1u);
    port_ = files.front().port;
    secret_ = files.front().secret;
  }

  [[nodiscard]] const std::string& secret() const { return secret_; }
  [[nodiscard]] peer::ClientSocket connect() const { return peer::ClientSocket(port_); }
  [[nodiscard]] std::uint16_t port() const { return port_; }
  [[nodiscard]] bool discovery_file_present() const { return !peer::read_discovery(home_.path()).empty(); }

  // Whether the event loop ran out of work, that is everything serve started
  // has completed.
  bool loop_ended(milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return stopped_; });
  }

  // What `serve` returned, once it has.
  std::optional<Status> outcome(milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return outcome_.has_value(); });
    return outcome_;
  }

 private:
  peer::TempDir home_;
  int in_ = -1;
  int out_ = -1;
  std::uint16_t port_ = 0;
  std::string secret_;
  asio::io_context ctx_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Status> outcome_;
  bool stopped_ = false;
  std::thread thread_;
};

std::string extension_timeout(std::string_view id) {
  return R"({"error":{"code":"extension_timeout","message":"The browser extension did not respond."},"id":")" +
         std::string(id) + R"(","version":1})";
}

bool is_request_id(const json::value& id) {
  const auto* text = id.if_string();
  if (text == nullptr || text->size() != 36) {
    return false;
  }
  for (std::size_t i = 0; i < text->size(); ++i) {
    const char c = (*text)[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

// The next frame to the extension: a request with a fresh id and `method`.
json::value next_request(InProcessHost& host, std::string_view method, milliseconds timeout = 2s) {
  const auto frame = host.read(timeout);
  if (frame.status != peer::ReadStatus::frame) {
    ADD_FAILURE() << "the extension got no frame while waiting for " << method;
    return nullptr;
  }
  const auto message = frame.json();
  EXPECT_TRUE(is_text(member(message, "method"), method)) << "expected " << method << ", got " << frame.body;
  EXPECT_TRUE(is_request_id(member(message, "id"))) << frame.body;
  EXPECT_EQ(member(message, "version"), 1) << frame.body;
  return message;
}

// The next frame to the extension is the release of the owner's lease.
void expect_release(InProcessHost& host, std::string_view method, std::string_view owner = "owner-1",
                    milliseconds timeout = 2s) {
  const auto message = next_request(host, method, timeout);
  if (message.is_null()) {
    return;
  }
  EXPECT_EQ(member(message, "params"),
            (json::object{{"ownerId", owner}, {"accountId", "account 1"}, {"profileId", profile_id}}));
}

void answer(InProcessHost& host, const json::value& request, json::value result = json::object{{"ok", true}}) {
  EXPECT_TRUE(host.send(json::object{{"version", 1}, {"id", member(request, "id")}, {"result", std::move(result)}}));
}

void answer_error(InProcessHost& host, const json::value& request) {
  EXPECT_TRUE(host.send(json::object{{"version", 1},
                                     {"id", member(request, "id")},
                                     {"error", json::object{{"code", "failed"}, {"message", "No."}}}}));
}

// Nothing readable on `fd` for `window`.
bool quiet(int fd, milliseconds window) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(window.count())) == 0;
}

// `client` takes the lease: its connect is forwarded and answered.
void take_lease(InProcessHost& host, peer::ClientSocket& client, std::string_view owner = "owner-1") {
  ASSERT_TRUE(client.send(client_request(host.secret(), "c-1", "browser.connect", connect_params(owner))));
  const auto forwarded = next_request(host, "browser.connect");
  answer(host, forwarded);
  const auto reply = client.read(2s);
  ASSERT_EQ(reply.status, peer::ReadStatus::frame);
  EXPECT_EQ(member(reply.json(), "id"), "c-1");
}

// Nobody holds the lease: another client's connect is forwarded, and is the
// next frame the extension reads.
void expect_profile_free(InProcessHost& host) {
  auto other = host.connect();
  ASSERT_TRUE(other.send(client_request(host.secret(), "other-1", "browser.connect", connect_params("owner-2"))));
  const auto forwarded = next_request(host, "browser.connect");
  EXPECT_EQ(member(member(forwarded, "params"), "ownerId"), "owner-2");
}

// --- The run as a whole -----------------------------------------------------

TEST(Serve, ReturnsWithNothingLeftOnItsLoop) {
  auto limits = quick();
  limits.lease = 30s;
  InProcessHost host(limits);
  ASSERT_NO_FATAL_FAILURE(host.start());
  auto owner = host.connect();
  ASSERT_NO_FATAL_FAILURE(take_lease(host, owner));
  host.close_in();
  const auto outcome = host.outcome(2s);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->has_value()) << outcome->error().text();
  // An embedder's io_context::run() returns with serve, not at the lease's end.
  EXPECT_TRUE(host.loop_ended(1s));
}

// --- Authentication limit ---------------------------------------------------

TEST(AuthLimit, SilentClientIsClosedAfterTheLimitWithNoBytes) {
  InProcessHost host(quick());
  ASSERT_NO_FATAL_FAILURE(host.start());
  const auto before = Steady::now();
  auto client = host.connect();
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(peer::wait_closed(client.fd(), 2s), peer::CloseStatus::closed);
  EXPECT_GE(Steady::now() - before, quick().auth);
}

TEST(AuthLimit, SilentClientsFillTheTableUntilTheTimerRemovesThem) {
  auto limits = quick();
  limits.auth = 500ms;
  InProcessHost host(limits);
  ASSERT_NO_FATAL_FAILURE(host.start());
  std::vector<peer::ClientSocket> silent;
  for (std::size_t i = 0; i < max_connections; ++i) {
    silent.push_back(host.connect());
  }
  // Refused, not admitted: an admitted client would have its request answered.
  auto refused = host.connect();
  refused.send(client_request(host.secret(), "q-17", "bridge.info"));  // may meet the close already
  EXPECT_EQ(peer::wait_closed(refused.fd(), 2s), peer::CloseStatus::closed);

  for (auto& client : silent) {
    EXPECT_EQ(peer::wait_closed(client.fd(), 2s), peer::CloseStatus::closed);
  }
  auto next = host.connect();
  ASSERT_TRUE(next.send(client_request(host.secret(), "q-18", "bridge.info")));
  const auto reply = next.read(2s);
  ASSERT_EQ(reply.status, peer::ReadStatus::frame);
  EXPECT_EQ(member(reply.json(), "id"), "q-18");
}

// --- Forwarded calls without an answer ----------------------------------------

struct UnansweredCall {
  const char* name;
  const char* method;
  const char* release;
};

void PrintTo(const UnansweredCall& c, std::ostream* os) { *os << c.method; }

class CallLimit : public ::testing::TestWithParam<UnansweredCall> {};

TEST_P(CallLimit, ClientGetsExtensionTimeoutThenTheLeaseIsReleased) {
  const auto& c = GetParam();
  auto limits = quick();
  limits.lease = 10s;
  InProcessHost host(limits);
  ASSERT_NO_FATAL_FAILURE(host.start());
  auto client = host.connect();
  const bool connect = std::string_view(c.method) == "browser.connect";
  if (!connect) {
    ASSERT_NO_FATAL_FAILURE(take_lease(host, client));
  }

  const json::value params = connect ? connect_params() : owner_params();
  const auto sent = Steady::now();
  ASSERT_TRUE(client.send(client_request(host.secret(), "c-7", c.method, params)));
  const auto forwarded = next_request(host, c.method);
  EXPECT_EQ(forwarded,
            (json::object{{"version", 1}, {"id", member(forwarded, "id")}, {"method", c.method}, {"params", params}}));

  const auto reply = client.read(2s);
  ASSERT_EQ(reply.status, peer::ReadStatus::frame);
  EXPECT_EQ(reply.body, extension_timeout("c-7"));
  EXPECT_GE(Steady::now() - sent, limits.call);
  expect_release(host, c.release);

  // A late answer is dropped: the client's next frame answers its next call.
  answer(host, forwarded, json::object{{"late", true}});
  ASSERT_TRUE(client.send(client_request(host.secret(), "c-8", "browser.connect", connect_params())));
  const auto again = next_request(host, "browser.connect");
  answer(host, again, json::object{{"late", false}});
  const auto next = client.read(2s);
  ASSERT_EQ(next.status, peer::ReadStatus::frame);
  EXPECT_EQ(next.json(), (json::object{{"version", 1}, {"id", "c-8"}, {"result", json::object{{"late", false}}}}));
}

INSTANTIATE_TEST_SUITE_P(EveryBrowserMethod, CallLimit,
                         ::testing::Values(UnansweredCall{"Connect", "browser.connect", "browser.suspend"},
                                           UnansweredCall{"Renew", "browser.renew", "browser.suspend"},
                                           UnansweredCall{"Suspend", "browser.suspend", "browser.suspend"},
                                           UnansweredCall{"Disconnect", "browser.disconnect", "browser.disconnect"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Lease ----------------------------------------------------------------------

TEST(Lease, RenewLateInTheLeaseRestartsItFromThatForward) {
  auto limits = quick();
  limits.lease = 800ms;
  limits.call = 5s;
  InProcessHost host(limits);
  ASSERT_NO_FATAL_FAILURE(host.start());
  auto owner = host.connect();
  ASSERT_TRUE(owner.send(client_request(host.secret(), "c-1", "browser.connect", connect_params())));
  const auto connect = next_request(host, "browser.connect");
  const auto connected = Steady::now();  // the lease began no later than this
  answer(host, connect);
  ASSERT_EQ(owner.read(2s).status, peer::ReadStatus::frame);

  std::this_thread::sleep_until(connected + limits.lease / 2);
  const auto renew_sent = Steady::now();
  ASSERT_TRUE(owner.send(client_request(host.secret(), "r-1", "browser.renew", owner_params())));
  const auto renew = next_request(host, "browser.renew");
  const auto renewed = Steady::now();
  answer(host, renew);
  ASSERT_EQ(owner.read(2s).status, peer::ReadStatus::frame);

  // Past the first expiry the owner still holds the profile.
  std::this_thread::sleep_until(connected + limits.lease + 100ms);
  EXPECT_TRUE(quiet(host.out(), 0ms));
  auto other = host.connect();
  ASSERT_TRUE(other.send(client_request(host.secret(), "o-1", "browser.connect", connect_params("owner-2"))));
  const auto busy = other.read(2s);
  ASSERT_EQ(busy.status, peer::ReadStatus::frame);
  EXPECT_EQ(member(member(busy.json(), "error"), "code"), "browser_busy");

  // Released a lease after the renew, not a lease after the first expiry.
  expect_release(host, "browser.suspend");
  const auto released = Steady::now();
  EXPECT_GE(released - renew_sent, limits.lease);
  EXPECT_LT(released - renewed, limits.lease + limits.lease / 4);
}

TEST(Lease, ExpiryReleasesThenClosesTheOwnerWhoseCallGoesToNobody) {
  auto limits = quick();
  limits.lease = 400ms;
  limits.call = 700ms;
  InProcessHost host(limits);
  ASSERT_NO_FATAL_FAILURE(host.start());
  auto owner = host.connect();
  const auto before = Steady::now();
  ASSERT_NO_FATAL_FAILURE(take_lease(host, owner));
  ASSERT_TRUE(owner.send(client_request(host.secret(), "s-1", "browser.suspend", owner_params())));
  next_request(host, "browser.suspend");
  const auto suspended = Steady::now();

  expect_release(host, "browser.suspend");
  EXPECT_GE(Steady::now() - before, limits.lease);
  EXPECT_EQ(peer::wait_closed(owner.fd(), 2s), peer::CloseStatus::closed);

  // The suspend's time-out finds neither the connection nor an owner.
  std::this_thread::sleep_until(suspended + limits.call);
  EXPECT_TRUE(quiet(host.out(), 300ms));
  expect_profile_free(host);
}

TEST(Lease, OwnerLeavingWithACallPendingDropsTheCall) {
  auto limits = quick();
  limits.lease = 10s;
  InProcessHost host(limits);
  ASSERT_NO_FATAL_FAILURE(host.start());
  auto owner = host.connect();
  ASSERT_NO_FATAL_FAILURE(take_lease(host, owner));
  ASSERT_TRUE(owner.send(client_request(host.secret(), "r-1", "browser.renew", owner_params())));
  const auto renew = next_request(host, "browser.renew");
  const auto renewed = Steady::now();

  owner.shutdown_send();
  expect_release(host, "browser.suspend");
  // Closed with nothing written: kept open, it would get the time-out's reply.
  EXPECT_EQ(peer::wait_closed(owner.fd(), 2s), peer::CloseStatus::closed);
  std::this_thread::sleep_until(renewed + limits.call);
  EXPECT_TRUE(quiet(host.out(), 200ms));

  // An error answer to the dropped call would release again if it matched.
  answer_error(host, renew);
  expect_profile_free(host);
}

// --- Two release-causing events ----------------------------------------------

// A lease held by `owner`, and the call it has outstanding, if any.
struct Scene {
  InProcessHost& host;
  peer::ClientSocket& owner;
  json::value pending;

  void forward(std::string_view method) {
    ASSERT_TRUE(owner.send(client_request(host.secret(), "p-1", method, owner_params())));
    pending = next_request(host, method);
  }
  void expect_owner_reply(std::string_view code) {
    const auto reply = owner.read(2s);
    ASSERT_EQ(reply.status, peer::ReadStatus::frame);
    EXPECT_TRUE(is_text(member(member(reply.json(), "error"), "code"), code)) << reply.body;
  }
};

struct TwoEvents {
  const char* name;
  Limits limits;
  std::function<void(Scene&)> first;   // ends with the release due
  std::function<void(Scene&)> second;  // would release again if the first had not taken the owner out
};

void PrintTo(const TwoEvents& c, std::ostream* os) { *os << c.name; }

class SecondRelease : public ::testing::TestWithParam<TwoEvents> {};

TEST_P(SecondRelease, NeverHappens) {
  const auto& c = GetParam();
  InProcessHost host(c.limits);
  ASSERT_NO_FATAL_FAILURE(host.start());
  auto owner = host.connect();
  ASSERT_NO_FATAL_FAILURE(take_lease(host, owner));
  Scene scene{host, owner, nullptr};
  ASSERT_NO_FATAL_FAILURE(c.first(scene));
  expect_release(host, "browser.suspend");
  ASSERT_NO_FATAL_FAILURE(c.second(scene));
  EXPECT_TRUE(quiet(host.out(), 200ms));
  expect_profile_free(host);
}

Limits with(milliseconds call, milliseconds lease) {
  auto limits = quick();
  limits.call = call;
  limits.lease = lease;
  return limits;
}

const TwoEvents two_events[] = {
    {"CallTimeOutThenOwnerCloses", with(300ms, 10s),
     [](Scene& s) {
       s.forward("browser.renew");
       s.expect_owner_reply("extension_timeout");
     },
     [](Scene& s) { s.owner.close(); }},
    {"CallTimeOutThenTheLeaseRunsOut", with(300ms, 700ms),
     [](Scene& s) {
       s.forward("browser.suspend");
       s.expect_owner_reply("extension_timeout");
     },
     [](Scene&) { std::this_thread::sleep_for(700ms); }},
    {"ErrorAnswerThenOwnerCloses", with(10s, 10s),
     [](Scene& s) {
       s.forward("browser.renew");
       answer_error(s.host, s.pending);
       s.expect_owner_reply("failed");
     },
     [](Scene& s) { s.owner.close(); }},
    {"ExpiryThenAnErrorAnswerToThePendingCall", with(10s, 400ms), [](Scene& s) { s.forward("browser.suspend"); },
     [](Scene& s) { answer_error(s.host, s.pending); }},
    {"UnauthorizedThenAnErrorAnswerToThePendingCall", with(10s, 10s),
     [](Scene& s) {
       s.forward("browser.renew");
       ASSERT_TRUE(s.owner.send(client_request("wrong secret", "p-2", "bridge.info")));
       s.expect_owner_reply("unauthorized");
     },
     [](Scene& s) { answer_error(s.host, s.pending); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, SecondRelease, ::testing::ValuesIn(two_events),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Writes that do not complete ----------------------------------------------

TEST(SendLimit, ExtensionNotReadingEndsServeWithTimedOut) {
  InProcessHost host(quick());
  ASSERT_NO_FATAL_FAILURE(host.start());
  // Forwarded connects near the frame limit, until one no longer fits in the
  // pipe nobody reads; each earlier one times out and is answered meanwhile.
  json::value params = connect_params();
  params.as_object()["padding"] = std::string(60000, 'p');
  const int capacity = ::fcntl(host.out(), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  auto client = host.connect();
  for (int i = 0; i <= capacity / 60000 + 1; ++i) {
    ASSERT_TRUE(client.send(client_request(host.secret(), "c-" + std::to_string(i), "browser.connect", params)));
    const auto reply = client.read(2s);
    if (reply.status != peer::ReadStatus::frame) {
      break;
    }
    EXPECT_EQ(reply.body, extension_timeout("c-" + std::to_string(i)));
  }
  const auto outcome = host.outcome(2s);
  ASSERT_TRUE(outcome.has_value());
  ASSERT_FALSE(outcome->has_value());
  EXPECT_EQ(outcome->error().text(), "timed out");
  // Torn down: the client closed, the discovery file gone.
  EXPECT_EQ(peer::wait_closed(client.fd(), 1s), peer::CloseStatus::closed);
  EXPECT_FALSE(host.discovery_file_present());
}

// A client socket that keeps little of what it is sent, so the host's
// replies back up soon.
class SmallClient {
 public:
  explicit SmallClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int small = 4096;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("connect failed");
    }
  }
  ~SmallClient() { ::close(fd_); }
  SmallClient(const SmallClient&) = delete;
  SmallClient& operator=(const SmallClient&) = delete;
  [[nodiscard]] int fd() const { return fd_; }

  // Sends `frame` over and over without reading, until the host stops taking
  // them for `stalled` or drops the connection.
  void flood(const std::string& frame, milliseconds stalled) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    const auto deadline = Steady::now() + 5s;
    std::size_t offset = 0;
    while (Steady::now() < deadline) {
      const ssize_t n = ::send(fd_, frame.data() + offset, frame.size() - offset, MSG_NOSIGNAL);
      if (n > 0) {
        offset = (offset + static_cast<std::size_t>(n)) % frame.size();
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(stalled.count())) == 0 || (p.revents & (POLLERR | POLLHUP)) != 0) {
          return;
        }
      } else if (n < 0 && errno != EINTR) {
        return;
      }
    }
  }

  // Reads and discards until the host closes the connection.
  peer::CloseStatus drain(milliseconds timeout) {
    const auto deadline = Steady::now() + timeout;
    char buffer[65536];
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Steady::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
        return peer::CloseStatus::timeout;
      }
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        return peer::CloseStatus::closed;
      }
    }
  }

 private:
  int fd_;
};

TEST(ReplyLimit, ReplyAbandonedPartWayClosesThatClientOnly) {
  auto limits = quick();
  limits.lease = 60s;  // only the broken reply may end the lease
  InProcessHost host(limits);
  ASSERT_NO_FATAL_FAILURE(host.start());
  auto other = host.connect();
  ASSERT_TRUE(other.send(client_request(host.secret(), "o-1", "bridge.info")));
  ASSERT_EQ(other.read(2s).status, peer::ReadStatus::frame);

  SmallClient stuck(host.port());
  ASSERT_TRUE(peer::write_json(stuck.fd(), client_request(host.secret(), "c-1", "browser.connect", connect_params())));
  const auto connect = next_request(host, "browser.connect");
  answer(host, connect);
  ASSERT_EQ(peer::read_frame(stuck.fd(), 2s).status, peer::ReadStatus::frame);

  // Requests with the longest ids allowed, none of their replies read.
  const std::string request =
      peer::frame_bytes(to_json_text(client_request(host.secret(), std::string(128, 'i'), "bridge.info")));
  stuck.flood(request, 500ms);

  // The reply that broke off closed the connection as its client closing would.
  expect_release(host, "browser.suspend", "owner-1", 3s);
  EXPECT_EQ(stuck.drain(3s), peer::CloseStatus::closed);
  ASSERT_TRUE(other.send(client_request(host.secret(), "o-2", "bridge.info")));
  const auto reply = other.read(2s);
  ASSERT_EQ(reply.status, peer::ReadStatus::frame);
  EXPECT_EQ(member(reply.json(), "id"), "o-2");
}

}  // namespace
}  // namespace kelvarin::testing
