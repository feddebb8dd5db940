// kelvarin-bridge: registers the host with browsers and talks to running hosts.

#include "cli.hpp"

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  // A host that went away shows up as a failed write, not as our death.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> words(argv + 1, argv + argc);
  return kelvarin::bridge::run_cli(words, std::cout, std::cerr);
}
