#include "cli.hpp"

#include <algorithm>
#include <iomanip>
#include <ostream>

namespace kelvarin::bridge {

namespace {

const Option json_option{"--json", "", false, "Write one JSON document for scripts instead of text."};
const Option help_option{"--help", "", false, "Show this help."};

const Option* find_option(const Syntax& syntax, std::string_view name) {
  if (name == json_option.name) {
    return &json_option;
  }
  if (name == help_option.name) {
    return &help_option;
  }
  const auto it = std::ranges::find(syntax.options, name, &Option::name);
  return it == syntax.options.end() ? nullptr : &*it;
}

std::vector<Command> all_commands() {
  std::vector<Command> commands;
  for (auto group : {host_commands, manifest_commands, demo_commands}) {
    for (auto& command : group()) {
      commands.push_back(std::move(command));
    }
  }
  return commands;
}

void print_overview(const std::vector<Command>& commands, std::ostream& out) {
  out << "usage: kelvarin-bridge COMMAND [OPTIONS]\n\n"
         "Registers kelvarin-browser-host with Chromium-family browsers and talks to\n"
         "running hosts.\n\nCommands:\n";
  for (const auto& command : commands) {
    out << "  " << std::left << std::setw(11) << command.syntax.name << command.syntax.summary << '\n';
  }
  out << "\n\"kelvarin-bridge COMMAND --help\" describes one command. Every command takes\n"
         "--json. Exit codes: 0 success, 1 refused or problems found, 2 usage error,\n"
         "3 no running host, 4 host not reachable, 5 file error.\n";
}

}  // namespace

bool Args::flag(std::string_view name) const { return std::ranges::find(flags, name) != flags.end(); }

std::optional<std::string> Args::value(std::string_view name) const {
  const auto it = values.find(std::string(name));
  if (it == values.end() || it->second.empty()) {
    return std::nullopt;
  }
  return it->second.back();
}

std::vector<std::string> Args::all(std::string_view name) const {
  const auto it = values.find(std::string(name));
  return it == values.end() ? std::vector<std::string>{} : it->second;
}

std::expected<Args, std::string> parse_args(const Syntax& syntax, std::span<const std::string> words) {
  Args args;
  bool options_done = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_done || !word.starts_with("-") || word == "-") {
      args.positional.push_back(word);
      continue;
    }
    if (word == "--") {
      options_done = true;
      continue;
    }
    std::string name = word;
    std::optional<std::string> inline_value;
    if (const auto eq = word.find('='); eq != std::string::npos && word.starts_with("--")) {
      name = word.substr(0, eq);
      inline_value = word.substr(eq + 1);
    }
    if (name == "-h") {
      name = "--help";
    }
    const Option* option = find_option(syntax, name);
    if (option == nullptr) {
      return std::unexpected("unknown option " + name + " for " + syntax.name + ".");
    }
    if (option->value_name.empty()) {
      if (inline_value) {
        return std::unexpected(name + " takes no value.");
      }
      if (name == "--json") {
        args.json = true;
      } else if (name == "--help") {
        args.help = true;
      } else {
        args.flags.push_back(name);
      }
      continue;
    }
    if (!inline_value) {
      if (i + 1 == words.size()) {
        return std::unexpected(name + " needs a value (" + option->value_name + ").");
      }
      inline_value = words[++i];
    }
    auto& values = args.values[name];
    if (!values.empty() && !option->repeatable) {
      return std::unexpected(name + " may be given only once.");
    }
    values.push_back(*inline_value);
  }
  if (args.help) {
    return args;
  }
  if (args.positional.size() < syntax.min_positional) {
    return std::unexpected(syntax.name + " needs " + syntax.arguments + ".");
  }
  if (args.positional.size() > syntax.max_positional) {
    return std::unexpected("unexpected argument " + args.positional[syntax.max_positional] + " for " + syntax.name +
                           ".");
  }
  return args;
}

void print_help(const Syntax& syntax, std::ostream& out) {
  out << "usage: kelvarin-bridge " << syntax.name;
  if (!syntax.options.empty()) {
    out << " [OPTIONS]";
  }
  if (!syntax.arguments.empty()) {
    out << ' ' << syntax.arguments;
  }
  out << "\n\n" << syntax.summary << '\n';
  if (!syntax.details.empty()) {
    out << '\n' << syntax.details << (syntax.details.ends_with('\n') ? "" : "\n");
  }
  out << "\nOptions:\n";
  std::vector<const Option*> options;
  for (const auto& option : syntax.options) {
    options.push_back(&option);
  }
  options.push_back(&json_option);
  options.push_back(&help_option);
  for (const auto* option : options) {
    std::string left = option->name;
    if (!option->value_name.empty()) {
      left += ' ' + option->value_name;
    }
    out << "  " << std::left << std::setw(22) << left << ' ' << option->help
        << (option->repeatable ? " May be repeated." : "") << '\n';
  }
}

void Output::document(const json::value& value) const { out << to_json_text(value) << '\n'; }

int Output::fail(int exit_code, std::string_view code, std::string_view message) const {
  if (json) {
    document(json::object{{"error", json::object{{"code", code}, {"message", message}}}});
  } else {
    err << "kelvarin-bridge: " << message << '\n';
  }
  return exit_code;
}

int run_cli(std::span<const std::string> words, std::ostream& out, std::ostream& err) {
  const auto commands = all_commands();
  if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
    if (words.size() > 1 && words[0] == "help") {
      const auto it = std::ranges::find(commands, words[1], [](const Command& c) { return c.syntax.name; });
      if (it != commands.end()) {
        print_help(it->syntax, out);
        return exit_ok;
      }
    }
    print_overview(commands, words.empty() ? err : out);
    return words.empty() ? exit_usage : exit_ok;
  }
  const auto it = std::ranges::find(commands, words[0], [](const Command& c) { return c.syntax.name; });
  if (it == commands.end()) {
    err << "kelvarin-bridge: unknown command " << words[0] << ". \"kelvarin-bridge --help\" lists them.\n";
    return exit_usage;
  }
  const auto args = parse_args(it->syntax, words.subspan(1));
  if (!args) {
    // A script that asked for JSON gets it even when its command line is wrong.
    const Output output{std::ranges::find(words, std::string("--json")) != words.end(), out, err};
    return output.fail(exit_usage, "usage",
                       args.error() + " See \"kelvarin-bridge " + it->syntax.name + " --help\".");
  }
  if (args->help) {
    print_help(it->syntax, out);
    return exit_ok;
  }
  return it->run(*args, Output{args->json, out, err});
}

}  // namespace kelvarin::bridge
