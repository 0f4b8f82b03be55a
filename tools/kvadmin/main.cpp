#include <csignal>
#include <iostream>

#include "tools/kvadmin/kvadmin.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  return kv::admin::Run(args, {std::cout, std::cerr});
}
