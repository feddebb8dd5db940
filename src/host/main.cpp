// kelvarin-browser-host: the native-messaging host a browser starts for a
// trusted extension. The first argument is the extension's origin.

#include "host/startup.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include <unistd.h>

namespace {

// Ends the process at once: neither the event loop nor a read still blocked
// on standard input is waited for.
[[noreturn]] void finish(const kelvarin::Status& outcome) {
  if (!outcome) {
    const std::string line = "[kelvarin-browser-host] " + outcome.error().text() + "\n";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, line.data(), line.size());
    ::_exit(1);
  }
  ::_exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe or socket, or a file-size limit hit while writing the
  // discovery file, must be an ordinary write error, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Frames of up to 64 KiB come and go all the time; keep the heap's top
  // instead of handing it back to the system and faulting it in again.
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  const std::string origin = argc > 1 ? argv[1] : "";
  try {
    boost::asio::io_context loop(1);
    boost::asio::co_spawn(
        loop, [&]() -> boost::asio::awaitable<void> { finish(co_await kelvarin::run_host(origin)); },
        boost::asio::detached);
    loop.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[kelvarin-browser-host] Failed building the Runtime: %s\n", e.what());
  }
  return 1;
}
