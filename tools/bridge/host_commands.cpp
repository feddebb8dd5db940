// list, info and call: the commands that talk to running hosts through the
// client library.

#include "cli.hpp"
#include "client_errors.hpp"

#include "core/json.hpp"

#include <charconv>
#include <iomanip>
#include <ostream>

namespace kelvarin::bridge {

namespace {

// Long enough for a busy host, short enough that a list of stale files
// does not keep the user waiting.
constexpr client::milliseconds probe_timeout{1000};

const Option profile_option{"--profile", "ID", false,
                                "The host serving this browser profile (needed when several run)."};
const Option timeout_option{"--timeout", "MS", false, "How long to wait for the reply (default 35000)."};

struct Probe {
  client::HostEntry host;
  std::optional<client::Error> failure;  // why the host did not answer as itself
};

json::object describe(const client::HostEntry& host) {
  return {{"browserName", host.browser_name},
          {"extensionVersion", host.extension_version},
          {"hostId", host.host_id},
          {"path", host.path},
          {"port", host.port},
          {"profileId", host.profile_id}};
}

int run_list(const Args&, const Output& output) {
  auto scan = client::scan_hosts();
  if (!scan) {
    return report(output, scan.error());
  }
  std::vector<Probe> probes;
  for (const auto& host : scan->hosts) {
    auto session = client::Session::open(host, probe_timeout);
    probes.push_back({session ? session->host() : host,
                      session ? std::nullopt : std::optional<client::Error>(session.error())});
  }
  if (output.json) {
    json::array hosts;
    for (const auto& probe : probes) {
      auto entry = describe(probe.host);
      entry["status"] = probe.failure ? "stale" : "running";
      if (probe.failure) {
        entry["reason"] = probe.failure->text();
      }
      hosts.push_back(std::move(entry));
    }
    json::array unreadable;
    for (const auto& path : scan->unreadable) {
      unreadable.push_back(json::string(path));
    }
    output.document(json::object{{"hosts", std::move(hosts)}, {"unreadable", std::move(unreadable)}});
    return exit_ok;
  }
  if (probes.empty()) {
    output.out << "No host is running.\n";
  } else {
    std::size_t profile_width = 7;
    std::size_t browser_width = 7;
    for (const auto& probe : probes) {
      profile_width = std::max(profile_width, probe.host.profile_id.size());
      browser_width = std::max(browser_width, probe.host.browser_name.size());
    }
    auto row = [&](std::string_view profile, std::string_view browser, std::string_view version,
                   std::string_view port, std::string_view host_id, std::string_view status) {
      output.out << std::left << std::setw(static_cast<int>(profile_width) + 2) << profile
                 << std::setw(static_cast<int>(browser_width) + 2) << browser << std::setw(11) << version
                 << std::setw(7) << port << std::setw(38) << host_id << status << '\n';
    };
    row("PROFILE", "BROWSER", "EXTENSION", "PORT", "HOST ID", "STATUS");
    for (const auto& probe : probes) {
      row(probe.host.profile_id, probe.host.browser_name, probe.host.extension_version,
          std::to_string(probe.host.port), probe.host.host_id,
          probe.failure ? "stale (" + probe.failure->text() + ")" : "running");
    }
  }
  for (const auto& path : scan->unreadable) {
    output.out << "Not a discovery file: " << path << '\n';
  }
  if (std::ranges::any_of(probes, [](const Probe& p) { return p.failure.has_value(); })) {
    output.out << "A stale file is left by a host that was killed; \"kelvarin-bridge doctor\" explains more.\n";
  }
  return exit_ok;
}

std::expected<client::milliseconds, std::string> timeout_of(const Args& args) {
  const auto text = args.value("--timeout");
  if (!text) {
    return client::default_call_timeout;
  }
  long long ms = 0;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), ms);
  if (ec != std::errc{} || end != text->data() + text->size() || ms <= 0) {
    return std::unexpected("--timeout takes a positive number of milliseconds.");
  }
  return client::milliseconds(ms);
}

int run_info(const Args& args, const Output& output) {
  auto session = client::connect(args.value("--profile"));
  if (!session) {
    return report(output, session.error());
  }
  const auto& host = session->host();
  if (output.json) {
    output.document(describe(host));
    return exit_ok;
  }
  output.out << "profile    " << host.profile_id << "\nbrowser    " << host.browser_name << "\nextension  "
             << host.extension_version << "\nhost id    " << host.host_id << "\nport       " << host.port
             << "\nfile       " << host.path << '\n';
  return exit_ok;
}

int run_call(const Args& args, const Output& output) {
  const auto timeout = timeout_of(args);
  if (!timeout) {
    return output.fail(exit_usage, "usage", timeout.error());
  }
  json::object params;
  if (const auto text = args.value("--params")) {
    const auto value = parse_json(*text);
    if (!value || !value->is_object()) {
      return output.fail(exit_usage, "usage", "--params takes a JSON object, such as '{\"ttlMs\":90000}'.");
    }
    params = value->as_object();
  }
  auto session = client::connect(args.value("--profile"));
  if (!session) {
    return report(output, session.error());
  }
  auto result = session->call(args.positional.at(0), std::move(params), *timeout);
  if (!result) {
    return report(output, result.error());
  }
  if (output.json) {
    output.document(json::object{{"result", std::move(*result)}});
  } else {
    output.out << to_json_text(*result) << '\n';
  }
  return exit_ok;
}

}  // namespace

std::vector<Command> host_commands() {
  return {
      Command{.syntax = {.name = "list",
                       .summary = "Show running hosts and mark stale discovery files.",
                       .details = "Reads every discovery file under ~/.kelvarin and asks each host to describe\n"
                                  "itself. A file whose host does not answer as itself is stale: its host was\n"
                                  "killed before it could remove it. Secrets are never shown.",
                       .options = {}},
              .run = run_list},
      Command{.syntax = {.name = "info",
                       .summary = "Describe the running host of a browser profile.",
                       .details = "Connects to the host (the only one running, or the one for --profile) and\n"
                                  "shows what \"bridge.info\" returns, with its port and discovery file.\n"
                                  "Exits 3 when no host runs, 2 when several run and no --profile was given.",
                       .options = {profile_option}},
              .run = run_info},
      Command{.syntax = {.name = "call",
                       .arguments = "METHOD",
                       .min_positional = 1,
                       .max_positional = 1,
                       .summary = "Send one request to a host and show its reply (for debugging).",
                       .details = "Sends METHOD with --params (a JSON object, default {}) and the host's\n"
                                  "secret, and prints the reply's result. An error reply prints its code and\n"
                                  "message and exits 1. A lease taken with browser.connect ends when this\n"
                                  "command exits, because its connection closes.",
                       .options = {profile_option,
                                   Option{"--params", "JSON", false, "The request's params, a JSON object."},
                                   timeout_option}},
              .run = run_call},
  };
}

}  // namespace kelvarin::bridge
