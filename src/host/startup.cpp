#include "host/startup.hpp"

#include "core/discovery.hpp"
#include "core/envelope.hpp"
#include "core/frame.hpp"
#include "core/host_info.hpp"
#include "core/identity.hpp"
#include "core/text_rules.hpp"
#include "core/trusted_extensions.hpp"
#include "host/connection.hpp"
#include "host/readers.hpp"
#include "host/serve_loop.hpp"
#include "rules/bridge_state.hpp"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include <array>

#include <fcntl.h>
#include <unistd.h>

namespace kelvarin {

namespace {

using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

constexpr std::size_t max_metadata_bytes = 128;

bool hello_valid(const json::value& hello) {
  if (!request_valid(hello) || !is_text(member(hello, "method"), "bridge.hello")) {
    return false;
  }
  const auto* profile = member(member(hello, "params"), "profileId").if_string();
  return profile != nullptr && valid_id(*profile);
}

void set_cloexec(int fd) { ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC); }

Result<tcp::acceptor> bind_listener(const asio::any_io_executor& executor) {
  tcp::acceptor listener(executor);
  boost::system::error_code ec;
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  listener.open(endpoint.protocol(), ec);
  if (!ec) {
    set_cloexec(listener.native_handle());
    listener.set_option(tcp::acceptor::reuse_address(true), ec);
  }
  if (!ec) {
    listener.bind(endpoint, ec);
  }
  if (!ec) {
    listener.listen(asio::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    return std::unexpected(system_error(ec));
  }
  return listener;
}

// A private duplicate of a standard descriptor, or -1 when it is not open
// (every operation on it then fails as on a closed descriptor).
int take_descriptor(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 3); }

// Points `fd` at `source`, or at /dev/null when `source` is not open.
void redirect(int fd, int source) {
  if (::dup2(source, fd) < 0) {
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

}  // namespace

Result<std::string> bridge_metadata(const json::value& hello, std::string_view key) {
  const auto* value = member(member(hello, "params"), key).if_string();
  if (value == nullptr || !valid_text(*value, max_metadata_bytes)) {
    return std::unexpected(invalid("Invalid bridge metadata."));
  }
  return std::string(*value);
}

asio::awaitable<Status> serve(std::unique_ptr<StdioStream> input, std::unique_ptr<StdioStream> output,
                              std::string dir, Limits limits) {
  const auto executor = co_await asio::this_coro::executor;

  // 1. The hello, within its limit. Losing a half-read hello to the timer is
  // harmless: the process ends either way.
  asio::steady_timer hello_timer(executor, limits.hello);
  auto first = co_await (read_frame(*input) || hello_timer.async_wait(asio::as_tuple(asio::use_awaitable)));
  if (first.index() == 1) {
    co_return std::unexpected(error_of(ErrorKind::TimedOut));
  }
  auto frame = std::move(std::get<0>(first));
  if (!frame) {
    co_return std::unexpected(std::move(frame.error()));
  }
  if (!*frame) {
    co_return std::unexpected(invalid("Missing bridge hello."));
  }
  const json::value hello = std::move(**frame);

  // 2. Validation.
  if (!hello_valid(hello)) {
    co_return std::unexpected(invalid("Invalid bridge hello."));
  }

  // 3-9. Listener, identity, metadata.
  auto listener = bind_listener(executor);
  if (!listener) {
    co_return std::unexpected(std::move(listener.error()));
  }
  Bridge bridge;
  bridge.info.host_id = uuid_text();
  for (auto [key, field] : {std::pair{"profileId", &bridge.info.profile_id},
                            std::pair{"browserName", &bridge.info.browser_name},
                            std::pair{"extensionVersion", &bridge.info.extension_version}}) {
    auto value = bridge_metadata(hello, key);
    if (!value) {
      co_return std::unexpected(std::move(value.error()));
    }
    *field = std::move(*value);
  }
  boost::system::error_code ec;
  const auto local = listener->local_endpoint(ec);
  if (ec) {
    co_return std::unexpected(system_error(ec));
  }
  bridge.port = local.port();
  bridge.secret = uuid_text();

  // 10. Publication, on stable storage before anything is answered.
  auto file = write_discovery_file(dir, bridge);
  if (!file) {
    co_return std::unexpected(std::move(file.error()));
  }

  // 11. The hello reply, without a time limit.
  if (auto status = co_await write_frame(*output, response(member(hello, "id"), to_json(bridge.info))); !status) {
    co_return status;
  }

  // 12-14. The queue, the extension's reader and the loop state.
  auto queue = std::make_unique<EventQueue>(executor, event_queue_capacity);
  ReaderTask native = start_native_reader(std::move(input), *queue);
  BridgeState state{.info = bridge.info,
                    .secret = bridge.secret,
                    .limits = limits,
                    .pending = {},
                    .owner = std::nullopt,
                    .connections = {},
                    .next_connection_id = 0,
                    .make_request_id = uuid_text};
  Connections connections;

  // 15. The serve loop.
  auto outcome = co_await serve_loop(LoopState{state, connections, *listener, *queue, *output});

  // 16. Teardown, in this order; nobody is sent anything.
  native.abort();
  state.owner.reset();
  state.pending.clear();
  connections.clear();
  state.connections.clear();
  // Let the aborted readers unwind before their queue goes.
  co_await asio::post(executor, asio::use_awaitable);
  queue.reset();
  *file = DiscoveryFile{};  // removes the file, then closes it
  listener->close(ec);
  co_return outcome;
}

asio::awaitable<Status> run_host(std::string_view origin) {
  if (!trusted_origin(origin)) {
    co_return std::unexpected(Error{.kind = ErrorKind::PermissionDenied,
                                    .message = "Untrusted extension origin.",
                                    .os_error = 0});
  }
  // The protocol runs on private duplicates; the standard descriptors point
  // elsewhere, so a stray write from anywhere cannot corrupt a frame.
  const int in = take_descriptor(STDIN_FILENO);
  const int out = take_descriptor(STDOUT_FILENO);
  redirect(STDOUT_FILENO, STDERR_FILENO);
  redirect(STDIN_FILENO, -1);

  const auto executor = co_await asio::this_coro::executor;
  auto input = std::make_unique<StdioStream>(executor, in);
  auto output = std::make_unique<StdioStream>(executor, out);
  auto dir = discovery_dir();
  if (!dir) {
    co_return std::unexpected(std::move(dir.error()));
  }
  co_return co_await serve(std::move(input), std::move(output), std::move(*dir));
}

}  // namespace kelvarin
