#pragma once

#include "core/error.hpp"
#include "core/json.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kelvarin {

namespace asio = boost::asio;

// A frame is a 4-byte little-endian length and that many bytes of JSON text.
inline constexpr std::size_t frame_prefix_bytes = 4;
inline constexpr std::uint32_t max_frame_body = 65536;

// The body length from a prefix; a length of 0 or above the limit is refused
// before anything is allocated for the body.
[[nodiscard]] Result<std::uint32_t> frame_length(const std::array<unsigned char, frame_prefix_bytes>& prefix);

// The whole frame for `value`, prefix included, so that it can be handed to
// the stream in one write. An over-long value is refused before any byte is
// written.
[[nodiscard]] Result<std::string> encode_frame(const json::value& value);

// Reads exactly one frame and never asks the stream for bytes past it, so the
// stream can change hands between frames. No message means the stream ended
// cleanly at a frame boundary.
template <class Stream>
asio::awaitable<Result<std::optional<json::value>>> read_frame(Stream& stream) {
  constexpr auto token = asio::as_tuple(asio::use_awaitable);
  std::array<unsigned char, frame_prefix_bytes> prefix{};

  auto [first_ec, first_n] = co_await stream.async_read_some(asio::buffer(prefix.data(), 1), token);
  if (first_ec == asio::error::eof) {
    co_return std::optional<json::value>{};
  }
  if (first_ec) {
    co_return std::unexpected(system_error(first_ec));
  }
  auto [rest_ec, rest_n] =
      co_await asio::async_read(stream, asio::buffer(prefix.data() + 1, frame_prefix_bytes - 1), token);
  if (rest_ec) {
    co_return std::unexpected(system_error(rest_ec));
  }
  auto length = frame_length(prefix);
  if (!length) {
    co_return std::unexpected(std::move(length.error()));
  }
  std::string body(*length, '\0');
  auto [body_ec, body_n] = co_await asio::async_read(stream, asio::buffer(body), token);
  if (body_ec) {
    co_return std::unexpected(system_error(body_ec));
  }
  auto value = parse_json(body);
  if (!value) {
    co_return std::unexpected(std::move(value.error()));
  }
  co_return std::optional<json::value>(std::move(*value));
}

// Writes an already encoded frame completely.
template <class Stream>
asio::awaitable<Status> write_encoded(Stream& stream, const std::string& frame) {
  auto [ec, n] = co_await asio::async_write(stream, asio::buffer(frame), asio::as_tuple(asio::use_awaitable));
  if (ec) {
    co_return std::unexpected(system_error(ec));
  }
  if (n != frame.size()) {
    co_return std::unexpected(error_of(ErrorKind::WriteZero));
  }
  co_return Status{};
}

template <class Stream>
asio::awaitable<Status> write_frame(Stream& stream, const json::value& value) {
  auto frame = encode_frame(value);
  if (!frame) {
    co_return std::unexpected(std::move(frame.error()));
  }
  co_return co_await write_encoded(stream, *frame);
}

}  // namespace kelvarin
