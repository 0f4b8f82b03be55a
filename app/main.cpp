// kelvandrome: the service's entry point. Parses the command line, blocks
// the stop signals for every thread and watches them on one thread of its
// own, runs the main loop on the main thread, and shuts down in order.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "app/lifecycle.h"
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

  std::string holder;
  const std::string about = "Kelvandrome (pid " + std::to_string(::getpid()) + ") in " + home +
                            "; its console is this terminal or its service manager's journal";
  std::unique_ptr<kv::TInstanceLock> instance;
  try {
    instance = kv::TInstanceLock::Acquire(home, about, holder);
  } catch (const std::exception& e) {
    std::cerr << "kelvandrome: " << e.what() << "\n";
    return 1;
  }
  if (!instance) {
    std::cout << "Kelvandrome is already running for " << home << ": "
              << (holder.empty() ? std::string("(no details)") : holder) << "\n";
    return 0;
  }

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

  // Service commands typed on the terminal. The end of standard input is no
  // request to stop: the service also runs without a terminal.
  std::thread commands([&] {
    std::string pending;
    char buf[512];
    while (!done.load()) {
      pollfd p{0, POLLIN, 0};
      const int ready = ::poll(&p, 1, 200);
      if (ready <= 0) continue;
      const ssize_t n = ::read(0, buf, sizeof buf);
      if (n <= 0) return;
      pending.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        const std::string answer = service.TerminalCommand(pending.substr(0, nl));
        pending.erase(0, nl + 1);
        if (!answer.empty()) std::cout << answer << std::endl;
      }
    }
  });

  service.Run();
  done = true;
  watcher.join();
  commands.join();
  service.Close();
  return 0;
}
