// The FTP downloader and the SSH follower as the lifecycle sees them, and
// the local-file follower of FTP mode, which reads the downloader's copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/lifecycle.h"
#include "core/threads.h"
#include "domain/server_settings.h"
#include "domain/serverinfo.h"
#include "gamelink/file_session.h"
#include "gamelink/logparser.h"

namespace kv {

// A local-file follower (the log itself, or the FTP copy) as the lifecycle
// sees it.
class TFileFollower : public TLogFollower {
 public:
  explicit TFileFollower(TThreadPtr<TFileSession> session);
  double LastNewMessageTime() const override;
  bool IsAlive() const override;
  void Stop() override;

 private:
  TThreadPtr<TFileSession> session_;
};

// The local copy of the remote log in a home: Data/qconsole.log.
std::string FtpCopyPath(const std::string& home);

// Starts the SSH follower (plink with the SSH settings). Main loop thread.
std::unique_ptr<TLogFollower> MakeSshFollower(const TMohaaServerInfo* server,
                                              const TLogSourceSettings& source, const std::string& home,
                                              std::unique_ptr<TLogEventChecker> parser);

// Starts the FTP downloader into FtpCopyPath(home); `ready` receives the
// function that tells when its first synchronisation is done. Main loop
// thread.
std::unique_ptr<TLogFollower> MakeFtpFollower(const TLogSourceSettings& source, const std::string& home,
                                              std::function<int64_t()>& ready);

// Starts the local-file follower on the FTP copy; it opens the copy once
// `ready` holds. Main loop thread.
std::unique_ptr<TLogFollower> MakeFtpCopyFollower(const TMohaaServerInfo* server, const std::string& home,
                                                  std::unique_ptr<TLogEventChecker> parser,
                                                  std::function<int64_t()> ready);

}  // namespace kv
