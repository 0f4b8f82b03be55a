// Messages of one service read the histories its tracker keeps: stored
// variables by the player's client number, else by his nick, and nothing
// once the tracker has closed.
#include <gtest/gtest.h>

#include "enforcement/templates.h"
#include "tests/players/tracker_fixture.h"

namespace kv::testing {
namespace {

TEST_F(TrackerTest, PlaceholdersOfStoredVariablesExpandFromTheTrackedHistories) {
  OpenTracker();
  sim_.Join("Bob", "10.0.0.2", 40);
  Poll();
  const int32_t bob = History("Bob")->player.client_number;
  ASSERT_GE(bob, 0);
  const std::string text = "%playernick% played %DATAMapsPlayed% maps, %usercount% known";
  EXPECT_EQ(ExpandPlaceholders(&info_, text, {}, bob), "Bob played 1 maps, 1 known");

  // Offline, Bob is no longer found by his number, but the event that
  // names him still finds his history by nick.
  sim_.Leave("Bob");
  Poll();
  ASSERT_EQ(tracker_->GetUser(bob, true), nullptr);
  TMohaaEvent event(ekChatMessage, "");
  event.log_entry = std::make_unique<TLogEntry>();
  event.log_entry->first_player = Row(bob, "Bob", "10.0.0.2");
  EXPECT_EQ(ExpandPlaceholders(&info_, "%DATA[1]MapsPlayed%", {}, kClientNotSet, &event), "1");

  // A closed tracker answers no more: the placeholder stays.
  tracker_->Close();
  EXPECT_EQ(ExpandPlaceholders(&info_, "%DATA[1]MapsPlayed%", {}, kClientNotSet, &event),
            "%DATA[1]MapsPlayed%");
}

}  // namespace
}  // namespace kv::testing
