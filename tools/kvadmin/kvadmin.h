// kvadmin: the command-line client of the remote-administration protocol.
// One run sends one request (two for "accounts update") and prints the
// answer as a table, or as JSON with --json for scripts.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kv::admin {

struct TAdminIO {
  std::ostream& out;
  std::ostream& err;
};

// Runs kvadmin with its arguments (without the program name). Returns the
// exit code: 0 done, 1 failed (connection, refusal, failed command), 2 usage.
int Run(const std::vector<std::string>& args, TAdminIO io);

}  // namespace kv::admin
