#pragma once

// The command line of kelvarin-bridge: one table entry per command, a small
// option parser, exit codes, and output that is either for people or, with
// --json, one JSON document per run for scripts.

#include "core/json.hpp"

#include <expected>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarin::bridge {

// Exit codes, the same for every command.
enum Exit : int {
  exit_ok = 0,
  exit_failed = 1,       // the host, the extension or a check said no
  exit_usage = 2,        // the command line was wrong
  exit_no_host = 3,      // no running host matched
  exit_unreachable = 4,  // a host's file was found but the host did not answer
  exit_file_error = 5,   // a file or directory could not be read or written
};

struct Option {
  std::string name{};        // "--browser"
  std::string value_name{};  // "NAME"; empty for a flag
  bool repeatable = false;
  std::string help{};
};

struct Syntax {
  std::string name{};
  std::string arguments{};  // positional part of the synopsis, e.g. "METHOD"
  std::size_t min_positional = 0;
  std::size_t max_positional = 0;
  std::string summary{};  // one line, for the command list
  std::string details{};  // paragraphs for --help
  std::vector<Option> options{};  // --json and --help are added for every command
};

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> values;  // options that take a value
  std::vector<std::string> flags;                          // flags given
  bool json = false;
  bool help = false;

  [[nodiscard]] bool flag(std::string_view name) const;
  [[nodiscard]] std::optional<std::string> value(std::string_view name) const;  // the last one given
  [[nodiscard]] std::vector<std::string> all(std::string_view name) const;
};

// Parses the words after the command's name; the error is a sentence.
[[nodiscard]] std::expected<Args, std::string> parse_args(const Syntax& syntax, std::span<const std::string> words);

void print_help(const Syntax& syntax, std::ostream& out);

// Where a command writes. With json set, a command writes exactly one JSON
// document to out (sorted keys, one line) and nothing for people; messages
// for people go to out, and problems to err, otherwise.
struct Output {
  bool json = false;
  std::ostream& out;
  std::ostream& err;

  void document(const json::value& value) const;  // the JSON document, newline-terminated
  // Reports a failure and gives its exit code. In JSON mode the document is
  // {"error":{"code":...,"message":...}}; otherwise "kelvarin-bridge: " +
  // message on err.
  int fail(int exit_code, std::string_view code, std::string_view message) const;
};

struct Command {
  Syntax syntax;
  std::function<int(const Args&, const Output&)> run;
};

// Each command file registers its commands through one of these.
[[nodiscard]] std::vector<Command> manifest_commands();  // install, uninstall, doctor
[[nodiscard]] std::vector<Command> host_commands();      // list, info, call
[[nodiscard]] std::vector<Command> demo_commands();      // demo

// The whole program: `words` excludes the program name.
int run_cli(std::span<const std::string> words, std::ostream& out, std::ostream& err);

}  // namespace kelvarin::bridge
