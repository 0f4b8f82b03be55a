// The game link's parts as the service's list sees them: the parser of
// rcon replies, the console messages (flood filter, background senders,
// the end of rcon at shutdown) and the status poll.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "core/threads.h"
#include "domain/runtime.h"
#include "domain/subsystem.h"
#include "gamelink/console.h"
#include "gamelink/logparser.h"
#include "gamelink/userinfo.h"

namespace kv {

// Replies to rcon commands are read like log text: every reply goes
// through a parser of its own, line by line.
class TRconReplySubsystem : public TSubsystem {
 public:
  TRconReplySubsystem(TRuntime& runtime, TWeaponClassifyFn classify);
  ~TRconReplySubsystem() override;
  std::string_view Name() const override { return "rcon replies"; }
  void Open() override;
  void Close() override;

 private:
  void Parse(const std::string& reply);

  TRuntime& runtime_;
  TWeaponClassifyFn classify_;
  // Guards parser_. Not a leaf: the parser posts events and reads the
  // current player list under it (docs/ARCHITECTURE.md, lock order).
  std::mutex mutex_;
  std::unique_ptr<TServerLogEventChecker> parser_;
};

// Saying things: the flood filter and the placeholder expansion are in
// place while it is open; its Close ends every rcon request still waiting
// and every background sender.
class TConsoleSubsystem : public TSubsystem {
 public:
  TConsoleSubsystem(TRuntime& runtime, TMessageExpander expander);
  ~TConsoleSubsystem() override;
  std::string_view Name() const override { return "console"; }
  // Its rows of the settings catalogue.
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void Open() override;
  void Close() override;

 private:
  TRuntime& runtime_;
  TMessageExpander expander_;
  bool open_ = false;
};

// The player-list refresh: its worker exists from Open, disabled until the
// lifecycle enables it.
class TStatusPollSubsystem : public TSubsystem {
 public:
  explicit TStatusPollSubsystem(TRuntime& runtime);
  ~TStatusPollSubsystem() override;
  std::string_view Name() const override { return "status poll"; }
  // Its rows of the settings catalogue.
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void Open() override;
  void Close() override;
  // Any thread; ignored while closed.
  void Enable(bool on);

 private:
  TRuntime& runtime_;
  std::mutex mutex_;  // guards poll_ against Enable from another thread (a leaf)
  TThreadPtr<TUserInfoThread> poll_;
};

}  // namespace kv
