// kelvarin-bench: the end-to-end benchmark. It runs a host command and the
// relay (the floor) in turn, A B A B, plays the extension on a thread of its
// own and the clients on this one, and reports each metric as the median over
// the rounds together with the ratio host / relay. Ratios taken within one
// run are what to compare: absolute figures move with the machine's load.
//
// Usage: kelvarin-bench --host CMD --relay CMD [--rounds N] [--quick]
//        [--phase-ms N] [--starts N]   (to change the counts; after --quick)

#include "core/trusted_extensions.hpp"
#include "testing/peer.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using namespace kelvarin;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string trusted_origin = kelvarin::first_trusted_origin();
constexpr std::size_t client_count = 16;  // the host's connection limit
constexpr std::size_t large_padding = 60 * 1024;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---------------------------------------------------------------- plan

struct Target {
  std::string name;               // "host" or "relay"
  std::vector<std::string> argv;  // the command, split at spaces
};

struct Plan {
  int rounds = 3;
  int starts = 50;               // start-ups per target and round
  Clock::duration phase = 1500ms;  // each load phase, after its warm-up
  int warmup = 300;              // round trips before a phase is timed
};

// ---------------------------------------------------------------- frames

std::string frame_of(std::string_view body) {
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) {
    frame[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
  }
  frame.append(body);
  return frame;
}

// Whole frames from a blocking descriptor, in as few reads as the peer's
// writes allow. A view stays valid until the next call.
class FrameReader {
 public:
  explicit FrameReader(int fd) : fd_(fd), data_(std::make_unique_for_overwrite<char[]>(capacity)) {}

  // Blocks for the next body; nothing at end of stream or on an error.
  std::optional<std::string_view> next() {
    for (;;) {
      if (auto body = take()) {
        return body;
      }
      if (!fill()) {
        return std::nullopt;
      }
    }
  }

  // A body already read in, if there is a whole one.
  std::optional<std::string_view> take() {
    if (end_ - begin_ < 4) {
      return std::nullopt;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data_.get() + begin_);
    const std::size_t length = p[0] | p[1] << 8 | p[2] << 16 | std::size_t{p[3]} << 24;
    if (length > max_body) {
      throw Failure("a frame of " + std::to_string(length) + " bytes");
    }
    if (end_ - begin_ < 4 + length) {
      return std::nullopt;
    }
    std::string_view body(data_.get() + begin_ + 4, length);
    begin_ += 4 + length;
    return body;
  }

  // One read; false at end of stream or on an error.
  bool fill() {
    if (begin_ == end_) {
      begin_ = end_ = 0;
    } else if (capacity - end_ < 4 + max_body) {
      std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    for (;;) {
      const ssize_t n = ::read(fd_, data_.get() + end_, capacity - end_);
      if (n > 0) {
        end_ += static_cast<std::size_t>(n);
        return true;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
  }

 private:
  static constexpr std::size_t max_body = 65536;
  static constexpr std::size_t capacity = 2 * (4 + max_body);
  int fd_;
  std::unique_ptr<char[]> data_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Writes every byte; false once the peer has gone.
bool put(int fd, std::string_view bytes, bool socket) {
  while (!bytes.empty()) {
    const ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                             : ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool succeeded(std::string_view reply) { return reply.find("\"result\":") != std::string_view::npos; }

// The string "id" of a request. The host's requests and the clients' frames
// are written with sorted keys, so it is found at the front.
std::optional<std::string_view> request_id(std::string_view body) {
  constexpr std::string_view key = "\"id\":\"";
  const auto at = body.find(key);
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  const auto start = at + key.size();
  const auto stop = body.find('"', start);
  if (stop == std::string_view::npos) {
    return std::nullopt;
  }
  return body.substr(start, stop - start);
}

// ---------------------------------------------------------------- processes

int pidfd_open(pid_t pid) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    throw Failure("pidfd_open: " + std::string(std::strerror(errno)));
  }
  return fd;
}

void pidfd_kill(int pidfd) { ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0); }

// Kills the process if the session has not ended in time, so that every
// blocking read in the driver ends and the run fails instead of hanging.
class Watchdog {
 public:
  Watchdog(int pidfd, Clock::duration limit)
      : thread_([this, pidfd, limit] {
          std::unique_lock lock(mutex_);
          if (!wake_.wait_for(lock, limit, [this] { return done_; })) {
            fired_ = true;
            pidfd_kill(pidfd);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  [[nodiscard]] bool fired() {
    std::lock_guard lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

class Pidfd {
 public:
  explicit Pidfd(pid_t pid) : fd_(pidfd_open(pid)) {}
  ~Pidfd() { ::close(fd_); }
  Pidfd(const Pidfd&) = delete;
  Pidfd& operator=(const Pidfd&) = delete;
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_;
};

std::unique_ptr<peer::HostProcess> spawn(const Target& target, const std::string& home) {
  peer::HostProcess::Options options;
  options.binary = target.argv.front();
  options.args.assign(target.argv.begin() + 1, target.argv.end());
  options.args.emplace_back(trusted_origin);
  options.env = {{"HOME", home}};
  return std::make_unique<peer::HostProcess>(options);
}

const std::string& hello_frame() {
  static const std::string frame = frame_of(
      R"({"id":"hello-1","method":"bridge.hello",)"
      R"("params":{"browserName":"Chromium","extensionVersion":"1.0.0","profileId":"Default"},"version":1})");
  return frame;
}

// Sends the hello and waits for its reply; gives back the reply's body.
std::string greet(const Target& target, peer::HostProcess& process) {
  if (!put(process.in(), hello_frame(), false)) {
    throw Failure(target.name + ": cannot write the hello");
  }
  auto reply = peer::read_frame(process.out(), 5s);
  if (reply.status != peer::ReadStatus::frame || !succeeded(reply.body)) {
    throw Failure(target.name + ": no hello reply; standard error: " + process.err());
  }
  return std::move(reply.body);
}

// Waits for the process to end after its input was closed at `closed`;
// gives back the time it took.
double wait_end(const Target& target, peer::HostProcess& process, const Pidfd& pidfd, Clock::time_point closed) {
  pollfd p{pidfd.fd(), POLLIN, 0};
  int rc;
  while ((rc = ::poll(&p, 1, 5000)) < 0 && errno == EINTR) {
  }
  const auto ended = Clock::now();
  if (rc == 0) {
    throw Failure(target.name + ": still running 5 s after its input closed");
  }
  const auto status = process.wait_exit(1s);
  if (status != 0) {
    throw Failure(target.name + ": exit status " + (status ? std::to_string(*status) : "unknown") +
                  "; standard error: " + process.err());
  }
  return micros(ended - closed);
}

// The process's CPU time, every thread's user and system time together.
class CpuClock {
 public:
  explicit CpuClock(pid_t pid) : pid_(pid) {
    if (::clock_getcpuclockid(pid, &clock_) != 0) {
      clock_valid_ = false;
    }
  }
  [[nodiscard]] double ns() const {
    timespec t{};
    if (clock_valid_ && ::clock_gettime(clock_, &t) == 0) {
      return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
    }
    // utime and stime, fields 14 and 15, counted from after the command name.
    std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i >= 14) {
        ticks += std::stod(field);
      }
    }
    return ticks * 1e9 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

 private:
  pid_t pid_;
  clockid_t clock_{};
  bool clock_valid_ = true;
};

double peak_resident_kib(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.starts_with("VmHWM:")) {
      return std::stod(line.substr(6));
    }
  }
  return 0;
}

// ---------------------------------------------------------------- the extension

// Answers every request from the host at once with an empty result under the
// request's own id. For the relay that request is the client's own frame.
class Extension {
 public:
  Extension(int from_host, int to_host) : from_host_(from_host), to_host_(to_host) {
    thread_ = std::thread([this] { run(); });
  }
  ~Extension() { join(); }
  Extension(const Extension&) = delete;
  Extension& operator=(const Extension&) = delete;

  // Closes the host's input, never while an answer is being written to it.
  void close_input(peer::HostProcess& process) {
    std::lock_guard lock(mutex_);
    closed_ = true;
    process.close_in();
  }

  // Returns once the host's output has ended.
  void join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  [[nodiscard]] std::uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }

 private:
  void run() {
    try {
      answer_all();
    } catch (const Failure&) {
      // A frame the host should never write: stop answering; the stalled
      // client is then ended by the watchdog and the run fails.
    }
  }

  void answer_all() {
    FrameReader reader(from_host_);
    std::string answer;
    answer.reserve(128);
    while (auto body = reader.next()) {
      const auto id = request_id(*body);
      if (!id) {
        continue;
      }
      answer.assign(4, '\0');
      answer += R"({"id":")";
      answer += *id;
      answer += R"(","result":{},"version":1})";
      const std::size_t length = answer.size() - 4;
      for (int i = 0; i < 4; ++i) {
        answer[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
      }
      std::lock_guard lock(mutex_);
      if (!closed_) {
        put(to_host_, answer, false);
      }
      answered_.fetch_add(1, std::memory_order_relaxed);
    }
  }

  int from_host_;
  int to_host_;
  std::mutex mutex_;
  bool closed_ = false;
  std::atomic<std::uint64_t> answered_{0};
  std::thread thread_;
};

// ---------------------------------------------------------------- measurements

using Metrics = std::map<std::string, double>;

// Nearest rank in samples sorted in ascending order.
double percentile(const std::vector<double>& samples, double q) {
  if (samples.empty()) {
    return 0;
  }
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

struct Client {
  explicit Client(std::uint16_t port) : socket(port), reader(socket.fd()) {}
  peer::ClientSocket socket;
  FrameReader reader;
};

struct Phase {
  std::vector<double> latencies_us;
  double elapsed_s = 0;
  double cpu_ns = 0;
  [[nodiscard]] double rate() const { return static_cast<double>(latencies_us.size()) / elapsed_s; }
  [[nodiscard]] double cpu_per_request_us() const {
    return cpu_ns / 1000 / static_cast<double>(latencies_us.size());
  }
};

// One request at a time on one client, each sent as soon as the last reply
// arrived: `plan.warmup` untimed, then as many as fit in `plan.phase`.
Phase back_to_back(const std::string& what, Client& client, std::string_view frame, const Plan& plan,
                   const CpuClock& cpu) {
  auto round_trip = [&] {
    const auto sent = Clock::now();
    if (!put(client.socket.fd(), frame, true)) {
      throw Failure(what + ": the connection closed");
    }
    const auto reply = client.reader.next();
    const auto received = Clock::now();
    if (!reply) {
      throw Failure(what + ": the connection closed");
    }
    if (!succeeded(*reply)) {
      throw Failure(what + ": " + std::string(reply->substr(0, 200)));
    }
    return micros(received - sent);
  };
  for (int i = 0; i < plan.warmup; ++i) {
    round_trip();
  }
  Phase phase;
  phase.latencies_us.reserve(200000);
  const double cpu_before = cpu.ns();
  const auto start = Clock::now();
  const auto stop = start + plan.phase;
  auto now = start;
  while (now < stop) {
    phase.latencies_us.push_back(round_trip());
    now = Clock::now();
  }
  phase.elapsed_s = seconds(now - start);
  phase.cpu_ns = cpu.ns() - cpu_before;
  return phase;
}

// Every client keeps one "bridge.info" outstanding for `duration`.
Phase fan_in(std::vector<std::unique_ptr<Client>>& clients, std::string_view frame, Clock::duration duration,
             const CpuClock& cpu) {
  const int poller = ::epoll_create1(EPOLL_CLOEXEC);
  const std::unique_ptr<const int, void (*)(const int*)> closer(&poller, [](const int* fd) { ::close(*fd); });
  for (std::size_t i = 0; i < clients.size(); ++i) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = i;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, clients[i]->socket.fd(), &e);
  }
  Phase phase;
  phase.latencies_us.reserve(400000);
  std::vector<Clock::time_point> sent(clients.size());
  const double cpu_before = cpu.ns();
  const auto start = Clock::now();
  const auto stop = start + duration;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    sent[i] = Clock::now();
    put(clients[i]->socket.fd(), frame, true);
  }
  std::size_t outstanding = clients.size();
  auto last = start;
  epoll_event events[client_count];
  while (outstanding > 0) {
    const int ready = ::epoll_wait(poller, events, static_cast<int>(client_count), -1);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0) {
      throw Failure("fan-in: epoll_wait");
    }
    for (int e = 0; e < ready; ++e) {
      const auto i = static_cast<std::size_t>(events[e].data.u64);
      auto& client = *clients[i];
      if (!client.reader.fill()) {
        throw Failure("fan-in: a connection closed");
      }
      while (auto reply = client.reader.take()) {
        last = Clock::now();
        if (!succeeded(*reply)) {
          throw Failure("fan-in: " + std::string(reply->substr(0, 200)));
        }
        phase.latencies_us.push_back(micros(last - sent[i]));
        if (last < stop) {
          sent[i] = Clock::now();
          put(client.socket.fd(), frame, true);
        } else {
          --outstanding;
        }
      }
    }
  }
  phase.elapsed_s = seconds(last - start);
  phase.cpu_ns = cpu.ns() - cpu_before;
  return phase;
}

std::string client_frame(std::string_view id, std::string_view method, json::value params,
                         const std::string& secret) {
  return frame_of(to_json_text(
      json::object{{"version", 1}, {"id", id}, {"method", method}, {"params", std::move(params)}, {"secret", secret}}));
}

// Start-up and shutdown of `plan.starts` fresh processes.
Metrics measure_starts(const Target& target, const Plan& plan) {
  peer::TempDir home;
  std::vector<double> startup;
  std::vector<double> shutdown;
  for (int i = -1; i < plan.starts; ++i) {  // the first one warms the caches
    const auto spawned = Clock::now();
    auto process = spawn(target, home.path());
    greet(target, *process);
    const auto answered = Clock::now();
    Pidfd pidfd(process->pid());
    const auto closed = Clock::now();
    process->close_in();
    const double took = wait_end(target, *process, pidfd, closed);
    if (i >= 0) {
      startup.push_back(micros(answered - spawned));
      shutdown.push_back(took);
    }
  }
  std::ranges::sort(startup);
  std::ranges::sort(shutdown);
  return {{"startup_p50_us", percentile(startup, 0.50)},
          {"startup_p99_us", percentile(startup, 0.99)},
          {"shutdown_p50_us", percentile(shutdown, 0.50)}};
}

Metrics load_phases(const Target& target, const Plan& plan, const std::string& home, peer::HostProcess& process,
                    const Pidfd& pidfd);

// One process under every load phase in turn, with all 16 clients connected.
Metrics measure_load(const Target& target, const Plan& plan) {
  peer::TempDir home;
  auto process = spawn(target, home.path());
  Pidfd pidfd(process->pid());
  Watchdog watchdog(pidfd.fd(), 5 * plan.phase + 30s);
  try {
    return load_phases(target, plan, home.path(), *process, pidfd);
  } catch (const Failure& e) {
    if (watchdog.fired()) {
      throw Failure(target.name + ": stalled and was killed (" + e.what() + ")");
    }
    throw;
  }
}

Metrics load_phases(const Target& target, const Plan& plan, const std::string& home, peer::HostProcess& process,
                    const Pidfd& pidfd) {
  const CpuClock cpu(process.pid());
  const auto hello_reply = greet(target, process);
  std::string host_id;
  if (auto parsed = parse_json(hello_reply)) {
    if (const auto* id = member(member(*parsed, "result"), "hostId").if_string()) {
      host_id = std::string(*id);
    }
  }
  auto files = peer::read_discovery(home);
  const auto mine = std::ranges::find_if(files, [&](const peer::Discovery& d) {
    return !host_id.empty() && d.path.ends_with("/" + host_id + ".json");
  });
  if (mine == files.end() || mine->port == 0 || mine->secret.empty()) {
    throw Failure(target.name + ": no discovery file for host " + host_id);
  }
  const auto port = mine->port;
  const auto secret = mine->secret;

  Metrics m;
  {
    Extension extension(process.out(), process.in());
    // Ends the process on the way out of a failed phase, so the extension's
    // read ends and its thread can be joined.
    struct Stop {
      const Pidfd& pidfd;
      bool armed = true;
      ~Stop() {
        if (armed) {
          pidfd_kill(pidfd.fd());
        }
      }
    } stop{pidfd};

    const auto info = client_frame("q1", "bridge.info", json::object{}, secret);
    std::vector<std::unique_ptr<Client>> clients;
    for (std::size_t i = 0; i < client_count; ++i) {
      // Each authenticates at once: a silent connection is dropped after 3 s.
      auto& client = *clients.emplace_back(std::make_unique<Client>(port));
      if (!client.socket.connected() || !put(client.socket.fd(), info, true)) {
        throw Failure(target.name + ": cannot connect client " + std::to_string(i));
      }
      const auto reply = client.reader.next();
      if (!reply || !succeeded(*reply)) {
        throw Failure(target.name + ": client " + std::to_string(i) + " not admitted");
      }
    }

    auto info_phase = back_to_back(target.name + " bridge.info", *clients[0], info, plan, cpu);

    json::object owner{{"ownerId", "bench-owner"}, {"accountId", "bench-account"}, {"profileId", "Default"},
                       {"ttlMs", 90000}};
    auto connect = owner;
    connect["pairingUrl"] = "ws://127.0.0.1:" + std::to_string(port) + "/extension#bench";
    Client& holder = *clients[1];
    const auto connect_frame = client_frame("c1", "browser.connect", connect, secret);
    put(holder.socket.fd(), connect_frame, true);
    if (const auto reply = holder.reader.next(); !reply || !succeeded(*reply)) {
      throw Failure(target.name + ": browser.connect refused");
    }
    const auto answered_before = extension.answered();
    const auto renew_frame = client_frame("r1", "browser.renew", owner, secret);
    auto renew_phase = back_to_back(target.name + " browser.renew", holder, renew_frame, plan, cpu);
    if (extension.answered() - answered_before < renew_phase.latencies_us.size()) {
      throw Failure(target.name + ": browser.renew was answered without reaching the extension");
    }

    fan_in(clients, info, std::min<Clock::duration>(plan.phase / 10, 100ms), cpu);  // warm-up
    auto fan_in_phase = fan_in(clients, info, plan.phase, cpu);

    auto large = owner;
    large["padding"] = std::string(large_padding, 'x');
    const auto large_frame = client_frame("r2", "browser.renew", large, secret);
    Plan fewer = plan;
    fewer.warmup = std::max(plan.warmup / 10, 5);
    auto large_phase = back_to_back(target.name + " large browser.renew", holder, large_frame, fewer, cpu);

    m["rss_peak_kib"] = peak_resident_kib(process.pid());

    for (auto* phase : {&info_phase, &renew_phase, &fan_in_phase, &large_phase}) {
      std::ranges::sort(phase->latencies_us);
    }
    const auto& info_lat = info_phase.latencies_us;
    m["info_p50_us"] = percentile(info_lat, 0.50);
    m["info_p99_us"] = percentile(info_lat, 0.99);
    m["info_p999_us"] = percentile(info_lat, 0.999);
    m["info_rps"] = info_phase.rate();
    m["info_cpu_us"] = info_phase.cpu_per_request_us();
    const auto& renew_lat = renew_phase.latencies_us;
    m["renew_p50_us"] = percentile(renew_lat, 0.50);
    m["renew_p99_us"] = percentile(renew_lat, 0.99);
    m["renew_p999_us"] = percentile(renew_lat, 0.999);
    m["renew_cps"] = renew_phase.rate();
    m["renew_cpu_us"] = renew_phase.cpu_per_request_us();
    const auto& fan_lat = fan_in_phase.latencies_us;
    m["fanin_rps"] = fan_in_phase.rate();
    m["fanin_p99_us"] = percentile(fan_lat, 0.99);
    m["fanin_cpu_us"] = fan_in_phase.cpu_per_request_us();
    m["large_cps"] = large_phase.rate();
    m["large_mbps"] = large_phase.rate() * static_cast<double>(large_frame.size()) / 1e6;
    m["large_cpu_us"] = large_phase.cpu_per_request_us();

    const auto closed = Clock::now();
    extension.close_input(process);
    m["shutdown_loaded_us"] = wait_end(target, process, pidfd, closed);
    stop.armed = false;
  }  // the extension's thread ends with the process's output
  return m;
}

// ---------------------------------------------------------------- report

struct MetricInfo {
  const char* name;
  const char* what;
  bool higher_is_better;
};

constexpr MetricInfo metric_table[] = {
    {"startup_p50_us", "start-up p50 (spawn to hello reply), us", false},
    {"startup_p99_us", "start-up p99, us", false},
    {"shutdown_p50_us", "shutdown p50 (stdin closed to exit), us", false},
    {"shutdown_loaded_us", "shutdown after the load phases, us", false},
    {"rss_peak_kib", "peak resident memory (VmHWM), KiB", false},
    {"info_p50_us", "bridge.info round trip p50, us", false},
    {"info_p99_us", "bridge.info round trip p99, us", false},
    {"info_p999_us", "bridge.info round trip p99.9, us", false},
    {"info_rps", "bridge.info requests/s, one client", true},
    {"info_cpu_us", "host CPU per bridge.info, us", false},
    {"renew_p50_us", "forwarded renew round trip p50, us", false},
    {"renew_p99_us", "forwarded renew round trip p99, us", false},
    {"renew_p999_us", "forwarded renew round trip p99.9, us", false},
    {"renew_cps", "forwarded renew calls/s", true},
    {"renew_cpu_us", "host CPU per forwarded renew, us", false},
    {"fanin_rps", "fan-in requests/s, 16 clients", true},
    {"fanin_p99_us", "fan-in round trip p99, us", false},
    {"fanin_cpu_us", "host CPU per fan-in request, us", false},
    {"large_cps", "60 KiB renew calls/s", true},
    {"large_mbps", "60 KiB renew, MB/s from the client", true},
    {"large_cpu_us", "host CPU per 60 KiB renew, us", false},
};

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, v >= 100 ? "%.0f" : v >= 10 ? "%.1f" : "%.2f", v);
  return text;
}

std::vector<std::string> split(const std::string& command) {
  std::vector<std::string> words;
  std::istringstream in(command);
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: kelvarin-bench --host CMD --relay CMD [--rounds N] [--quick] [--phase-ms N] [--starts N]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  Target host{"host", {}};
  Target relay{"relay", {}};
  Plan plan;
  std::optional<int> rounds;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--host" && i + 1 < argc) {
      host.argv = split(argv[++i]);
    } else if (arg == "--relay" && i + 1 < argc) {
      relay.argv = split(argv[++i]);
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (arg == "--phase-ms" && i + 1 < argc) {
      plan.phase = std::chrono::milliseconds(std::atoi(argv[++i]));
    } else if (arg == "--starts" && i + 1 < argc) {
      plan.starts = std::atoi(argv[++i]);
    } else if (arg == "--quick") {
      plan.starts = 5;
      plan.phase = 50ms;
      plan.warmup = 20;
    } else {
      usage();
    }
  }
  if (host.argv.empty() || relay.argv.empty() || (rounds && *rounds < 1) || plan.phase <= 0ms || plan.starts < 1) {
    usage();
  }
  plan.rounds = rounds.value_or(plan.rounds);

  std::printf("# kelvarin-bench: host=%s relay=%s rounds=%d starts=%d phase_ms=%lld\n", host.argv.front().c_str(),
              relay.argv.front().c_str(), plan.rounds, plan.starts,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(plan.phase).count()));
  std::fflush(stdout);

  std::map<std::string, std::map<std::string, std::vector<double>>> samples;  // target, metric, rounds
  const auto began = Clock::now();
  try {
    for (int round = 1; round <= plan.rounds; ++round) {
      std::vector<std::pair<const Target*, Metrics>> results;
      for (const Target* t : {&host, &relay}) {
        results.emplace_back(t, measure_starts(*t, plan));
      }
      for (const Target* t : {&host, &relay}) {
        auto load = measure_load(*t, plan);
        results.emplace_back(t, std::move(load));
      }
      for (auto& [t, metrics] : results) {
        for (auto& [name, value] : metrics) {
          samples[t->name][name].push_back(value);
        }
      }
      std::fprintf(stderr, "round %d/%d done: info p50 host %.1f us, relay %.1f us\n", round, plan.rounds,
                   samples["host"]["info_p50_us"].back(), samples["relay"]["info_p50_us"].back());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvarin-bench: %s\n", e.what());
    return 1;
  }

  struct Row {
    const MetricInfo* info;
    double host, relay, ratio;
  };
  std::vector<Row> rows;
  for (const auto& metric : metric_table) {
    const double h = median(samples["host"][metric.name]);
    const double r = median(samples["relay"][metric.name]);
    rows.push_back({&metric, h, r, r != 0 ? h / r : 0});
    std::printf("metric name=%s host=%s relay=%s ratio=%.2f\n", metric.name, number(h).c_str(), number(r).c_str(),
                rows.back().ratio);
  }

  std::printf("\n%-44s %10s %10s %10s\n", "metric (median over rounds)", "host", "relay", "host/relay");
  for (const auto& row : rows) {
    std::printf("%-44s %10s %10s %9.2f%s\n", row.info->what, number(row.host).c_str(), number(row.relay).c_str(),
                row.ratio, row.info->higher_is_better ? "  (higher is better)" : "");
  }
  std::printf("\n%d rounds, host and relay alternating; %.0f s in all.\n", plan.rounds, seconds(Clock::now() - began));
  return 0;
}
