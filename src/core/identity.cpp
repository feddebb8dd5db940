#include "core/identity.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace kelvarin {

std::string uuid_text() {
  thread_local boost::uuids::random_generator generator;
  return boost::uuids::to_string(generator());
}

bool secret_equals(std::string_view offered, std::string_view secret) {
  // The length is public (every secret has 36 characters); the bytes are not.
  if (offered.size() != secret.size()) {
    return false;
  }
  unsigned char difference = 0;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    difference |= static_cast<unsigned char>(offered[i] ^ secret[i]);
    // Keeps the compiler from turning the loop into an early-exit comparison.
    asm volatile("" : "+r"(difference));
  }
  return difference == 0;
}

}  // namespace kelvarin
