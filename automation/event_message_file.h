// One event message as the operator defines it, and EventMessages.dat, the
// file that keeps the definitions (integers little-endian, strings as a
// signed 32-bit length and that many bytes of Windows-1252 text).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kv {

class TStream;

inline constexpr const char* kEventMessagesLoadError = "Error loading Event Messages";

// What says a message when an event of a kind happens. Every filter and
// exclusion is a regular expression searched anywhere in its text; an empty
// one tests nothing.
struct TMohaaMessage {
  uint8_t kind = 0;   // the event kind 0..49 (a larger number never matches)
  std::string text;   // the message template
  int32_t delay = 0;  // seconds from the event to the message
  std::string player1_filter, player2_filter, time_filter, description_filter, weapon_filter;
  std::string player1_exclusion, player2_exclusion, time_exclusion, description_exclusion, weapon_exclusion;
  // Expand the placeholders when the message is said, without the event;
  // otherwise at the event, with it.
  bool expand_when_sent = false;
  // Say it only if the event's first player is still on the server under
  // the same nick.
  bool only_if_online = false;

  bool operator==(const TMohaaMessage&) const = default;
};

// Writes the definitions in list order.
void WriteEventMessagesFile(TStream& out, const std::vector<TMohaaMessage>& messages);
// Appends the definitions of the stream to `messages` as they are read. An
// empty stream holds none. A stream that ends where a record should start,
// a record cut short, or a negative count or length throws
// EStreamError(kEventMessagesLoadError + what was wrong); the definitions
// read before stay. A Boolean byte other than 0 reads as true. Memory is bounded by the
// stream's size whatever its counts say.
void ReadEventMessagesFile(TStream& in, std::vector<TMohaaMessage>& messages);

// The JSON form of a definition (kvtool, the operator's command): UTF-8
// texts, the kind as its number and its name. Reading takes the number;
// missing fields take their defaults; a wrong type throws
// nlohmann::json::exception, a kind outside 0..255 std::invalid_argument.
nlohmann::json EventMessageToJson(const TMohaaMessage& message);
TMohaaMessage EventMessageFromJson(const nlohmann::json& json);

}  // namespace kv
