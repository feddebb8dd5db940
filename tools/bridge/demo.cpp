#include "cli.hpp"

namespace kelvarin::bridge {
std::vector<Command> demo_commands() { return {}; }
}  // namespace kelvarin::bridge
