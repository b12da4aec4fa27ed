// The command line of mqctl: the table of commands, and errors as exit statuses.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "errors.h"
#include "ov/error.h"
#include "selection.h"
#include "text.h"

namespace mqctl {

namespace {

// The folder that holds both sockets: that of the supervisor stand-in's
// default configuration ($XDG_STATE_HOME/orvane-mail-quarantine, else ./var)
// or, where neither exists, that of the packaged service.
std::string default_state_dir() {
  const char* xdg = std::getenv("XDG_STATE_HOME");
  std::string own = xdg && *xdg ? std::string(xdg) + "/orvane-mail-quarantine" : "var";
  const char* const service = "/run/orvane-mail-quarantine";
  struct stat st {};
  if (::stat(own.c_str(), &st) != 0 && ::stat(service, &st) == 0 && S_ISDIR(st.st_mode)) return service;
  return own;
}

// The help of the bulk actions, with the action's own first paragraph.
#define MQCTL_BULK_HELP(first)                                                          \
  first                                                                                 \
      "Acts on the entries given by id ('-' reads ids from standard input, as\n"        \
      "'list --ids' prints them), or on those a selection picks (read first, page\n"    \
      "by page). It prints what it will do and, when standard input is a terminal,\n"   \
      "asks before doing it; on a selection without a terminal it needs --yes\n"        \
      "(--dry-run only tells). Each entry is read and then changed over the Sorter\n"   \
      "socket, --parallel N (default 16) at a time; an entry that is gone meanwhile\n"  \
      "is counted as \"already gone\" (an id named on the command line and not found\n" \
      "is told by id and makes the exit status 1), one that changed so that the\n"      \
      "selection no longer picks it as \"changed meanwhile\" and is left alone. On a\n" \
      "terminal a progress line shows entries done / total and the rate. The\n"         \
      "summary tells what was done and the reasons of failures. Ctrl-C stops after\n"   \
      "the requests in flight (status 130); when the daemon goes away the summary\n"    \
      "also says how many requests had no answer (status 3).\n"                         \
      "\n"                                                                              \
      "Examples:\n"                                                                     \
      "  mqctl remove --all --domain spam.test --yes\n"                                 \
      "  mqctl list smtp-accepted --older-than 5d --ids | mqctl remove -\n"             \
      "  mqctl move smtp-fresh --sender '^a@' --to bcc-fresh --yes\n"                   \
      "  mqctl retry smtp-accepted --domain example.org --dry-run\n"                    \
      "  mqctl delay 2h smtp-accepted --rcpt '@slow\\.example$' --yes\n"

const char* const remove_help =
    MQCTL_BULK_HELP("'remove ID' alone removes that entry and says \"Removed entry ID\".\n\n");
const char* const other_bulk_help = MQCTL_BULK_HELP("");

const args_t::option_table_t global_options{
    {"json", "help", "version"}, {"sorter-socket", "client-socket", "state-dir", "timeout"}, {}};

const char* const global_help =
    "Options:\n"
    "  --state-dir DIR       folder of both sockets, as given to the supervisor stand-in\n"
    "                        (default $XDG_STATE_HOME/orvane-mail-quarantine, or ./var;\n"
    "                        where that is missing, /run/orvane-mail-quarantine)\n"
    "  --sorter-socket PATH  Sorter socket (default DIR/sorter.sock)\n"
    "  --client-socket PATH  client socket (default DIR/client.sock)\n"
    "  --json                print JSON for scripts (lists: one object a line)\n"
    "  --timeout MS          wait at most MS milliseconds for each answer (default 30000, 0: no limit)\n"
    "  --help                print this help; after a command, the help of the command\n"
    "  --version             print the version\n";

const char* const exit_help =
    "Exit status: 0 done, 1 the daemon answered with an error, an entry named by id\n"
    "is not there, a bulk action had failures, or check found problems; 2 wrong\n"
    "arguments; 3 the daemon could not be reached or the connection failed (a bulk\n"
    "action cut short by it prints its summary first); 4 a local file could not be\n"
    "read or written (standard output included); 130 interrupted.\n";

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
         "SELECTION: see 'mqctl help list'. 'mqctl help COMMAND' tells more about a command.\n"
         "\n"
      << global_help << "\n"
      << exit_help;
}

void print_command_help(std::ostream& out, const command_t& c) {
  out << "Usage: mqctl [OPTIONS] " << c.name << (*c.usage ? " " : "") << c.usage << "\n\n" << c.summary << "\n";
  if (*c.details) out << "\n" << c.details;
  if (c.selects) out << "\n" << selection_t::help();
  out << "\n" << global_help;
}

const command_t* find_command(const std::string& name) {
  for (const auto& c : commands())
    if (name == c.name) return &c;
  return nullptr;
}

// For the shell completion: the option names of a command, or of mqctl.
void print_options(std::ostream& out, const command_t* c) {
  std::set<std::string> names;
  auto take = [&names](const args_t::option_table_t& t) {
    for (const auto* set : {&t.flags, &t.values, &t.repeated})
      for (const auto& n : *set) names.insert("--" + n);
  };
  take(global_options);
  if (c) take(c->table);
  if (c && c->selects) take(selection_t::options());
  for (const auto& n : names) out << n << '\n';
}

int run_help(const std::vector<std::string>& words) {
  if (words.empty()) {
    print_help(std::cout);
    return exit_ok;
  }
  if (words[0] == "--commands" && words.size() == 1) {
    for (const auto& c : commands()) std::cout << c.name << '\n';
    std::cout << "help\n";
    return exit_ok;
  }
  if (words[0] == "--options" && words.size() <= 2) {
    print_options(std::cout, words.size() == 2 ? find_command(words[1]) : nullptr);
    return exit_ok;
  }
  if (words.size() > 1) throw usage_error_t("usage: mqctl help [COMMAND]");
  const command_t* c = find_command(words[0]);
  if (!c) throw usage_error_t("help: unknown command '" + words[0] + "'");
  print_command_help(std::cout, *c);
  return exit_ok;
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
  const std::size_t at = command_index(words);
  const bool help = std::find_if(words.begin(), words.end(),
                                 [](const std::string& w) { return w == "-h" || w == "--help"; }) != words.end();
  if (at < words.size() && words[at] == "help")
    return run_help(std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(at) + 1, words.end()));
  const command_t* command = at < words.size() ? find_command(words[at]) : nullptr;
  if (std::find(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(at), "--version") !=
      words.begin() + static_cast<std::ptrdiff_t>(at)) {
    std::cout << "mqctl " << MQCTL_VERSION << '\n';
    return exit_ok;
  }
  if (help) {
    if (command) {
      print_command_help(std::cout, *command);
    } else {
      print_help(std::cout);
    }
    return exit_ok;
  }
  if (at >= words.size()) throw usage_error_t("no command given");
  if (!command) throw usage_error_t("unknown command '" + words[at] + "'");

  std::vector<std::string> rest(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(at));
  rest.insert(rest.end(), words.begin() + static_cast<std::ptrdiff_t>(at) + 1, words.end());
  auto table = merged(global_options, command->table);
  if (command->selects) table = merged(table, selection_t::options());
  const args_t args(rest, table);

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
      {"stat", "", "messages and bytes per status", "", false, {}, run_stat},
      {"list",
       "(STATUS | --all) [SELECTION] [--ids | --count] [--utc | --epoch]",
       "the selected entries in key order (next access time, then id), read page by page",
       "Columns: id, status (with --all), age (since received), size in bytes, next\n"
       "access time, attempts, session id, sender and recipients. Times are local ISO\n"
       "8601, \"due\" when 0 or past. Text from the envelope is shown escaped\n"
       "(\\n, \\e, \\xNN, \\\\ ...), so that one entry is one line. Age and size are\n"
       "read entry by entry over the Sorter socket.\n"
       "  --utc     times in UTC\n"
       "  --epoch   times as seconds since the epoch, as stored (RECEIVED_TS for age)\n"
       "  --ids     only the ids, one a line\n"
       "  --count   only how many entries are selected\n"
       "  --json    one JSON object a line: id, status, received_ts, message_size,\n"
       "            next_access_ts, attempts, session_id, sender, recipients (with\n"
       "            --count: {\"count\":N}); bytes that are no UTF-8 come as \\udc80 to\n"
       "            \\udcff (U+DC00 + the byte)\n"
       "With --limit N on one status, the last line names the key to go on from\n"
       "(--after ID:TS).\n"
       "\n"
       "Examples:\n"
       "  mqctl list smtp-accepted --domain example.org --count\n"
       "  mqctl list --all --sender '^bounce@' --due --ids\n"
       "  mqctl list smtp-fresh --older-than 2d --larger-than 10M\n"
       "  mqctl list bcc-fresh --json | jq -r .sender\n",
       true,
       {{"ids", "count", "utc", "epoch"}, {}, {}},
       run_list},
      {"shape",
       "[STATUS | --all] [SELECTION] [--by domain|sender|sender-address] [--by-age] [--roll-up N] [--top N]",
       "how the queues are shaped: entries per recipient domain by due time (or age) and attempts",
       "One row per recipient domain (an entry counts once in every domain it has\n"
       "recipients in), or per sender domain (--by sender) or sender address\n"
       "(--by sender-address); the N largest rows (--top, default 20), the others\n"
       "together, and a total row that counts every entry once. Columns: entries,\n"
       "then due now, due within 5 minutes, 1 hour, 4 hours, 1 day, later; then\n"
       "attempts 0, 1, 2-4, 5-9, 10 and more. Without STATUS, every status.\n"
       "  --by-age      columns by age since received instead of due time: under 5,\n"
       "                10, 20, 40, ... 1280 minutes, older\n"
       "  --roll-up N   count a domain under its last N labels (2: mx.eu.example.org\n"
       "                as example.org)\n"
       "Domains are compared case-folded, punycode and Unicode forms as one.\n",
       true,
       {{"by-age"}, {"by", "top", "roll-up"}, {}},
       run_shape},
      {"top",
       "[--interval DURATION] [--overdue N] [--iterations N]",
       "a live view of messages and bytes per status with their rates, and the most overdue entries",
       "On a terminal the view refreshes every --interval (default 2s) until q is\n"
       "pressed; it lists the --overdue N (default 10) entries longest past their\n"
       "next access time (one due at 0 counts as overdue since it was received).\n"
       "Otherwise it prints one line per interval (with --json one object a line,\n"
       "the most overdue in \"most_overdue\"). --iterations N stops after N refreshes.\n",
       false,
       {{}, {"interval", "overdue", "iterations"}, {}},
       run_top},
      {"flush",
       "STATUS",
       "make every entry of a status queue due at once (the daemon logs it)",
       "",
       false,
       {},
       run_flush},
      {"check",
       "[--fix | --list]",
       "check the store's consistency, with --fix repair it; prints the report",
       "Exit status 0 when nothing was found, 1 when problems were found (with\n"
       "--fix: found and repaired as far as possible), as fsck does. --json gives\n"
       "the counts as numbers: orphaned_db_records, orphaned_files, orphaned_bytes,\n"
       "non_regular_files (with --fix also removed_files, removed_bytes), problems\n"
       "and the report.\n"
       "  --list   find them by name: entries the daemon cannot read (by id), message\n"
       "           files no entry owns and non-regular files (by file name); reads\n"
       "           the message directory, so it runs where the spool is readable\n",
       false,
       {{"fix", "list"}, {}, {}},
       run_check},
      {"metrics", "", "the queue metrics once, for a textfile collector", "", false, {}, run_metrics},
      {"put",
       "FILE [--sender S] [--rcpt R]... [--status STATUS] [--session-id ID] [--received-ts TS] "
       "[--next-access-ts TS] [--helo H] [--address A] [--port P] [--proto P]",
       "store a message file with its envelope (status smtp-fresh unless given); prints the new id",
       "The received time is now unless --received-ts says otherwise. Times take the\n"
       "forms of every time option: 'now', relative (2h, -30m), ISO 8601 or epoch\n"
       "seconds.\n",
       false,
       {{},
        {"sender", "status", "session-id", "received-ts", "next-access-ts", "helo", "address", "port", "proto"},
        {"rcpt"}},
       run_put},
      {"get",
       "(ID | -) [--out FILE]",
       "show an entry and write its message to FILE, or to standard output with the entry on standard error",
       "",
       false,
       {{}, {"out"}, {}},
       run_get},
      {"update",
       "(ID | -) [--attempts N] [--next-access-ts T] [--status STATUS] [--sender S] [--rcpt R]... [--file NEW]",
       "change an entry; --rcpt replaces all recipients, --file replaces the message",
       "An id that is not there is an error (status 1); T as for put.\n",
       false,
       {{}, {"attempts", "next-access-ts", "status", "sender", "file"}, {"rcpt"}},
       run_update},
      {"remove",
       "(ID... | - | STATUS | --all) [SELECTION] [--dry-run] [--yes] [--parallel N]",
       "delete entries and their messages: by id, or all the selected ones (the daemon logs each)",
       remove_help,
       true,
       {{"dry-run", "yes"}, {"parallel"}, {}},
       run_remove},
      {"retry",
       "(ID... | - | STATUS | --all) [SELECTION] [--dry-run] [--yes] [--parallel N]",
       "make entries due now (next access time 0), like a flush limited to them",
       other_bulk_help,
       true,
       {{"dry-run", "yes"}, {"parallel"}, {}},
       run_retry},
      {"move",
       "(ID... | - | STATUS | --all) --to STATUS [SELECTION] [--dry-run] [--yes] [--parallel N]",
       "give entries another status (the daemon logs each)",
       other_bulk_help,
       true,
       {{"dry-run", "yes"}, {"to", "parallel"}, {}},
       run_move},
      {"delay",
       "DURATION (ID... | - | STATUS | --all) [SELECTION] [--dry-run] [--yes] [--parallel N]",
       "set the next access time of entries to now + DURATION (90s, 30m, 2h, 1d, 1h30m)",
       other_bulk_help,
       true,
       {{"dry-run", "yes"}, {"parallel"}, {}},
       run_delay},
      {"ids",
       "STATUS [--due T] [--limit N] [--after ID:TS]",
       "entry keys (ID:TS) of a status queue in key order; --due stops at the first key later than T (now, 2h, ...)",
       "",
       false,
       {{}, {"due", "limit", "after"}, {}},
       run_ids},
      {"watch",
       "[--count N]",
       "print the keys each flush made due, until interrupted or after N flushes",
       "The daemon announces only flushes: one line per flush, the status and the\n"
       "keys (ID:TS) it made due. Puts, updates, moves and removals are not\n"
       "announced; the daemon's log has those.\n",
       false,
       {{}, {"count"}, {}},
       run_watch},
  };
  return list;
}

namespace {

// What was written to standard output must have got there: a full disk
// or a closed pipe is an error, not success.
int flushed(int status) {
  std::cout.flush();
  if (std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  const int error = errno;
  std::cerr << "mqctl: cannot write to standard output: " << std::strerror(error ? error : EIO) << '\n';
  return exit_file;
}

}  // namespace

int run_tool(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  try {
    return flushed(run(words));
  } catch (const usage_error_t& e) {
    std::cerr << "mqctl: " << e.what() << "\nTry 'mqctl --help'.\n";
    return flushed(exit_usage);
  } catch (const not_found_error_t& e) {
    std::cerr << "mqctl: " << e.what() << '\n';
    return flushed(exit_daemon_error);
  } catch (const daemon_error_t& e) {
    std::cerr << "mqctl: the daemon answered with an error: " << shown(e.what()) << " ("
              << ov::error_code_name(e.code()) << ")\n";
    return flushed(exit_daemon_error);
  } catch (const connection_error_t& e) {
    std::cerr << "mqctl: " << e.what() << '\n';
    return flushed(exit_connection);
  } catch (const file_error_t& e) {
    std::cerr << "mqctl: " << e.what() << '\n';
    return exit_file;
  } catch (const std::exception& e) {
    std::cerr << "mqctl: " << e.what() << '\n';
    return flushed(exit_connection);
  }
}

}  // namespace mqctl
