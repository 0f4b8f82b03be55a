// The service lifecycle: Start and Stop of the log followers, the 30-second
// watchdog that notices a lost or silent follower and plans a restart, and
// the restart timer. Everything here runs on the main loop thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/mainloop.h"
#include "core/unique_fd.h"
#include "domain/serverinfo.h"

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

// Creates the followers. A factory that is not set means this build has no
// such follower: Start says so and the watchdog leaves that source alone. A
// factory that returns nullptr leaves its slot empty (the watchdog then
// reports the session lost).
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
  // Retries after a refused restart: the first after kFirstRetrySeconds,
  // each further one twice as late, never later than kMaxRetrySeconds.
  static constexpr int kFirstRetrySeconds = 30;
  static constexpr int kMaxRetrySeconds = 300;

  TServiceLifecycle(TMainLoop& loop, TMohaaServerInfo& info, TFollowerFactory factory);
  ~TServiceLifecycle();
  TServiceLifecycle(const TServiceLifecycle&) = delete;
  TServiceLifecycle& operator=(const TServiceLifecycle&) = delete;

  void Start();  // startaction
  // stopaction. The operator's Stop also ends a pending retry after a
  // refused restart (the planned restart of a first loss stays pending).
  void Stop();
  void WatchdogTick();  // RunningcheckTimer
  bool Running() const { return running_; }
  bool RestartPending() const { return restart_timer_.Active(); }
  // A retry after a refused restart is planned; its delay in seconds.
  bool RetryPending() const { return retry_timer_.Active(); }
  int RetryDelaySeconds() const { return retry_delay_; }
  double LastLossTime() const { return last_loss_time_; }
  // The status line an operator sees: "Kelvandrome started" / "... stopped".
  const std::string& Status() const { return status_; }

  TLogFollower* FileFollower() const { return file_.get(); }
  // The log source the next Start and watchdog tick use. Any thread.
  void SetLogSource(TLogSourceSettings source) { source_.Publish(std::move(source)); }
  std::shared_ptr<const TLogSourceSettings> LogSource() const { return source_.Get(); }

 private:
  bool Healthy(const std::unique_ptr<TLogFollower>& f, int timeout_seconds) const;
  void Lost(const std::string& what, const std::unique_ptr<TLogFollower>& f, const std::string& suffix_text);
  void RestartDecision(const std::string& refusal, int default_delay);
  void PlanRetry();
  void Halt();  // Stop without touching the retries (the watchdog's)
  void StopFollower(std::unique_ptr<TLogFollower>& f);
  // Which configured sources this build can follow.
  bool SshAvailable() const { return static_cast<bool>(factory_.ssh); }
  bool FtpAvailable() const { return static_cast<bool>(factory_.ftp); }

  TMainLoop& loop_;
  TMohaaServerInfo& info_;
  TSnapshot<TLogSourceSettings> source_;
  TFollowerFactory factory_;
  bool running_ = false;
  double last_loss_time_ = 0;
  // Declared after loop_ and ended before it is: the timers go with us.
  TTimerHandle restart_timer_;
  TTimerHandle watchdog_timer_;
  TTimerHandle retry_timer_;
  int retry_delay_ = 0;           // of the next retry; 0 = no retries in this run of losses
  bool retry_announced_ = false;  // the retries were explained in this run of losses
  std::string status_ = "Kelvandrome stopped";
  std::unique_ptr<TLogFollower> ssh_, ftp_, file_;
};

// The single-instance key of a home directory: "ZAQKelvandrome" + the
// directory with its trailing separator, keeping only ASCII letters, digits
// and ! # % & ( ) - ; = [ ] _ { }.
std::string InstanceKey(const std::string& home);

// Holds the instance lock of a home directory for the life of the process:
// an flock on "kelvandrome.lock" inside the home, or, when the home is not
// writable, on instance key + ".lock" in $XDG_RUNTIME_DIR (when set, owned
// by this user and closed to others). The key is taken from the home's real
// path, so a symbolic link to a home finds the same lock. The file is opened
// without following a symbolic link, and used only when it is a plain file
// of this user with no other name.
class TInstanceLock {
 public:
  // Takes the lock, or returns nullptr and fills `holder` with what the
  // running instance wrote about itself. Throws with the reason when no
  // lock can be had (the caller refuses to start).
  static std::unique_ptr<TInstanceLock> Acquire(const std::string& home, const std::string& about,
                                                std::string& holder);
  ~TInstanceLock();
  const std::string& Path() const { return path_; }

 private:
  TInstanceLock(TUniqueFd fd, std::string path, bool writable)
      : fd_(std::move(fd)), path_(std::move(path)), writable_(writable) {}
  TUniqueFd fd_;  // the lock lasts as long as the descriptor
  std::string path_;
  bool writable_;
};

}  // namespace kv
