// kelvarin-micro: the host's per-frame building blocks in isolation. The
// frames are a small client request (about 200 bytes) and a renewal carrying
// about 60 KiB of extra params, the two sizes the end-to-end driver uses.

#include "core/frame.hpp"
#include "core/identity.hpp"
#include "core/json.hpp"
#include "rules/lease.hpp"

#include <benchmark/benchmark.h>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cstring>
#include <string>
#include <string_view>

namespace {

using namespace kelvarin;

const std::string& small_body() {
  static const std::string body = to_json_text(json::object{
      {"version", 1},
      {"id", "q-000001"},
      {"method", "browser.renew"},
      {"params",
       {{"ownerId", "bench-owner"}, {"accountId", "bench-account"}, {"profileId", "Default"}, {"ttlMs", 90000}}},
      {"secret", "0f6e3c0a-8a43-4c5e-9d55-3b7f2f6f1a2b"}});
  return body;
}

const std::string& large_body() {
  static const std::string body = to_json_text(json::object{
      {"version", 1},
      {"id", "q-000002"},
      {"method", "browser.renew"},
      {"params",
       {{"ownerId", "bench-owner"},
        {"accountId", "bench-account"},
        {"profileId", "Default"},
        {"ttlMs", 90000},
        {"padding", std::string(60 * 1024, 'x')}}},
      {"secret", "0f6e3c0a-8a43-4c5e-9d55-3b7f2f6f1a2b"}});
  return body;
}

// The argument is the body's size in round figures; the label gives it exactly.
const std::string& body_of(benchmark::State& state) {
  const auto& body = state.range(0) < 1000 ? small_body() : large_body();
  state.SetLabel(std::to_string(body.size()) + " bytes");
  return body;
}

std::string frame_of(std::string_view body) {
  std::string frame(frame_prefix_bytes, '\0');
  for (std::size_t i = 0; i < frame_prefix_bytes; ++i) {
    frame[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
  }
  frame.append(body);
  return frame;
}

// A stream over bytes already in memory. Every operation completes through
// the loop, as a socket's or a pipe's does, so the coroutine cost is counted.
class MemoryStream {
 public:
  using executor_type = asio::io_context::executor_type;

  MemoryStream(executor_type executor, std::string bytes) : executor_(executor), bytes_(std::move(bytes)) {}

  [[nodiscard]] executor_type get_executor() const { return executor_; }
  void rewind() { position_ = 0; }
  void clear() { written_.clear(); }
  [[nodiscard]] std::size_t written() const { return written_.size(); }

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const MutableBuffers& target) {
          boost::system::error_code ec;
          std::size_t n = 0;
          if (position_ == bytes_.size()) {
            ec = asio::error::eof;
          } else {
            n = asio::buffer_copy(target, asio::buffer(bytes_.data() + position_, bytes_.size() - position_));
            position_ += n;
          }
          complete(std::move(handler), ec, n);
        },
        token, buffers);
  }

  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const ConstBuffers& source) {
          const std::size_t n = asio::buffer_size(source);
          const std::size_t at = written_.size();
          written_.resize(at + n);
          asio::buffer_copy(asio::buffer(written_.data() + at, n), source);
          complete(std::move(handler), {}, n);
        },
        token, buffers);
  }

 private:
  template <class Handler>
  void complete(Handler handler, boost::system::error_code ec, std::size_t n) {
    auto executor = asio::get_associated_executor(handler, executor_);
    asio::post(executor, [h = std::move(handler), ec, n]() mutable { std::move(h)(ec, n); });
  }

  executor_type executor_;
  std::string bytes_;
  std::size_t position_ = 0;
  std::string written_;
};

void BM_ParseJson(benchmark::State& state) {
  const auto& body = body_of(state);
  for (auto _ : state) {
    auto value = parse_json(body);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_ParseJson)->ArgName("body")->Arg(200)->Arg(61440);

// read_frame over a stream that holds one frame: prefix, body, parse.
void BM_ReadFrame(benchmark::State& state) {
  const auto& body = body_of(state);
  asio::io_context loop(1);
  MemoryStream stream(loop.get_executor(), frame_of(body));
  asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<void> {
        for (auto _ : state) {
          stream.rewind();
          auto message = co_await read_frame(stream);
          if (!message || !*message) {
            state.SkipWithError("read_frame failed");
            break;
          }
          benchmark::DoNotOptimize(message);
        }
      },
      asio::detached);
  loop.run();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (body.size() + frame_prefix_bytes)));
}
BENCHMARK(BM_ReadFrame)->ArgName("body")->Arg(200)->Arg(61440);

void BM_ToJsonText(benchmark::State& state) {
  const auto& body = body_of(state);
  const auto value = *parse_json(body);
  for (auto _ : state) {
    auto text = to_json_text(value);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_ToJsonText)->ArgName("body")->Arg(200)->Arg(61440);

void BM_EncodeFrame(benchmark::State& state) {
  const auto& body = body_of(state);
  const auto value = *parse_json(body);
  for (auto _ : state) {
    auto frame = encode_frame(value);
    benchmark::DoNotOptimize(frame);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (body.size() + frame_prefix_bytes)));
}
BENCHMARK(BM_EncodeFrame)->ArgName("body")->Arg(200)->Arg(61440);

// write_frame into a stream that keeps the bytes: serialise, then write.
void BM_WriteFrame(benchmark::State& state) {
  const auto& body = body_of(state);
  const auto value = *parse_json(body);
  asio::io_context loop(1);
  MemoryStream stream(loop.get_executor(), {});
  asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<void> {
        for (auto _ : state) {
          stream.clear();
          if (auto status = co_await write_frame(stream, value); !status) {
            state.SkipWithError("write_frame failed");
            break;
          }
        }
      },
      asio::detached);
  loop.run();
  if (stream.written() != body.size() + frame_prefix_bytes) {
    state.SkipWithError("write_frame wrote another frame");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (body.size() + frame_prefix_bytes)));
}
BENCHMARK(BM_WriteFrame)->ArgName("body")->Arg(200)->Arg(61440);

void BM_ValidConnect(benchmark::State& state) {
  const json::value params{{"ownerId", "bench-owner"},
                           {"accountId", "bench-account"},
                           {"profileId", "Default"},
                           {"ttlMs", 90000},
                           {"pairingUrl", "ws://127.0.0.1:41234/extension#0f6e3c0a8a434c5e9d553b7f2f6f1a2b"}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(valid_connect(params, "Default"));
  }
}
BENCHMARK(BM_ValidConnect);

void BM_ValidPairingUrl(benchmark::State& state) {
  const std::string url = state.range(0) == 0
                              ? std::string("ws://127.0.0.1:41234/extension#0f6e3c0a8a434c5e9d553b7f2f6f1a2b")
                              : "ws://127.0.0.1:41234/extension#" + std::string(8192 - 31, 'a');
  for (auto _ : state) {
    benchmark::DoNotOptimize(valid_pairing_url(url));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * url.size()));
}
BENCHMARK(BM_ValidPairingUrl)->ArgName("longest")->Arg(0)->Arg(1);

// The baseline the secret comparison must not resemble: it stops at the
// first difference, so its time tells where that difference is.
[[gnu::noinline]] bool early_exit_equals(std::string_view offered, std::string_view secret) {
  if (offered.size() != secret.size()) {
    return false;
  }
  for (std::size_t i = 0; i < secret.size(); ++i) {
    if (offered[i] != secret[i]) {
      return false;
    }
  }
  return true;
}

constexpr std::string_view secret_text = "0f6e3c0a-8a43-4c5e-9d55-3b7f2f6f1a2b";

// Argument: where the offered text differs (0, 18, 35), or 36 for equal.
template <bool (*Compare)(std::string_view, std::string_view)>
void secret_benchmark(benchmark::State& state) {
  const std::string secret(secret_text);
  std::string offered(secret_text);
  if (const auto at = static_cast<std::size_t>(state.range(0)); at < offered.size()) {
    offered[at] = offered[at] == 'f' ? 'e' : 'f';
  } else {
    state.SetLabel("equal");
  }
  std::string_view a = offered;
  std::string_view b = secret;
  for (auto _ : state) {
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    benchmark::DoNotOptimize(Compare(a, b));
  }
}

void BM_SecretEquals(benchmark::State& state) { secret_benchmark<secret_equals>(state); }
void BM_EarlyExitEquals(benchmark::State& state) { secret_benchmark<early_exit_equals>(state); }
BENCHMARK(BM_SecretEquals)->ArgName("mismatch_at")->Arg(0)->Arg(18)->Arg(35)->Arg(36);
BENCHMARK(BM_EarlyExitEquals)->ArgName("mismatch_at")->Arg(0)->Arg(18)->Arg(35)->Arg(36);

}  // namespace

BENCHMARK_MAIN();
