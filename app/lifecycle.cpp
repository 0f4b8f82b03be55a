#include "app/lifecycle.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/bus.h"
#include "core/clock.h"
#include "core/config.h"

namespace kv {

TServiceLifecycle::TServiceLifecycle(TMainLoop& loop, TMohaaServerInfo& info, TFollowerFactory factory)
    : loop_(loop), info_(info), factory_(std::move(factory)) {}

TServiceLifecycle::~TServiceLifecycle() {
  if (restart_timer_) loop_.RemoveTimer(restart_timer_);
  if (watchdog_timer_) loop_.RemoveTimer(watchdog_timer_);
  StopFollower(ssh_);
  StopFollower(file_);
  StopFollower(ftp_);
}

void TServiceLifecycle::StopFollower(std::unique_ptr<TLogFollower>& f) {
  if (!f) return;
  f->Stop();
  f.reset();
}

void TServiceLifecycle::Start() {
  if (running_) return;
  running_ = true;
  if (info_.use_ssh && !ssh_ && factory_.ssh) ssh_ = factory_.ssh();
  if (info_.use_ftp && !ftp_ && factory_.ftp) ftp_ = factory_.ftp();
  if ((info_.use_direct || info_.use_ftp) && !file_ && factory_.file) file_ = factory_.file();
  if (factory_.enable_refresh) factory_.enable_refresh(true);
  status_ = "Kelvandrome started";
  if (!watchdog_timer_) watchdog_timer_ = loop_.AddTimer(kWatchdogMs, [this] { WatchdogTick(); });
}

void TServiceLifecycle::Stop() {
  if (!running_) return;
  running_ = false;
  StopFollower(ssh_);
  StopFollower(file_);
  StopFollower(ftp_);
  if (factory_.enable_refresh) factory_.enable_refresh(false);
  status_ = "Kelvandrome stopped";
  if (watchdog_timer_) loop_.RemoveTimer(watchdog_timer_);
  watchdog_timer_ = 0;
}

bool TServiceLifecycle::Healthy(const std::unique_ptr<TLogFollower>& f, int timeout_seconds) const {
  return f && f->IsAlive() && Now() <= f->LastNewMessageTime() + timeout_seconds / kSecondsPerDay;
}

void TServiceLifecycle::Lost(const std::string& what, const std::unique_ptr<TLogFollower>& f,
                             const std::string& suffix_text) {
  std::string text = what;
  if (f && f->IsAlive()) text += suffix_text + DateTimeText(f->LastNewMessageTime());
  PostGlobal(text, mlCritical);
  Stop();
}

void TServiceLifecycle::WatchdogTick() {
  if (!running_) return;
  // Each check sees what the previous one left: a Stop run by an earlier
  // check has emptied the follower slots already.
  if (info_.use_ssh && !Healthy(ssh_, Config().GetIntegerDef("LogFileSSHTimeOut", 60))) {
    Lost("SSH Session was terminated", ssh_, " (timeout) last new Message at :");
    RestartDecision("Not restarting the Session - check your SSH Setup - Last Error was at: ", 10);
  }
  if (info_.use_direct || info_.use_ftp) {
    const int timeout = info_.use_ftp ? Config().GetIntegerDef("LogFileFTPTimeOut", 240)
                                      : Config().GetIntegerDef("LogFileDirectTimeOut", 30);
    if (!Healthy(file_, timeout)) {
      Lost("LogFile Session was terminated", file_, " (timeout) - last new Message at :");
      RestartDecision(std::string("Not restarting the Session - check your ") +
                          (info_.use_ftp ? "FTP" : "Direct File") + " Setup - Last Error was at: ",
                      5);
    }
  }
  if (info_.use_ftp && !(ftp_ && ftp_->IsAlive())) {
    PostGlobal("FTPFile Session was terminated", mlCritical);
    Stop();
    RestartDecision("Not restarting the Session - check your FTP Setup - Last Error was at: ", 10);
  }
}

void TServiceLifecycle::RestartDecision(const std::string& refusal, int default_delay) {
  if (!Config().GetBoolDef("RestartOnError", true)) return;
  const double now = Now();
  const int window = Config().GetIntegerDef("ErrorRestartTimeOut", 60);
  if (now <= last_loss_time_ + window / kSecondsPerDay) {
    PostGlobal(refusal + DateTimeText(last_loss_time_), mlCritical);
  } else {
    // The configuration store writes a missing key's default at its first
    // read, so the message and the timer always agree on the delay.
    const int delay = Config().GetIntegerDef("ErrorRestartDelay", default_delay);
    PostGlobal("Trying to restart the lost session (in " + std::to_string(delay) + " seconds) ...",
               mlCritical);
    if (restart_timer_ == 0) {
      const int timer_delay = Config().GetIntegerDef("ErrorRestartDelay", 10);
      restart_timer_ = loop_.AddTimer(static_cast<int64_t>(timer_delay) * 1000, [this] {
        loop_.RemoveTimer(restart_timer_);
        restart_timer_ = 0;
        Start();
      });
    }
  }
  last_loss_time_ = now;
}

// ---------------------------------------------------------------------------
// Single instance

std::string InstanceKey(const std::string& home) {
  std::string dir = home;
  if (dir.empty() || dir.back() != '/') dir += '/';
  std::string key = "ZAQKelvandrome";
  for (char c : dir) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      std::strchr("!#%&()-;=[]_{}", c) != nullptr;
    if (keep && c != '\0') key += c;
  }
  return key;
}

namespace {

std::string RuntimeDirectory() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg && ::access(xdg, W_OK) == 0) return xdg;
  return "/tmp";
}

}  // namespace

std::unique_ptr<TInstanceLock> TInstanceLock::Acquire(const std::string& home, const std::string& about,
                                                      std::string& holder) {
  std::string name = InstanceKey(home);
  if (name.size() > 200) {
    // Keep file names short; the hash keeps long keys apart.
    name = name.substr(0, 180) + "-" + std::to_string(std::hash<std::string>{}(name));
  }
  const std::string path = RuntimeDirectory() + "/" + name + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    throw std::runtime_error("cannot create the instance lock " + path + ": " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char buf[1024];
    const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    holder.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
    ::close(fd);
    return nullptr;
  }
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, about.data(), about.size(), 0) < 0) {
    // The lock itself holds; only the description for a second start is lost.
  }
  return std::unique_ptr<TInstanceLock>(new TInstanceLock(fd, path));
}

TInstanceLock::~TInstanceLock() {
  // Empty the description first, so that a stale file never names a
  // process that has gone; the lock ends with the descriptor.
  if (::ftruncate(fd_, 0) != 0) {
  }
  ::close(fd_);
}

}  // namespace kv
