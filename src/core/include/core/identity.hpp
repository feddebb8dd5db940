#pragma once

#include <string>
#include <string_view>

namespace kelvarin {

// A random version-4 UUID from the system random source, as 36 characters
// of lower-case hexadecimal in groups 8-4-4-4-12.
[[nodiscard]] std::string uuid_text();

// Byte-exact comparison whose time does not depend on where the texts differ,
// so a client cannot learn the secret a byte at a time.
[[nodiscard]] bool secret_equals(std::string_view offered, std::string_view secret);

}  // namespace kelvarin
