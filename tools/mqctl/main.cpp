// mqctl: look at and drive a running quarantine over its two sockets.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "errors.h"
#include "ov/error.h"

namespace mqctl {

namespace {

// The folder of the supervisor stand-in's default configuration, which
// holds both sockets: $XDG_STATE_HOME/orvane-mail-quarantine, else ./var.
std::string default_state_dir() {
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) return std::string(xdg) + "/orvane-mail-quarantine";
  return "var";
}

const args_t::option_table_t global_options{
    {"json", "help"}, {"sorter-socket", "client-socket", "state-dir", "timeout"}, {}};

void print_help(std::ostream& out) {
  out << "Usage: mqctl [OPTIONS] COMMAND [ARGS]\n"
         "\n"
         "Looks at and drives a running mail quarantine over its sockets.\n"
         "\n"
         "Management commands (client socket):\n";
  bool sorter_header = false;
  for (const auto& c : commands()) {
    if (!sorter_header && std::string(c.name) == "put") {
      out << "\nSorter-side commands (Sorter socket):\n";
      sorter_header = true;
    }
    out << "  " << c.name << (*c.usage ? " " : "") << c.usage << "\n      " << c.summary << "\n";
  }
  out << "\n"
         "STATUS is one of smtp-fresh, smtp-accepted, bcc-fresh, bcc-accepted.\n"
         "\n"
         "Options:\n"
         "  --state-dir DIR       folder of both sockets, as given to the supervisor stand-in\n"
         "                        (default $XDG_STATE_HOME/orvane-mail-quarantine, or ./var)\n"
         "  --sorter-socket PATH  Sorter socket (default DIR/sorter.sock)\n"
         "  --client-socket PATH  client socket (default DIR/client.sock)\n"
         "  --json                print JSON instead of tables\n"
         "  --timeout MS          wait at most MS milliseconds for each answer (default 30000, 0: no limit)\n"
         "  --help                print this help\n"
         "\n"
         "Exit status: 0 done, 1 the daemon answered with an error, 2 wrong arguments,\n"
         "3 the daemon could not be reached or the connection failed, 4 a local file\n"
         "could not be read or written.\n";
}

args_t::option_table_t merged(const args_t::option_table_t& a, const args_t::option_table_t& b) {
  args_t::option_table_t out = a;
  out.flags.insert(b.flags.begin(), b.flags.end());
  out.values.insert(b.values.begin(), b.values.end());
  out.repeated.insert(b.repeated.begin(), b.repeated.end());
  return out;
}

// Index of the command word: the first word that is neither an option nor
// the value of a global option.
std::size_t command_index(const std::vector<std::string>& words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--") return i + 1 < words.size() ? i + 1 : words.size();
    if (w.compare(0, 2, "--") != 0) return i;
    if (w.find('=') == std::string::npos && global_options.values.count(w.substr(2))) ++i;
  }
  return words.size();
}

int run(const std::vector<std::string>& words) {
  for (const auto& w : words) {
    if (w == "-h" || w == "--help") {
      print_help(std::cout);
      return exit_ok;
    }
  }
  const std::size_t at = command_index(words);
  if (at >= words.size()) throw usage_error_t("no command given");
  if (words[at] == "help") {
    print_help(std::cout);
    return exit_ok;
  }
  const command_t* command = nullptr;
  for (const auto& c : commands())
    if (words[at] == c.name) command = &c;
  if (!command) throw usage_error_t("unknown command '" + words[at] + "'");

  std::vector<std::string> rest(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(at));
  rest.insert(rest.end(), words.begin() + static_cast<std::ptrdiff_t>(at) + 1, words.end());
  const args_t args(rest, merged(global_options, command->table));

  context_t ctx;
  const std::string state_dir = args.value("state-dir").value_or(default_state_dir());
  ctx.sorter_socket = args.value("sorter-socket").value_or(state_dir + "/sorter.sock");
  ctx.client_socket = args.value("client-socket").value_or(state_dir + "/client.sock");
  ctx.json = args.flag("json");
  if (auto v = args.value("timeout")) {
    const std::uint64_t ms = parse_u64(*v, "timeout");
    if (ms > 86400000) throw usage_error_t("invalid timeout: '" + *v + "'");
    ctx.timeout_ms = ms == 0 ? -1 : static_cast<int>(ms);
  }
  ctx.out = &std::cout;
  ctx.err = &std::cerr;
  return command->run(ctx, args);
}

}  // namespace

const std::vector<command_t>& commands() {
  static const std::vector<command_t> list = {
      {"stat", "", "messages and bytes per status", {}, run_stat},
      {"list",
       "STATUS [--limit N] [--after ID:TS]",
       "entries of a status queue in key order: all of them, or one page of N after the key ID:TS",
       {{}, {"limit", "after"}, {}},
       run_list},
      {"flush", "STATUS", "make every entry of a status queue due at once", {}, run_flush},
      {"check",
       "[--fix]",
       "check the store's consistency, with --fix repair it; prints the report",
       {{"fix"}, {}, {}},
       run_check},
      {"put",
       "FILE [--sender S] [--rcpt R]... [--status STATUS] [--session-id ID] [--received-ts TS] "
       "[--next-access-ts TS] [--helo H] [--address A] [--port P] [--proto P]",
       "store a message file with its envelope (status smtp-fresh unless given); prints the new id",
       {{},
        {"sender", "status", "session-id", "received-ts", "next-access-ts", "helo", "address", "port", "proto"},
        {"rcpt"}},
       run_put},
      {"get",
       "ID [--out FILE]",
       "show an entry and write its message to FILE, or to standard output with the entry on standard error",
       {{}, {"out"}, {}},
       run_get},
      {"update",
       "ID [--attempts N] [--next-access-ts TS] [--status STATUS] [--sender S] [--rcpt R]... [--file NEW]",
       "change an entry; --rcpt replaces all recipients, --file replaces the message",
       {{}, {"attempts", "next-access-ts", "status", "sender", "file"}, {"rcpt"}},
       run_update},
      {"remove", "ID", "delete an entry and its message", {}, run_remove},
      {"ids",
       "STATUS [--due TS] [--limit N] [--after ID:TS]",
       "entry keys (ID:TS) of a status queue in key order; --due stops at the first key later than TS",
       {{}, {"due", "limit", "after"}, {}},
       run_ids},
      {"watch",
       "[--count N]",
       "print queue-change notifications until interrupted, or after N of them",
       {{}, {"count"}, {}},
       run_watch},
  };
  return list;
}

}  // namespace mqctl

int main(int argc, char** argv) {
  using namespace mqctl;
  std::vector<std::string> words(argv + 1, argv + argc);
  try {
    return run(words);
  } catch (const usage_error_t& e) {
    std::cerr << "mqctl: " << e.what() << "\nTry 'mqctl --help'.\n";
    return exit_usage;
  } catch (const daemon_error_t& e) {
    std::cerr << "mqctl: the daemon answered with an error: " << ov::error_code_name(e.code) << ": " << e.what()
              << '\n';
    return exit_daemon_error;
  } catch (const connection_error_t& e) {
    std::cerr << "mqctl: " << e.what() << '\n';
    return exit_connection;
  } catch (const file_error_t& e) {
    std::cerr << "mqctl: " << e.what() << '\n';
    return exit_file;
  } catch (const std::exception& e) {
    std::cerr << "mqctl: " << e.what() << '\n';
    return exit_connection;
  }
}
