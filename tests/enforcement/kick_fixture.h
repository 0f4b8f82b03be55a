// Shared rig of the kick and ban tests: the game-link fixture (bus, settings
// store, mohsim on loopback) plus a runtime on a manual clock, and helpers
// to put players on the simulated server and in the current player list.
#pragma once

#include <string>
#include <vector>

#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "core/mainloop.h"
#include "domain/runtime.h"
#include "domain/userlist.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "tests/gamelink/gamelink_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/temp_home.h"

namespace kv::testing {

class KickRig : public GameLinkTest {
 protected:
  KickRig() {
    SetClock(&clock_);
    CreateLastConsoleMsgs(info_);
    InstallPlaceholderExpander(info_);
    config_.SetInteger("UDPTimeOut", 1);
  }
  ~KickRig() override {
    DestroyLastConsoleMsgs(info_);
    SetMessageExpander(info_, nullptr);
    SetClock(nullptr);
  }

  // Joins the player on the simulated server and lists him in the current
  // player list under the number the server gave him.
  int32_t Join(const std::string& name, const std::string& ip = "127.0.0.1") {
    const int num = sim_.Join(name, ip);
    TUserListEntry row;
    row.name = name;
    row.address = ip;
    row.client_number = num;
    List(row);
    return num;
  }
  // Adds a row to the current player list only.
  void List(const TUserListEntry& row) {
    info_.players.With([&](std::unique_ptr<TUserList>& current) {
      if (!current) current = std::make_unique<TUserList>();
      current->Add(row);
      return 0;
    });
  }
  // The commands the server received that start with `prefix`.
  std::vector<std::string> Received(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : sim_.Commands())
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }

  TManualClock clock_;
  TTempHome home_;
  TMainLoop loop_;
  TDataFileRegistry registry_;
  TCommandTable commands_{loop_};
  TRuntime runtime_{home_.Path(), clock_, loop_, config_, registry_, info_, commands_};
  TBusRecorder global_{{"GLOBAL"}};
};

}  // namespace kv::testing
