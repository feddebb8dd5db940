#include "core/frame.hpp"

namespace kelvarin {

Result<std::uint32_t> frame_length(const std::array<unsigned char, frame_prefix_bytes>& prefix) {
  const std::uint32_t length = std::uint32_t{prefix[0]} | std::uint32_t{prefix[1]} << 8 |
                               std::uint32_t{prefix[2]} << 16 | std::uint32_t{prefix[3]} << 24;
  if (length == 0 || length > max_frame_body) {
    return std::unexpected(invalid("Frame must be 1–65536 bytes."));
  }
  return length;
}

Result<std::string> encode_frame(const json::value& value) {
  std::string frame(frame_prefix_bytes, '\0');
  write_json(value, frame);
  const std::size_t length = frame.size() - frame_prefix_bytes;
  if (length == 0 || length > max_frame_body) {
    return std::unexpected(invalid("Frame exceeds 65536 bytes."));
  }
  for (std::size_t i = 0; i < frame_prefix_bytes; ++i) {
    frame[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  return frame;
}

}  // namespace kelvarin
