// The message bus: one hub thread dispatches every posted message to the
// subscriber threads that asked for its category and level. Producers never
// wait for consumers. This header is the public surface; the hub, the
// object manager and the subscriber classes live in bus_*.h.
#pragma once

#include <cstdint>
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

// Shorthand for operator-relevant texts: category "GLOBAL", no data.
inline bool PostGlobal(std::string_view text, uint8_t level) {
  return PostMonitorMessage("GLOBAL", text, level);
}

}  // namespace kv
