// The service lifecycle: Start and Stop of the log followers, the 30-second
// watchdog that notices a lost or silent follower and plans a restart, and
// the restart timer. Everything here runs on the main loop thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/mainloop.h"
#include "core/serverinfo.h"

namespace kv {

// What the service needs of a log follower (local file, FTP, SSH).
class TLogFollower {
 public:
  virtual ~TLogFollower() = default;
  // When its line queue last received text (date-time; 0 = never).
  virtual double LastNewMessageTime() const = 0;
  // False once the follower's thread has ended by itself (a failed start,
  // a lost connection): it then counts as gone.
  virtual bool IsAlive() const = 0;
  // Stops the follower and waits for its thread.
  virtual void Stop() = 0;
};

// Creates the followers; a factory that is not set, or returns nullptr,
// leaves its slot empty (the watchdog then reports the session lost).
struct TFollowerFactory {
  std::function<std::unique_ptr<TLogFollower>()> ssh;
  std::function<std::unique_ptr<TLogFollower>()> ftp;
  std::function<std::unique_ptr<TLogFollower>()> file;
  // Enables or disables the player-list refresh.
  std::function<void(bool)> enable_refresh;
};

class TServiceLifecycle {
 public:
  static constexpr int64_t kWatchdogMs = 30000;

  TServiceLifecycle(TMainLoop& loop, TMohaaServerInfo& info, TFollowerFactory factory);
  ~TServiceLifecycle();
  TServiceLifecycle(const TServiceLifecycle&) = delete;
  TServiceLifecycle& operator=(const TServiceLifecycle&) = delete;

  void Start();         // startaction
  void Stop();          // stopaction
  void WatchdogTick();  // RunningcheckTimer
  bool Running() const { return running_; }
  bool RestartPending() const { return restart_timer_ != 0; }
  double LastLossTime() const { return last_loss_time_; }
  // The status line an operator sees: "Kelvandrome started" / "... stopped".
  const std::string& Status() const { return status_; }

  TLogFollower* FileFollower() const { return file_.get(); }

 private:
  bool Healthy(const std::unique_ptr<TLogFollower>& f, int timeout_seconds) const;
  void Lost(const std::string& what, const std::unique_ptr<TLogFollower>& f, const std::string& suffix_text);
  void RestartDecision(const std::string& refusal, int default_delay);
  void StopFollower(std::unique_ptr<TLogFollower>& f);

  TMainLoop& loop_;
  TMohaaServerInfo& info_;
  TFollowerFactory factory_;
  bool running_ = false;
  double last_loss_time_ = 0;
  TMainLoop::TTimerId restart_timer_ = 0;
  TMainLoop::TTimerId watchdog_timer_ = 0;
  std::string status_ = "Kelvandrome stopped";
  std::unique_ptr<TLogFollower> ssh_, ftp_, file_;
};

// The single-instance key of a home directory: "ZAQKelvandrome" + the
// directory with its trailing separator, keeping only ASCII letters, digits
// and ! # % & ( ) - ; = [ ] _ { }.
std::string InstanceKey(const std::string& home);

// Holds the instance lock of a home directory for the life of the process.
class TInstanceLock {
 public:
  // Takes the lock, or returns nullptr and fills `holder` with what the
  // running instance wrote about itself.
  static std::unique_ptr<TInstanceLock> Acquire(const std::string& home, const std::string& about,
                                                std::string& holder);
  ~TInstanceLock();
  const std::string& Path() const { return path_; }

 private:
  TInstanceLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

}  // namespace kv
