// mqctl: look at and drive a running quarantine over its two sockets.
#include "commands.h"

int main(int argc, char** argv) { return mqctl::run_tool(argc, argv); }
