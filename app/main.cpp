// kelvandrome: the service's entry point. Parses the command line, blocks
// the stop signals for every thread and watches them on one thread of its
// own, runs the main loop on the main thread, and shuts down in order.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
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

// A service manager or a careless caller may start us with standard input,
// output or error closed. The next file opened would then take that number
// and be read as commands or written over by the terminal printer: put
// /dev/null there first.
void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);  // the lowest free number: fd
    if (opened < 0) std::_Exit(1);
    if (opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

// The end of the program for the helper threads below: readable once
// Finish() was called, so they sleep in poll() until there is input, a
// signal or the end, and never wake just to look.
class TDoneSignal {
 public:
  TDoneSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~TDoneSignal() {
    if (fd_ >= 0) ::close(fd_);
  }
  TDoneSignal(const TDoneSignal&) = delete;
  TDoneSignal& operator=(const TDoneSignal&) = delete;

  void Finish() {
    done_.store(true);
    const uint64_t one = 1;
    if (fd_ >= 0 && ::write(fd_, &one, sizeof one) < 0) {
    }
  }
  bool Done() const { return done_.load(); }
  // Waits until fd is readable (true) or the end (false). Without an
  // eventfd (none left) it looks at the end every 200 ms.
  bool WaitReadable(int fd) const {
    while (!Done()) {
      pollfd p[2] = {{fd, POLLIN, 0}, {fd_, POLLIN, 0}};
      const int ready = ::poll(p, fd_ >= 0 ? 2 : 1, fd_ >= 0 ? -1 : 200);
      if (ready > 0 && p[0].revents != 0) return !Done();
    }
    return false;
  }

 private:
  int fd_;
  std::atomic<bool> done_{false};
};

std::string ProgramDirectory() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path().string() : exe.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  OpenStandardDescriptors();
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

  // The instance lock lives in the home: a new home is made first.
  std::error_code made;
  std::filesystem::create_directories(home, made);
  if (made) {
    std::cerr << "kelvandrome: cannot create " << home << ": " << made.message() << "\n";
    return 1;
  }
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
  // The watcher runs before the start-up, so that a stop signal is heard
  // while the service opens or closes too. A second signal ends the process
  // at once, should a shutdown ever hang.
  TDoneSignal done;
  const int signal_fd = ::signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
  std::thread watcher([&] {
    const timespec tick{0, 200'000'000};
    int received = 0;
    while (!done.Done()) {
      if (signal_fd >= 0) {
        signalfd_siginfo info;
        if (!done.WaitReadable(signal_fd) || ::read(signal_fd, &info, sizeof info) != sizeof info) continue;
      } else if (sigtimedwait(&stop_signals, nullptr, &tick) <= 0) {
        continue;  // no signalfd (none left): look at the end now and then
      }
      if (++received == 1) {
        service.RequestStop();
      } else {
        static const char kText[] = "kelvandrome: second stop signal, ending at once\n";
        if (::write(2, kText, sizeof kText - 1) < 0) {
        }
        std::_Exit(1);
      }
    }
  });
  try {
    service.Open();
  } catch (const std::exception& e) {
    std::cerr << "kelvandrome: " << e.what() << std::endl;
    done.Finish();
    watcher.join();
    return 1;
  }

  // Service commands typed on the terminal. The end of standard input is no
  // request to stop: the service also runs without a terminal.
  std::thread commands([&] {
    std::string pending;
    char buf[512];
    while (done.WaitReadable(0)) {
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
  done.Finish();
  watcher.join();
  commands.join();
  if (signal_fd >= 0) ::close(signal_fd);
  service.Close();
  return 0;
}
