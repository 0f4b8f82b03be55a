#include "app/lifecycle.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/bus.h"
#include "core/clock.h"
#include "domain/settings.h"
#include "formats/config.h"

namespace kv {

TServiceLifecycle::TServiceLifecycle(TMainLoop& loop, TMohaaServerInfo& info, TFollowerFactory factory)
    : loop_(loop), info_(info), factory_(std::move(factory)) {}

TServiceLifecycle::~TServiceLifecycle() {
  // The timers go first, so none of them starts a follower meanwhile.
  restart_timer_.Reset();
  retry_timer_.Reset();
  watchdog_timer_.Reset();
  StopFollower(ssh_);
  StopFollower(file_);
  StopFollower(ftp_);
}

void TServiceLifecycle::StopFollower(std::unique_ptr<TLogFollower>& f) {
  if (!f) return;
  f->Stop();
  f.reset();
}

namespace {

std::string Unavailable(const char* follower, const char* key) {
  return std::string("The ") + follower + " log follower (" + key +
         "=1) is not available in this version yet: no game log is followed and nothing is restarted. "
         "Follow a local log file (UseDirect=1) or none (UseNoLog=1).";
}

}  // namespace

void TServiceLifecycle::Start() {
  if (running_) return;
  running_ = true;
  const std::shared_ptr<const TLogSourceSettings> src = source_.Get();
  if (src->use_ssh && !SshAvailable()) PostGlobal(Unavailable("SSH", "UseSSH"), mlCritical);
  if (src->use_ftp && !FtpAvailable()) PostGlobal(Unavailable("FTP", "UseFTP"), mlCritical);
  if (src->use_ssh && !ssh_ && SshAvailable()) ssh_ = factory_.ssh();
  if (src->use_ftp && !ftp_ && FtpAvailable()) ftp_ = factory_.ftp();
  // In FTP mode the local-file follower reads the copy the downloader
  // keeps growing: without a downloader there is nothing to follow.
  const bool file_source = src->use_direct || (src->use_ftp && FtpAvailable());
  if (file_source && !file_ && factory_.file) file_ = factory_.file();
  if (factory_.enable_refresh) factory_.enable_refresh(true);
  status_ = "Kelvandrome started";
  if (!watchdog_timer_) watchdog_timer_ = loop_.StartTimer(kWatchdogMs, [this] { WatchdogTick(); });
}

void TServiceLifecycle::Stop() {
  // The operator wants the service stopped: no retry may start it again.
  retry_timer_.Reset();
  retry_delay_ = 0;
  retry_announced_ = false;
  Halt();
}

void TServiceLifecycle::Halt() {
  if (!running_) return;
  running_ = false;
  StopFollower(ssh_);
  StopFollower(file_);
  StopFollower(ftp_);
  if (factory_.enable_refresh) factory_.enable_refresh(false);
  status_ = "Kelvandrome stopped";
  watchdog_timer_.Reset();
}

bool TServiceLifecycle::Healthy(const std::unique_ptr<TLogFollower>& f, int timeout_seconds) const {
  if (!f || !f->IsAlive()) return false;
  // A quiet log is no lost log while the game server answers its status
  // polls: an empty server at night writes nothing for hours.
  const double now = Now();
  const double limit = timeout_seconds / kSecondsPerDay;
  return now <= f->LastNewMessageTime() + limit || now <= info_.last_status_reply.load() + limit;
}

void TServiceLifecycle::Lost(const std::string& what, const std::unique_ptr<TLogFollower>& f,
                             const std::string& suffix_text) {
  std::string text = what;
  if (f && f->IsAlive()) text += suffix_text + DateTimeText(f->LastNewMessageTime());
  PostGlobal(text, mlCritical);
  Halt();
}

void TServiceLifecycle::WatchdogTick() {
  if (!running_) return;
  bool lost = false;
  const std::shared_ptr<const TLogSourceSettings> src = source_.Get();
  // Each check sees what the previous one left: a Stop run by an earlier
  // check has emptied the follower slots already. A source this build
  // cannot follow was reported at Start and is not checked.
  if (src->use_ssh && SshAvailable() && !Healthy(ssh_, info_.Settings().Int("LogFileSSHTimeOut"))) {
    lost = true;
    Lost("SSH Session was terminated", ssh_, " (timeout) last new Message at :");
    RestartDecision("Not restarting the Session - check your SSH Setup - Last Error was at: ", 10);
  }
  if (src->use_direct || (src->use_ftp && FtpAvailable())) {
    const TSettingsReader keys = info_.Settings();
    const int timeout = src->use_ftp ? keys.Int("LogFileFTPTimeOut") : keys.Int("LogFileDirectTimeOut");
    if (!Healthy(file_, timeout)) {
      lost = true;
      Lost("LogFile Session was terminated", file_, " (timeout) - last new Message at :");
      RestartDecision(std::string("Not restarting the Session - check your ") +
                          (src->use_ftp ? "FTP" : "Direct File") + " Setup - Last Error was at: ",
                      5);
    }
  }
  if (src->use_ftp && FtpAvailable() && !(ftp_ && ftp_->IsAlive())) {
    lost = true;
    PostGlobal("FTPFile Session was terminated", mlCritical);
    Halt();
    RestartDecision("Not restarting the Session - check your FTP Setup - Last Error was at: ", 10);
  }
  if (!lost) {
    // The session holds again: a later loss starts a new run of retries.
    retry_delay_ = 0;
    retry_announced_ = false;
  }
}

void TServiceLifecycle::RestartDecision(const std::string& refusal, int default_delay) {
  const TSettingsReader keys = info_.Settings();
  if (!keys.Bool("RestartOnError")) return;
  const double now = Now();
  const int window = keys.Int("ErrorRestartTimeOut");
  if (now <= last_loss_time_ + window / kSecondsPerDay) {
    PostGlobal(refusal + DateTimeText(last_loss_time_), mlCritical);
    PlanRetry();
  } else {
    // The first reader of a missing key decides its value for the run, so
    // the message and the timer always agree on the delay.
    const int delay = keys.IntOr("ErrorRestartDelay", default_delay);
    PostGlobal("Trying to restart the lost session (in " + std::to_string(delay) + " seconds) ...",
               mlCritical);
    if (!restart_timer_) {
      const int timer_delay = keys.Int("ErrorRestartDelay");
      restart_timer_ = loop_.StartTimer(static_cast<int64_t>(timer_delay) * 1000, [this] {
        restart_timer_.Reset();  // once
        Start();
      });
    }
  }
  last_loss_time_ = now;
}

void TServiceLifecycle::PlanRetry() {
  // An unattended service must not give up after a refused restart: it
  // tries again, later each time, until the session holds.
  if (restart_timer_ || retry_timer_) return;  // a start is on its way already
  retry_delay_ = retry_delay_ == 0 ? kFirstRetrySeconds : std::min(retry_delay_ * 2, kMaxRetrySeconds);
  if (!retry_announced_) {
    retry_announced_ = true;
    PostGlobal("Kelvandrome keeps trying: the next start of the session follows in " +
                   std::to_string(retry_delay_) +
                   " seconds, further ones at growing intervals of up to 5 minutes until it holds",
               mlCritical);
  }
  retry_timer_ = loop_.StartTimer(static_cast<int64_t>(retry_delay_) * 1000, [this] {
    retry_timer_.Reset();  // once
    Start();
  });
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

constexpr const char* kLockFileName = "kelvandrome.lock";

// The home with every symbolic link resolved, so that all paths to one
// home find one lock; the path as given when it cannot be resolved.
std::string RealHome(const std::string& home) {
  char buf[PATH_MAX];
  return ::realpath(home.c_str(), buf) ? std::string(buf) : home;
}

// A file name for the lock of a home in the runtime directory: readable,
// and unique per real path (the key alone drops characters).
std::string RuntimeLockName(const std::string& real_home) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : real_home) h = (h ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return InstanceKey(real_home).substr(0, 120) + "-" + hex + ".lock";
}

// $XDG_RUNTIME_DIR when it is set and private to this user; else empty.
std::string PrivateRuntimeDirectory() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (!xdg || xdg[0] != '/') return {};
  struct stat st {};
  if (::lstat(xdg, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
    return {};
  return xdg;
}

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw std::runtime_error("cannot use the instance lock " + path + ": " + why);
}

// Opens a lock file without following a symbolic link and without waiting
// on anything that is not a plain file. Returns no descriptor, with errno
// set, when it cannot be opened; refuses (throws) a file that is not this
// user's own.
TUniqueFd OpenLockFile(const std::string& path, bool& writable) {
  constexpr int kFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  TUniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | kFlags, 0600));
  writable = fd.Valid();
  if (!fd && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    // A home this process may not write: a lock file already there still
    // serves (flock needs no write access), else the caller looks elsewhere.
    const int create_errno = errno;
    fd.Reset(::open(path.c_str(), O_RDONLY | kFlags));
    if (!fd) {
      if (errno == ENOENT)
        errno = create_errno;
      else if (errno == EACCES)
        Refuse(path, "it belongs to another user");
    }
  }
  if (!fd) {
    if (errno == ELOOP) Refuse(path, "it is a symbolic link");
    return fd;
  }
  struct stat st {};
  std::string why;
  if (::fstat(fd.Get(), &st) != 0)
    why = std::strerror(errno);
  else if (!S_ISREG(st.st_mode))
    why = "it is not a plain file";
  else if (st.st_uid != ::geteuid())
    why = "it belongs to another user";
  else if (st.st_nlink != 1)
    why = "it has more than one name";
  if (!why.empty()) Refuse(path, why);
  return fd;
}

}  // namespace

std::unique_ptr<TInstanceLock> TInstanceLock::Acquire(const std::string& home, const std::string& about,
                                                      std::string& holder) {
  const std::string real = RealHome(home);
  std::string path = real + "/" + kLockFileName;
  bool writable = false;
  TUniqueFd fd = OpenLockFile(path, writable);
  if (!fd && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    const std::string runtime = PrivateRuntimeDirectory();
    if (runtime.empty())
      Refuse(path, std::string(std::strerror(errno)) +
                       " (the home directory must be writable, or XDG_RUNTIME_DIR name a private directory)");
    path = runtime + "/" + RuntimeLockName(real);
    fd = OpenLockFile(path, writable);
  }
  if (!fd) Refuse(path, std::strerror(errno));
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    char buf[1024];
    const ssize_t n = ::pread(fd.Get(), buf, sizeof buf, 0);
    holder.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
    if (err != EWOULDBLOCK) Refuse(path, std::strerror(err));
    return nullptr;
  }
  // The file is this user's own plain file with no other name: emptying it
  // cannot reach any other file.
  if (writable && (::ftruncate(fd.Get(), 0) != 0 || ::pwrite(fd.Get(), about.data(), about.size(), 0) < 0)) {
    // The lock itself holds; only the description for a second start is lost.
  }
  return std::unique_ptr<TInstanceLock>(new TInstanceLock(std::move(fd), path, writable));
}

TInstanceLock::~TInstanceLock() {
  // Empty the description first, so that a stale file never names a
  // process that has gone; the lock ends with the descriptor.
  if (writable_ && ::ftruncate(fd_.Get(), 0) != 0) {
  }
}

}  // namespace kv
