// kelvandrome: the service's entry point. Parses the command line, blocks
// the stop signals for every thread and watches them on one thread of its
// own, runs the main loop on the main thread, and shuts down in order.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "app/service.h"
#include "app/version.h"

namespace {

void Usage(std::ostream& os) {
  os << "usage: kelvandrome [--home DIR] [--version]\n"
        "  --home DIR   the home directory (settings, Data/, Logs/); default: the program's directory\n";
}

std::string ProgramDirectory() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path().string() : exe.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string home;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--home" && i + 1 < argc) {
      home = argv[++i];
    } else if (arg == "--version") {
      std::cout << kv::kProductName << " " << kv::VersionText() << "\n";
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      Usage(std::cout);
      return 0;
    } else {
      std::cerr << "kelvandrome: unknown argument '" << arg << "'\n";
      Usage(std::cerr);
      return 1;
    }
  }
  if (home.empty()) home = ProgramDirectory();
  home = std::filesystem::absolute(home).lexically_normal().string();

  // Every thread inherits this mask; only the watcher below takes the signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  kv::TKelvandromeService service({home, &std::cout});
  try {
    service.Open();
  } catch (const std::exception& e) {
    std::cerr << "kelvandrome: " << e.what() << "\n";
    return 1;
  }

  std::atomic<bool> done{false};
  std::thread watcher([&] {
    const timespec tick{0, 200'000'000};
    while (!done.load()) {
      if (sigtimedwait(&stop_signals, nullptr, &tick) > 0) {
        service.RequestStop();
        return;
      }
    }
  });

  service.Run();
  done = true;
  watcher.join();
  service.Close();
  return 0;
}
