// install, uninstall and doctor: the command layer over manifests and
// doctor. Only this file reads the environment (HOME, the running program).

#include "cli.hpp"
#include "doctor.hpp"
#include "manifests.hpp"

#include <cstdlib>
#include <filesystem>
#include <ostream>

#include <unistd.h>

namespace kelvarin::bridge {

namespace {

constexpr std::string_view host_program = "kelvarin-browser-host";

const Option browser_option{"--browser", "NAME", true,
                                "A browser of the list above, instead of every browser found."};
const Option system_option{"--system", "", false,
                               "The system-wide directories (for every user) instead of the user's own."};
const Option user_data_dir_option{
    "--user-data-dir", "DIR", true,
    "A browser started with --user-data-dir DIR: its manifests are in DIR/NativeMessagingHosts."};
const Option destdir_option{"--destdir", "DIR", false,
                                "Prefix every system path with DIR (a packaging stage). Only with --system."};

int exit_code(const Failure& failure) {
  switch (failure.kind) {
    case Failure::Kind::usage:
      return exit_usage;
    case Failure::Kind::refused:
      return exit_failed;
    case Failure::Kind::file:
      return exit_file_error;
  }
  return exit_failed;
}

std::string_view failure_code(const Failure& failure) {
  switch (failure.kind) {
    case Failure::Kind::usage:
      return "usage";
    case Failure::Kind::refused:
      return "refused";
    case Failure::Kind::file:
      return "file_error";
  }
  return "refused";
}

int fail(const Output& output, const Failure& failure) {
  return output.fail(exit_code(failure), failure_code(failure), failure.message);
}

std::string table_text(Platform platform) {
  std::string text = "Browsers (NAME: the browser's directory under HOME; the system-wide manifest directory):\n";
  for (const auto& browser : browser_table(platform)) {
    text += "  " + std::string(browser.name) + ": ~/" + std::string(browser.config_dir);
    if (!browser.system_dir.empty()) {
      text += "; " + std::string(browser.system_dir);
    }
    text += '\n';
  }
  return text;
}

// HOME, when the selection needs it: user directories come from it.
std::expected<std::string, Failure> home_for(bool needed) {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home);
  }
  if (!needed) {
    return std::string();
  }
  return std::unexpected(Failure{Failure::Kind::refused, "HOME is not set to an absolute path."});
}

std::string absolute_dir(const std::string& dir) {
  std::error_code ec;
  auto path = std::filesystem::absolute(dir, ec);
  return ec ? dir : path.lexically_normal().string();
}

struct Prepared {
  Place place;
  std::vector<Target> targets;
  std::string root;
};

std::expected<Prepared, Failure> prepare(const Args& args, Purpose purpose) {
  Selection selection;
  selection.browsers = args.all("--browser");
  selection.user_data_dirs = args.all("--user-data-dir");
  selection.system = args.flag("--system");
  if (auto destdir = args.value("--destdir")) {
    if (destdir->empty()) {
      return std::unexpected(Failure{Failure::Kind::usage, "--destdir needs a directory."});
    }
    selection.root = absolute_dir(*destdir);
  }
  const bool needs_home = !selection.system && (!selection.browsers.empty() || selection.user_data_dirs.empty());
  auto home = home_for(needs_home);
  if (!home) {
    return std::unexpected(home.error());
  }
  Prepared prepared;
  prepared.place = Place{*home, current_platform()};
  prepared.root = selection.root;
  auto targets = select_targets(selection, prepared.place, purpose);
  if (!targets) {
    return std::unexpected(targets.error());
  }
  prepared.targets = std::move(*targets);
  return prepared;
}

json::value browser_value(const std::string& browser) {
  return browser.empty() ? json::value(nullptr) : json::value(browser);
}

json::array file_entries(const std::vector<FileEntry>& entries) {
  json::array array;
  for (const auto& entry : entries) {
    array.push_back(
        json::object{{"browser", browser_value(entry.browser)}, {"hostName", entry.host_name}, {"path", entry.path}});
  }
  return array;
}

json::array failure_entries(const std::vector<TargetFailure>& failures) {
  json::array array;
  for (const auto& failure : failures) {
    array.push_back(json::object{{"code", failure_code(failure.failure)},
                                 {"message", failure.failure.message},
                                 {"path", failure.path}});
  }
  return array;
}

std::string host_default() {
  const auto self = running_executable();
  if (!self) {
    return std::string();
  }
  return (std::filesystem::path(*self).parent_path() / host_program).string();
}

int run_install(const Args& args, const Output& output) {
  const auto extra_origins = args.all("--allow-origin");
  for (const auto& origin : extra_origins) {
    if (auto checked = check_origin(origin); !checked) {
      return fail(output, checked.error());
    }
  }
  auto prepared = prepare(args, Purpose::install);
  if (!prepared) {
    return fail(output, prepared.error());
  }
  std::string host_path = args.value("--host-path").value_or(host_default());
  if (host_path.empty()) {
    return fail(output, Failure{Failure::Kind::refused,
                                "cannot tell where kelvarin-bridge runs from. Pass --host-path PATH."});
  }
  auto checked = check_host_path(host_path, prepared->root);
  if (!checked) {
    return fail(output, checked.error());
  }
  const auto hosts = extension_hosts();
  const auto report = install(prepared->targets, hosts, *checked, extra_origins);
  if (output.json) {
    output.document(json::object{{"written", file_entries(report.written)},
                                 {"errors", failure_entries(report.failures)}});
  } else {
    for (const auto& entry : report.written) {
      output.out << "wrote " << entry.path << '\n';
    }
    for (const auto& failure : report.failures) {
      output.err << "kelvarin-bridge: " << failure.failure.message << '\n';
    }
  }
  return report.failures.empty() ? exit_ok : exit_code(report.failures.front().failure);
}

int run_uninstall(const Args& args, const Output& output) {
  auto prepared = prepare(args, Purpose::uninstall);
  if (!prepared) {
    return fail(output, prepared.error());
  }
  const auto hosts = extension_hosts();
  const auto report = uninstall(prepared->targets, hosts);
  if (output.json) {
    json::array left;
    for (const auto& entry : report.left) {
      left.push_back(json::object{{"path", entry.path}, {"reason", entry.reason}});
    }
    json::array dirs;
    for (const auto& dir : report.removed_dirs) {
      dirs.emplace_back(dir);
    }
    output.document(json::object{{"removed", file_entries(report.removed)},
                                 {"removedDirectories", std::move(dirs)},
                                 {"left", std::move(left)},
                                 {"errors", failure_entries(report.failures)}});
  } else {
    for (const auto& entry : report.removed) {
      output.out << "removed " << entry.path << '\n';
    }
    for (const auto& dir : report.removed_dirs) {
      output.out << "removed directory " << dir << '\n';
    }
    if (report.removed.empty() && report.left.empty() && report.failures.empty()) {
      output.out << "nothing to remove\n";
    }
    for (const auto& entry : report.left) {
      output.err << "kelvarin-bridge: left " << entry.path << ": " << entry.reason << ".\n";
    }
    for (const auto& failure : report.failures) {
      output.err << "kelvarin-bridge: " << failure.failure.message << '\n';
    }
  }
  if (!report.failures.empty()) {
    return exit_code(report.failures.front().failure);
  }
  return report.left.empty() ? exit_ok : exit_failed;
}

int run_doctor(const Args& args, const Output& output) {
  auto home = home_for(true);
  if (!home) {
    return fail(output, home.error());
  }
  DoctorRequest request;
  request.place = Place{*home, current_platform()};
  request.browsers = args.all("--browser");
  request.user_data_dirs = args.all("--user-data-dir");
  request.system = args.flag("--system");
  request.uid = ::geteuid();
  auto findings = doctor(request);
  if (!findings) {
    return fail(output, findings.error());
  }
  std::size_t problems = 0;
  std::size_t warnings = 0;
  json::array list;
  for (const auto& finding : *findings) {
    problems += finding.severity == Severity::problem ? 1 : 0;
    warnings += finding.severity == Severity::warning ? 1 : 0;
    if (output.json) {
      list.push_back(json::object{{"severity", severity_name(finding.severity)},
                                  {"subject", finding.subject},
                                  {"message", finding.message},
                                  {"hint", finding.hint}});
      continue;
    }
    const std::string label(severity_name(finding.severity));
    output.out << label << std::string(9 - label.size(), ' ') << finding.subject << ": " << finding.message << '\n';
    if (!finding.hint.empty()) {
      output.out << "         hint: " << finding.hint << '\n';
    }
  }
  if (output.json) {
    output.document(json::object{{"findings", std::move(list)}, {"problems", problems}, {"warnings", warnings}});
  } else {
    output.out << problems << (problems == 1 ? " problem, " : " problems, ") << warnings
               << (warnings == 1 ? " warning.\n" : " warnings.\n");
  }
  return problems == 0 ? exit_ok : exit_failed;
}

}  // namespace

std::vector<Command> manifest_commands() {
  const Platform platform = current_platform();
  std::vector<Command> commands;

  Syntax install_syntax;
  install_syntax.name = "install";
  install_syntax.summary = "Register the host with browsers: write its native-messaging manifests.";
  install_syntax.details =
      "Writes one manifest per trusted extension, <host name>.json, into the\n"
      "NativeMessagingHosts directory of every browser found for this user (one whose\n"
      "own directory exists), or of the browsers named. A browser's own directory is\n"
      "never created; its manifest directory is, when missing. Files are replaced\n"
      "atomically with mode 0644; a symbolic link or other non-regular file in the way\n"
      "is refused and left untouched.\n\n"
      "The manifest's \"path\" is --host-path, by default kelvarin-browser-host beside\n"
      "this program; it must be an executable file (under --destdir when given).\n\n"
      "Examples:\n"
      "  kelvarin-bridge install\n"
      "  kelvarin-bridge install --browser chromium --browser chrome\n"
      "  kelvarin-bridge install --user-data-dir /tmp/profile --host-path ./wrapper\n"
      "  sudo kelvarin-bridge install --system\n"
      "  kelvarin-bridge install --system --destdir \"$DESTDIR\" --host-path /usr/bin/kelvarin-browser-host\n\n" +
      table_text(platform);
  install_syntax.options = {
      browser_option,
      system_option,
      Option{"--host-path", "PATH", false, "The host program the browser starts."},
      user_data_dir_option,
      Option{"--allow-origin", "ORIGIN", true,
                 "Also allow chrome-extension://<32 letters a-p>/ (e.g. a test extension)."},
      destdir_option,
  };
  commands.push_back(Command{std::move(install_syntax), run_install});

  Syntax uninstall_syntax;
  uninstall_syntax.name = "uninstall";
  uninstall_syntax.summary = "Remove the manifests install wrote.";
  uninstall_syntax.details =
      "Removes each <host name>.json that is a regular file naming that host, from\n"
      "the same directories install would choose (without options: every browser\n"
      "found for this user), then each manifest directory left empty. Anything else\n"
      "at a manifest's path is left and reported (exit 1). Removing nothing is not an\n"
      "error.\n\n" +
      table_text(platform);
  uninstall_syntax.options = {browser_option, system_option, user_data_dir_option, destdir_option};
  commands.push_back(Command{std::move(uninstall_syntax), run_uninstall});

  Syntax doctor_syntax;
  doctor_syntax.name = "doctor";
  doctor_syntax.summary = "Explain why a browser cannot start the host or a client cannot reach it.";
  doctor_syntax.details =
      "Checks, for every browser found (or named, or started with --user-data-dir),\n"
      "the manifests in its user and system directories: missing (the browser says\n"
      "\"Specified native messaging host not found.\"), not a regular file, unreadable,\n"
      "malformed, a wrong \"name\" or \"type\", a \"path\" that is not an absolute\n"
      "executable file, \"allowed_origins\" without the extension's origin or with an\n"
      "origin lacking its trailing \"/\", and files or directories others can write.\n"
      "With --system: the system directories of every browser instead.\n\n"
      "Then the discovery directory under ~/.kelvarin: links, owners and modes, and\n"
      "every discovery file's host asked whether it runs (a file whose host does not\n"
      "answer is stale: its host was killed).\n\n"
      "Exit status 1 when any problem was found; warnings alone give 0.\n\n" +
      table_text(platform);
  doctor_syntax.options = {browser_option, user_data_dir_option,
                         Option{"--system", "", false,
                                    "Check the system-wide directories of every browser instead of the user's."}};
  commands.push_back(Command{std::move(doctor_syntax), run_doctor});
  return commands;
}

}  // namespace kelvarin::bridge
