#include "host/serve_loop.hpp"

#include "host/outbound.hpp"
#include "rules/dispatch.hpp"
#include "rules/forward.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <functional>
#include <random>

#include <fcntl.h>

namespace kelvarin {

namespace {

using asio::ip::tcp;

// The results of the accept and the receive that stay armed across turns, so
// a source that loses a turn keeps what it has: nothing completed is dropped.
// Their handlers own this, so they may complete after the loop has ended.
struct Inbox {
  explicit Inbox(const asio::any_io_executor& executor) : deadline(executor) {}

  // Resumes the loop if it is waiting for something to become ready.
  void wake() {
    if (waiter) {
      auto resume = std::move(waiter);
      waiter = nullptr;
      resume();
    }
  }

  std::move_only_function<void()> waiter;
  // Set only for the earliest tracked deadline, and only when that changes,
  // so a busy loop does not re-arm the system timer every turn.
  asio::steady_timer deadline;
  std::optional<Instant> armed;
  bool accepting = false;
  std::optional<std::pair<boost::system::error_code, tcp::socket>> accepted;
  bool receiving = false;
  std::optional<std::pair<boost::system::error_code, Event>> received;
};

void arm(const std::shared_ptr<Inbox>& inbox, LoopState& loop) {
  if (!inbox->accepting && !inbox->accepted) {
    inbox->accepting = true;
    loop.listener.async_accept([inbox](boost::system::error_code ec, tcp::socket socket) {
      inbox->accepting = false;
      inbox->accepted.emplace(ec, std::move(socket));
      inbox->wake();
    });
  }
  if (!inbox->receiving && !inbox->received) {
    inbox->receiving = true;
    loop.queue.async_receive([inbox](boost::system::error_code ec, Event event) {
      inbox->receiving = false;
      inbox->received.emplace(ec, std::move(event));
      inbox->wake();
    });
  }
}

// Errors after which the listener is still good: the peer gave up before
// its connection was taken, or the call was interrupted.
bool transient_accept_error(const boost::system::error_code& ec) {
  return ec == asio::error::connection_aborted || ec == asio::error::interrupted ||
         ec == asio::error::would_block || ec == asio::error::try_again;
}

void accept_connection(LoopState& loop, tcp::socket socket) {
  boost::system::error_code ec;
  const auto peer = socket.remote_endpoint(ec);
  if (ec || !loopback_peer(peer.address())) {
    return;  // closed at once, nothing written, no id used
  }
  const auto id = admit_connection(loop.bridge, Clock::now());
  if (!id) {
    return;
  }
  // Prefix and body go out in one write, but replies must not wait for
  // acknowledgements either; and the host never runs another program.
  socket.set_option(tcp::no_delay(true), ec);
  ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
  auto shared = std::make_shared<tcp::socket>(std::move(socket));
  auto reader = start_connection_reader(shared, loop.queue, *id);
  loop.connections.try_emplace(*id, std::move(shared), std::move(reader));
}

// Performs the actions in order; the first failed write to the extension
// ends it with that error.
asio::awaitable<Status> perform(LoopState& loop, Actions& actions) {
  for (auto& action : actions) {
    if (auto* r = std::get_if<Reply>(&action)) {
      co_await reply(loop.connections, r->id, r->message, loop.bridge.limits.reply);
    } else if (auto* s = std::get_if<SendNative>(&action)) {
      if (auto status = co_await send_native(loop.out, s->message, loop.bridge.limits.send_native); !status) {
        co_return status;
      }
    } else {
      loop.connections.erase(std::get<CloseConnection>(action).id);
    }
  }
  co_return Status{};
}

// A connection whose reply broke off part-way is closed as if its client had
// closed it: its stream can carry nothing more.
asio::awaitable<Status> close_broken(LoopState& loop) {
  for (;;) {
    Actions actions;
    for (const auto& [id, connection] : loop.connections) {
      if (connection.broken) {
        close_connection(loop.bridge, actions, id);
        break;
      }
    }
    if (actions.empty()) {
      co_return Status{};
    }
    if (auto status = co_await perform(loop, actions); !status) {
      co_return status;
    }
  }
}

void arm_deadline(const std::shared_ptr<Inbox>& inbox, std::optional<Instant> wakeup) {
  if (wakeup == inbox->armed) {
    return;
  }
  inbox->armed = wakeup;
  if (!wakeup) {
    inbox->deadline.cancel();
    return;
  }
  inbox->deadline.expires_at(*wakeup);  // cancels the wait for the old instant
  inbox->deadline.async_wait([inbox](boost::system::error_code ec) {
    if (!ec) {
      inbox->armed.reset();
      inbox->wake();
    }
  });
}

// Suspends the loop until an accept or a receive completes or the deadline
// timer fires; the caller checks which.
auto until_woken(const std::shared_ptr<Inbox>& inbox) {
  return asio::async_initiate<decltype(asio::use_awaitable), void()>(
      [inbox](auto handler) {
        inbox->waiter = [h = std::move(handler)]() mutable { asio::dispatch(std::move(h)); };
      },
      asio::use_awaitable);
}

enum class Source { accept, event, timer };

}  // namespace

bool loopback_peer(const asio::ip::address& address) {
  if (address.is_v4()) {
    return address.to_v4().to_bytes()[0] == 127;
  }
  return address.is_v6() && address.to_v6() == asio::ip::address_v6::loopback();
}

asio::awaitable<Status> serve_loop(LoopState loop) {
  auto inbox = std::make_shared<Inbox>(co_await asio::this_coro::executor);
  // Nothing of the loop may outlive it on the event loop: the deadline timer
  // would otherwise keep an embedder's run() going until the lease's end.
  struct Disarm {
    Inbox& inbox;
    ~Disarm() { inbox.deadline.cancel(); }
  } disarm{*inbox};
  std::minstd_rand random(std::random_device{}());
  std::uniform_int_distribution<int> pick_start(0, 2);

  for (;;) {
    arm(inbox, loop);
    const auto wakeup = next_wakeup(loop.bridge);
    const auto timer_due = [&] { return wakeup && Clock::now() >= *wakeup; };
    while (!inbox->accepted && !inbox->received && !timer_due()) {
      arm_deadline(inbox, wakeup);
      co_await until_woken(inbox);
    }

    const bool ready[3] = {inbox->accepted.has_value(), inbox->received.has_value(), timer_due()};
    const int start = pick_start(random);
    Source source = Source::accept;
    for (int i = 0; i < 3; ++i) {
      const int candidate = (start + i) % 3;
      if (ready[candidate]) {
        source = static_cast<Source>(candidate);
        break;
      }
    }

    Actions actions;
    switch (source) {
      case Source::accept: {
        auto [ec, socket] = std::move(*inbox->accepted);
        inbox->accepted.reset();
        if (ec) {
          if (transient_accept_error(ec)) {
            continue;
          }
          co_return std::unexpected(system_error(ec));
        }
        accept_connection(loop, std::move(socket));
        continue;
      }
      case Source::event: {
        auto [ec, event] = std::move(*inbox->received);
        inbox->received.reset();
        if (ec) {
          co_return Status{};  // the queue is closed
        }
        if (auto* native = std::get_if<Native>(&event)) {
          complete_call(loop.bridge, actions, std::move(native->message));
        } else if (auto* closed = std::get_if<NativeClosed>(&event)) {
          if (closed->error) {
            co_return std::unexpected(std::move(*closed->error));
          }
          co_return Status{};
        } else if (auto* client = std::get_if<Client>(&event)) {
          dispatch_client(loop.bridge, actions, client->id, std::move(client->message), Clock::now());
        } else {
          close_connection(loop.bridge, actions, std::get<ClientClosed>(event).id);
        }
        break;
      }
      case Source::timer:
        sweep_expired(loop.bridge, actions, Clock::now());
        break;
    }
    if (auto status = co_await perform(loop, actions); !status) {
      co_return status;
    }
    if (auto status = co_await close_broken(loop); !status) {
      co_return status;
    }
  }
}

}  // namespace kelvarin
