// kvtool entry point: see tools/kvtool/kvtool.h.
#include <iostream>

#include "tools/kvtool/kvtool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  kv::tool::TArgs args(argv + 1, argv + argc);
  const int rc = kv::tool::RunKvtool(args, {std::cin, std::cout, std::cerr});
  std::cout.flush();
  return rc;
}
