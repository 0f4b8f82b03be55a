// The message bus: one hub thread dispatches every posted message to the
// subscriber threads that asked for its category and level. Producers never
// wait for consumers. This header is the public surface; the hub, the
// object manager and the subscriber classes live in bus_*.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kv {

// Message levels; the names appear in formatted texts and the global log.
enum TMsgLevel : uint8_t {
  mlProgress = 0,     // "Fortschritt"
  mlInformation = 1,  // "Information"
  mlWarning = 2,      // "Warnung"
  mlError = 3,        // "Fehler"
  mlCritical = 4,     // "Kritisch"
  mlDebug = 5,        // "Debug"
  mlChange = 6,       // "Änderung"
  mlCommand = 7,      // "Befehl"
};
const char* LevelName(uint8_t level);  // Windows-1252 text; "" above 7

// Data kinds of a category, fixed when it is registered.
inline constexpr int32_t kDataNone = -2;    // only inside a record: category unknown at posting
inline constexpr int32_t kDataObject = -1;  // a shared object (TBusObject)
inline constexpr int32_t kDataPointer = 0;  // a plain pointer, neither copied nor freed

// Base of every object that travels on the bus as shared data (events,
// exception reports). Subscribers handle one shared object one after the
// other; the bus keeps it alive while anybody handles or holds it.
class TBusObject {
 public:
  virtual ~TBusObject() = default;
  // About how many bytes the object occupies; the bus counts it once for
  // every queue record that refers to it (see BusLoad).
  virtual size_t Footprint() const { return 0; }
};

// The data of one message: nothing, a shared object, a plain pointer, or a
// memory block (each subscriber gets its own copy of a block).
using TMsgData = std::variant<std::monostate, std::shared_ptr<TBusObject>, void*, std::vector<uint8_t>>;

// Posts a message. Callable from any thread. Returns true only when the
// category was registered at this moment; with no hub nothing is queued and
// the result is false. Category names longer than 100 characters are cut.
// The data passes to the bus in every case; a caller that still needs it
// after a false result keeps its own reference (a second shared_ptr).
bool PostMonitorMessage(std::string_view category, std::string_view text, uint8_t level, TMsgData data = {},
                        int32_t value = 0);

// ---- Flow control ----
//
// The bus counts what its queues hold: every record in the hub's queue and
// in the subscribers' queues, with its texts and the footprint of its data,
// from the moment it is queued until it has been handled or discarded. A
// burst of log text therefore cannot pile up in the queues: the producers
// that can wait do so while the load is at the limit.
//
// Who waits (docs/ARCHITECTURE.md, "Flow control"):
// - Producers with a buffer of their own — the log followers' line queues,
//   whose buffer is the log file — wait before each message as long as it
//   takes, until they are told to stop (WaitForBusRoom).
// - Any other thread that posts while the load is at the limit waits up to
//   kBusPostWaitMs for it to fall below half the limit, then posts anyway.
// - Never waiting (they would wait for themselves): the hub's thread, every
//   subscriber's thread (handlers post from there), the main loop's thread
//   (synchronised handlers run there) and threads that pace themselves
//   (ExemptThisThreadFromBusWaits). Their posts may go above the limit.
// Nothing is ever dropped for being over the limit.
inline constexpr int64_t kBusLoadLimit = 8 << 20;  // bytes
inline constexpr int64_t kBusPostWaitMs = 100;

// The bytes the queues hold now. Any thread.
int64_t BusLoad();
// True while the load is at or above kBusLoadLimit.
inline bool BusFull() { return BusLoad() >= kBusLoadLimit; }
// When the bus is full, waits until the load has fallen below half the limit
// (so that the waiter then moves a batch at once): at most timeout_ms (< 0:
// no bound), and only until `stop` (asked every few milliseconds; it must
// not post) returns true. True when there is room.
bool WaitForBusRoom(int64_t timeout_ms, const std::function<bool()>& stop = {});
// Marks the calling thread as one whose posts never wait.
void ExemptThisThreadFromBusWaits();

// While one lives, the posts of its thread are queued as usual but wake the
// hub only once in a while and when the (outermost) scope ends: a producer
// posting a row of messages saves the hub a wake-up per message. Order and
// content are unchanged.
class TBusPostBatch {
 public:
  TBusPostBatch();
  ~TBusPostBatch();
  TBusPostBatch(const TBusPostBatch&) = delete;
  TBusPostBatch& operator=(const TBusPostBatch&) = delete;
};

// Shorthand for operator-relevant texts: category "GLOBAL", no data.
inline bool PostGlobal(std::string_view text, uint8_t level) {
  return PostMonitorMessage("GLOBAL", text, level);
}

}  // namespace kv
