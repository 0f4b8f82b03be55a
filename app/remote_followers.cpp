#include "app/remote_followers.h"

#include <filesystem>

#include "gamelink/file_session.h"
#include "gamelink/ftp_session.h"
#include "gamelink/ssh_session.h"

namespace kv {

namespace {

class TSshFollower : public TLogFollower {
 public:
  explicit TSshFollower(TThreadPtr<TSShSession> session) : session_(std::move(session)) {}
  double LastNewMessageTime() const override { return session_->LastNewMessageTime(); }
  bool IsAlive() const override { return session_->Running(); }
  // The client is ended and reaped before the thread is joined.
  void Stop() override { session_.reset(); }

 private:
  TThreadPtr<TSShSession> session_;
};

class TFtpFollower : public TLogFollower {
 public:
  explicit TFtpFollower(TThreadPtr<TFtpSession> session) : session_(std::move(session)) {}
  // The downloader hands no text to a queue itself: the copy's follower
  // is watched for that. Its own check is whether it still runs.
  double LastNewMessageTime() const override { return 0; }
  bool IsAlive() const override { return session_->Running(); }
  void Stop() override { session_.reset(); }

 private:
  TThreadPtr<TFtpSession> session_;
};

}  // namespace

TFileFollower::TFileFollower(TThreadPtr<TFileSession> session) : session_(std::move(session)) {}
double TFileFollower::LastNewMessageTime() const { return session_->LastNewMessageTime(); }
bool TFileFollower::IsAlive() const { return session_->Running() && session_->ErrorFlag() == 0; }
void TFileFollower::Stop() { session_.reset(); }

std::string FtpCopyPath(const std::string& home) {
  return (std::filesystem::path(home) / "Data" / "qconsole.log").string();
}

std::unique_ptr<TLogFollower> MakeSshFollower(const TMohaaServerInfo* server,
                                              const TLogSourceSettings& source, const std::string& home,
                                              std::unique_ptr<TLogEventChecker> parser) {
  return std::make_unique<TSshFollower>(TSShSession::Create(server, source, home, std::move(parser)));
}

std::unique_ptr<TLogFollower> MakeFtpFollower(const TLogSourceSettings& source, const std::string& home,
                                              std::function<int64_t()>& ready) {
  auto session = TFtpSession::Create(source, FtpCopyPath(home));
  ready = session->ReadyFn();
  return std::make_unique<TFtpFollower>(std::move(session));
}

std::unique_ptr<TLogFollower> MakeFtpCopyFollower(const TMohaaServerInfo* server, const std::string& home,
                                                  std::unique_ptr<TLogEventChecker> parser,
                                                  std::function<int64_t()> ready) {
  // Without a downloader there is nothing to wait for: a copy that never
  // becomes ready keeps the follower waiting until the watchdog ends it.
  if (!ready) ready = [] { return int64_t{-1}; };
  return std::make_unique<TFileFollower>(
      TFileSession::Create(server, FtpCopyPath(home), std::move(parser), std::move(ready)));
}

}  // namespace kv
