// Runs one kvtool command in the test's process, with `input` as its
// standard input, and keeps what it printed.
#pragma once

#include <sstream>
#include <string>

#include "tools/kvtool/kvtool.h"

namespace kv::tool {

struct TRun {
  int rc;
  std::string out, err;
};

inline TRun Kvtool(const TArgs& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int rc = RunKvtool(args, {in, out, err});
  return {rc, out.str(), err.str()};
}

}  // namespace kv::tool
