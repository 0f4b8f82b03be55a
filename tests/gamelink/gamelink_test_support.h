// Shared fixtures of the game-link tests: a bus with every event category
// and the current player list set from names.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/bus_scope.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "domain/userlist.h"

namespace kv::test {

inline TBusScope::TCategories AllEventCategories() {
  TBusScope::TCategories c{{"GLOBAL", kDataPointer}};
  for (int k = 0; k < kEventKindCount; ++k) c.emplace_back(EventCategory(k), kDataObject);
  return c;
}

// Installs a server's current player list (name, client number) for the
// scope and removes it afterwards.
class TCurrentPlayers {
 public:
  TCurrentPlayers(TMohaaServerInfo& server, const std::vector<std::pair<std::string, int>>& players)
      : server_(server) {
    Set(server, players);
  }
  ~TCurrentPlayers() {
    server_.players.With([](std::unique_ptr<TUserList>& slot) { slot.reset(); });
  }
  static void Set(TMohaaServerInfo& server, const std::vector<std::pair<std::string, int>>& players) {
    auto list = std::make_unique<TUserList>();
    for (const auto& [name, number] : players) {
      TUserListEntry row;
      row.name = name;
      row.client_number = number;
      row.address = "10.0.0." + std::to_string(number);
      list->Add(row);
    }
    server.players.With([&](std::unique_ptr<TUserList>& slot) { slot = std::move(list); });
  }

 private:
  TMohaaServerInfo& server_;
};

}  // namespace kv::test
