#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "args.h"

namespace mqctl {

struct context_t {
  std::string sorter_socket;
  std::string client_socket;
  bool json = false;
  int timeout_ms = 30000;  // < 0: wait for ever
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
};

struct command_t {
  const char* name;
  const char* usage;    // arguments and options after the name
  const char* summary;  // one line
  const char* details;  // more help: options, examples ("" for none)
  bool selects;         // takes the selection options
  args_t::option_table_t table;
  int (*run)(const context_t& ctx, const args_t& args);
};

// Every command, in the order of the help text.
const std::vector<command_t>& commands();

// The whole tool: runs the command line, reports errors on standard
// error and returns the exit status.
int run_tool(int argc, char** argv);

// Over the client socket.
int run_stat(const context_t& ctx, const args_t& args);
int run_list(const context_t& ctx, const args_t& args);
int run_shape(const context_t& ctx, const args_t& args);
int run_top(const context_t& ctx, const args_t& args);
int run_flush(const context_t& ctx, const args_t& args);
int run_check(const context_t& ctx, const args_t& args);
int run_metrics(const context_t& ctx, const args_t& args);

// The age columns of `shape --by-age`, youngest first.
const std::vector<std::string>& shape_age_names();

// Over the Sorter socket.
int run_put(const context_t& ctx, const args_t& args);
int run_get(const context_t& ctx, const args_t& args);
int run_update(const context_t& ctx, const args_t& args);
int run_remove(const context_t& ctx, const args_t& args);
int run_retry(const context_t& ctx, const args_t& args);
int run_move(const context_t& ctx, const args_t& args);
int run_delay(const context_t& ctx, const args_t& args);
int run_ids(const context_t& ctx, const args_t& args);
int run_watch(const context_t& ctx, const args_t& args);

}  // namespace mqctl
