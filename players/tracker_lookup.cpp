// The placeholder expansion's view of the live histories.
#include "enforcement/templates.h"
#include "players/tracker.h"

namespace kv {
namespace {

class TTrackerLookup : public THistoryLookup {
 public:
  explicit TTrackerLookup(THistoryUserList& tracker) : tracker_(tracker) {}
  int64_t UserCount() const override { return static_cast<int64_t>(tracker_.KnownNickCount()); }
  std::shared_ptr<const THistoryUserEntry> FindById(int32_t player_id) const override {
    return tracker_.GetUser(player_id, true);
  }
  std::shared_ptr<const THistoryUserEntry> FindByNick(const std::string& nick) const override {
    return tracker_.Store().GetUserEntry(nick);
  }

 private:
  THistoryUserList& tracker_;
};

}  // namespace

std::shared_ptr<const THistoryLookup> TrackerHistoryLookup(THistoryUserList& tracker) {
  return std::make_shared<const TTrackerLookup>(tracker);
}

}  // namespace kv
