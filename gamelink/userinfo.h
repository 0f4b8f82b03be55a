// Status polling: the game server's "Status" reply turned into the current
// player list, published as "Map Change/Restart" and "NewUserList", and the
// worker that polls on the `UserRefrestTimer` interval.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "core/threads.h"
#include "domain/serverinfo.h"
#include "domain/userlist.h"

namespace kv {

// What the operator reads once when polls start failing (with the reason)
// and once when they work again.
inline constexpr const char* kStatusPollFailedText = "Status poll failed: ";
inline constexpr const char* kStatusPollRecoveredText = "Status poll works again";

// Where the eight columns of a "Status" reply lie (num, score, ping, name,
// lastmsg, address, qport, rate): 0-based start and width. The server widens
// the address column for all rows when any client is on IPv6, so the layout
// is read from the reply's own dashed line, else from its header; the
// defaults are the usual widths.
struct TStatusLayout {
  std::array<int32_t, 8> start{0, 4, 10, 15, 31, 39, 61, 67};
  std::array<int32_t, 8> width{3, 5, 4, 15, 7, 21, 5, 5};
};
TStatusLayout StatusLayoutOf(const std::string& header, const std::string& dashes);
// A line of dashes and blanks only: the line under the header, in any width.
bool IsStatusDashLine(const std::string& line);
// "IP:port" and "[IPv6]:port" without the port; a bare IPv6 address as it is.
std::string AddressWithoutPort(const std::string& text);

// Where this server's new lists learn the game type and the server name
// (TServerIdentityFn): the player tracker installs it once it knows them;
// an empty function removes it. Any thread.
void SetServerIdentitySource(TMohaaServerInfo& info, TServerIdentityFn fn);

// One player row of a "Status" reply; false when the row is invalid (a
// number column that is not a number, e.g. the ping of a connecting client).
bool ParseStatusRow(const std::string& line, const std::string& map, TUserListEntry& row,
                    const TStatusLayout& layout = {});
// The list of a "Status" reply (already in Windows-1252: FromConsoleCodePage),
// rows in reply order, without statistics;
// nullptr when the reply fails the acceptance test (time-out text, socket
// error, empty or foreign reply).
std::unique_ptr<TUserList> ParseStatusReply(const std::string& reply);
// Minimum, maximum, average ping and connecting count over the rows.
void ComputePingStatistics(TUserList& list);
// Longest name first: the log parser matches names in this order.
void SortLongestNameFirst(TUserList& list);

// One poll: sends "Status", and when the reply is accepted makes the new list
// current (carrying skins, team and weapon over from the old one) and
// publishes it. True when a new list was made current; otherwise *problem
// (when given) says why, for the operator (left empty at shutdown). Any
// thread except while holding the current-list lock; throws on internal
// failures.
bool GetNewUserList(TMohaaServerInfo& info, std::string* problem = nullptr);

// Polls while enabled, every `UserRefrestTimer` seconds (re-read on each
// 100 ms tick). Created disabled; the service enables it on Start and
// disables it on Stop. Says once when polls start failing and once when they
// work again.
class TUserInfoThread : public TWorkerThread {
 public:
  explicit TUserInfoThread(TMohaaServerInfo& info);

  // Any thread.
  void Enable(bool on);
  bool Enabled() const { return enabled_.load(); }
  // Date-time of the last successful poll; 0 before the first.
  double LastListRefresh() const { return last_refresh_.load(); }
  void Terminate() override;
  // How many times the thread has come back from sleeping until the next
  // poll is due: for tests and diagnostics. Any thread.
  uint64_t Wakeups() const { return wakeups_.load(std::memory_order_relaxed); }

 protected:
  void Prepare() override;
  void Iteration() override;

 private:
  void ReportPollState(bool polled, const std::string& problem);
  // Sleeps until the thread is enabled and a poll is due on the clock;
  // false at the end, or when the interval could not be read.
  bool WaitUntilDue();

  TMohaaServerInfo& info_;
  std::atomic<bool> enabled_{false};
  std::atomic<double> last_refresh_{0.0};  // FLastListRefresh
  bool failing_ = false;                   // the worker's own: the last poll failed
  std::mutex wait_mutex_;                  // the lock WaitUntilDue waits with (guards nothing else); a leaf
  TClockCondition wait_cv_;
  std::atomic<uint64_t> wakeups_{0};
};

}  // namespace kv
