// The FTP downloader: keeps a local copy of the game server's remote console
// log growing by resumed downloads (REST + RETR), so that the local-file
// follower can read it as if the server wrote it here. It re-checks the
// last bytes it holds at every download, so a remote log that was replaced
// or shrank (the game server restarted) is fetched again from its start.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/threads.h"
#include "domain/server_settings.h"
#include "domain/settings.h"

namespace kv {

// The bounds of every wait on the FTP server.
struct TFtpTimeouts {
  int64_t connect_ms = 10000;    // connect and log in
  int64_t response_ms = 5000;    // each reply of the server (whole seconds)
  int64_t stall_ms = 10000;      // a data connection that brings nothing (whole seconds)
  int64_t transfer_ms = 300000;  // one whole transfer
};

class TFtpSession : public TGeneralThread {
 public:
  // The bytes at the end of the copy that each download fetches again and
  // compares: a remote log that no longer holds them was replaced.
  static constexpr int64_t kOverlapBytes = 256;
  // The downloader gives up when its error count passes this.
  static constexpr int kMaxErrors = 10;
  // Its rows of the settings catalogue (the FTP source and its proxy);
  // registered by whoever runs the downloader (the service's lifecycle).
  static std::span<const TSettingRows> SettingRows();

  // local_copy: the file the local-file follower reads (the home's
  // Data/qconsole.log); its directory is created when missing. Starts the
  // thread and waits until it runs. Main loop thread.
  static TThreadPtr<TFtpSession> Create(TLogSourceSettings settings, std::string local_copy,
                                        TFtpTimeouts timeouts = {});

  TFtpSession(TLogSourceSettings settings, std::string local_copy, TFtpTimeouts timeouts);
  ~TFtpSession() override;

  // Ends a running transfer and the pause between two at once. Any thread.
  void Terminate() override;

  // The first synchronisation is done: the copy holds the remote log's size
  // (zeros for the text that was there before). Any thread.
  bool Ready() const { return ready_->load(std::memory_order_acquire) >= 0; }
  // For the local-file follower: the copy's size at the first
  // synchronisation (where following starts), -1 before. A function that
  // outlives the downloader: the follower may ask after it has gone.
  std::function<int64_t()> ReadyFn() const {
    return [start = ready_] { return start->load(std::memory_order_acquire); };
  }
  // The body is still at work (false once it ended by itself). Any thread.
  bool Running() const { return running_.load(std::memory_order_acquire); }
  // Errors in a row, less one per successful download. Any thread.
  int ErrorCount() const { return errors_.load(std::memory_order_acquire); }
  // How often the remote log was found replaced and read again from its
  // start. Any thread.
  int Restarts() const { return restarts_.load(std::memory_order_acquire); }
  const std::string& LocalCopy() const { return local_copy_; }

 protected:
  void Execute() override;

 private:
  class TClient;
  class TCopy;

  void Body();
  void FirstSync();
  // One resumed download; a failure is counted and may end the body.
  void Poll();
  void StartCopyAgain();

  const TLogSourceSettings settings_;
  const std::string local_copy_;
  const TFtpTimeouts timeouts_;
  std::unique_ptr<TClient> client_;
  std::unique_ptr<TCopy> copy_;  // the local copy; the body's alone
  const std::shared_ptr<std::atomic<int64_t>> ready_ = std::make_shared<std::atomic<int64_t>>(-1);
  std::atomic<bool> running_{false};
  std::atomic<int> errors_{0};
  std::atomic<int> restarts_{0};
};

}  // namespace kv
