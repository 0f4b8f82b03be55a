// One part of the service (journals, status poll, log followers, player
// tracking, bans, kicks, ...) as the service sees it. The service keeps its
// subsystems in one ordered list (TSubsystemList): it registers what each
// one owns, opens them in list order, starts and stops them with the
// service, and closes them in reverse order. A subsystem receives the
// runtime in its constructor.
//
// Call order, all on the main thread (the main loop's thread):
//   SettingRows, RegisterDataFiles,
//   RegisterCommands                      once, before the first load
//   ApplySettings                         after each load of the settings
//                                         (start-up and the operator's "load")
//   Open                                  once, after the first load
//   Start / Stop                          with the service (may repeat)
//   Close                                 once, at shutdown, before the data
//                                         files are saved for the last time
// A subsystem whose Open throws is not closed; those opened before it are
// closed in reverse order and the error goes on to the caller.
#pragma once

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/commands.h"
#include "core/datafiles.h"
#include "domain/settings.h"

namespace kv {

class TSubsystem {
 public:
  virtual ~TSubsystem() = default;
  // Short lower-case name for messages ("players", "bans").
  virtual std::string_view Name() const = 0;
  // The rows of the settings catalogue this subsystem owns (static tables;
  // RegisterAll adds them to the catalogue before the first load).
  virtual std::span<const TSettingRows> SettingRows() const { return {}; }
  // The data files this subsystem owns (TDataFileRegistry::Register).
  virtual void RegisterDataFiles(TDataFileRegistry& registry) { (void)registry; }
  // Its operator commands (TCommandTable::Add).
  virtual void RegisterCommands(TCommandTable& commands) { (void)commands; }
  // Reads its settings into its own snapshot (TSnapshot<T>): taken once per
  // unit of work by its threads, never written in place.
  virtual void ApplySettings(TSettings& settings) { (void)settings; }
  virtual void Open() {}
  virtual void Start() {}
  virtual void Stop() {}
  virtual void Close() {}
};

class TSubsystemList {
 public:
  TSubsystemList() = default;
  TSubsystemList(const TSubsystemList&) = delete;
  TSubsystemList& operator=(const TSubsystemList&) = delete;
  ~TSubsystemList();  // closes what is open, then destroys in reverse order

  // Appends a subsystem; the list owns it. Before RegisterAll.
  TSubsystem& Add(std::unique_ptr<TSubsystem> subsystem);
  template <class T>
  T& Add(std::unique_ptr<T> subsystem) {
    T& ref = *subsystem;
    Add(std::unique_ptr<TSubsystem>(std::move(subsystem)));
    return ref;
  }

  // Adds every subsystem's setting rows, data files and commands.
  void RegisterAll(TDataFileRegistry& registry, TCommandTable& commands);
  void ApplySettings(TSettings& settings);
  void OpenAll();   // in order; on a throw closes the opened ones, rethrows
  void StartAll();  // in order
  void StopAll();   // in reverse order
  void CloseAll();  // in reverse order; idempotent
  // The subsystems in list order (not owned by the caller).
  std::vector<TSubsystem*> Items() const;

 private:
  std::vector<std::unique_ptr<TSubsystem>> items_;
  size_t opened_ = 0;  // items_[0, opened_) are open
};

}  // namespace kv
