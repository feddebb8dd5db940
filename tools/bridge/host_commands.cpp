#include "cli.hpp"

namespace kelvarin::bridge {
std::vector<Command> host_commands() { return {}; }
}  // namespace kelvarin::bridge
