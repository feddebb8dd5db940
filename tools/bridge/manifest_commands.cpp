#include "cli.hpp"

namespace kelvarin::bridge {
std::vector<Command> manifest_commands() { return {}; }
}  // namespace kelvarin::bridge
