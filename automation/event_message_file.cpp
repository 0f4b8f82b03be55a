#include "automation/event_message_file.h"

#include <stdexcept>

#include "core/cp1252.h"
#include "core/stream.h"
#include "domain/domain.h"

namespace kv {
void WriteEventMessagesFile(TStream& out, const std::vector<TMohaaMessage>& messages) {
  out.WriteInt32(static_cast<int32_t>(messages.size()));
  for (const auto& m : messages) {
    out.WriteLString(m.text);
    out.WriteLString(m.player1_filter);
    out.WriteLString(m.player2_filter);
    out.WriteLString(m.time_filter);
    out.WriteLString(m.description_filter);
    out.WriteLString(m.weapon_filter);
    out.WriteInt32(m.delay);
    out.WriteUInt8(m.kind);
    out.WriteUInt8(m.expand_when_sent ? 1 : 0);
    out.WriteUInt8(m.only_if_online ? 1 : 0);
    out.WriteLString(m.player1_exclusion);
    out.WriteLString(m.player2_exclusion);
    out.WriteLString(m.time_exclusion);
    out.WriteLString(m.description_exclusion);
    out.WriteLString(m.weapon_exclusion);
  }
}

void ReadEventMessagesFile(TStream& in, std::vector<TMohaaMessage>& messages) {
  if (in.AtEnd()) return;  // an empty file is an empty list
  const auto fail = [&](const std::string& what) {
    throw EStreamError(std::string(kEventMessagesLoadError) + " - " + what + " (after " +
                       std::to_string(messages.size()) + " messages)");
  };
  if (in.Remaining() < 4) fail("the count is cut short");
  const int32_t count = in.ReadInt32();
  if (count < 0) fail("a negative count");
  for (int32_t i = 0; i < count; ++i) {
    // A count larger than the file holds ends here, before anything is
    // allocated for it.
    if (in.AtEnd())
      fail("the file ends before message " + std::to_string(i + 1) + " of " + std::to_string(count));
    TMohaaMessage m;
    try {
      m.text = in.ReadLString();
      m.player1_filter = in.ReadLString();
      m.player2_filter = in.ReadLString();
      m.time_filter = in.ReadLString();
      m.description_filter = in.ReadLString();
      m.weapon_filter = in.ReadLString();
      m.delay = in.ReadInt32();
      m.kind = in.ReadUInt8();
      m.expand_when_sent = in.ReadUInt8() != 0;
      m.only_if_online = in.ReadUInt8() != 0;
      m.player1_exclusion = in.ReadLString();
      m.player2_exclusion = in.ReadLString();
      m.time_exclusion = in.ReadLString();
      m.description_exclusion = in.ReadLString();
      m.weapon_exclusion = in.ReadLString();
    } catch (const EStreamError&) {
      fail("message " + std::to_string(i + 1) + " is cut short or holds an impossible length");
    }
    messages.push_back(std::move(m));
  }
}

namespace {

struct TTextField {
  const char* name;
  std::string TMohaaMessage::*field;
};
constexpr TTextField kTextFields[] = {
    {"text", &TMohaaMessage::text},
    {"player1_filter", &TMohaaMessage::player1_filter},
    {"player2_filter", &TMohaaMessage::player2_filter},
    {"time_filter", &TMohaaMessage::time_filter},
    {"description_filter", &TMohaaMessage::description_filter},
    {"weapon_filter", &TMohaaMessage::weapon_filter},
    {"player1_exclusion", &TMohaaMessage::player1_exclusion},
    {"player2_exclusion", &TMohaaMessage::player2_exclusion},
    {"time_exclusion", &TMohaaMessage::time_exclusion},
    {"description_exclusion", &TMohaaMessage::description_exclusion},
    {"weapon_exclusion", &TMohaaMessage::weapon_exclusion},
};

}  // namespace

nlohmann::json EventMessageToJson(const TMohaaMessage& m) {
  nlohmann::json j = {{"kind", m.kind},
                      {"kind_name", EventKindName(m.kind)},
                      {"delay", m.delay},
                      {"expand_when_sent", m.expand_when_sent},
                      {"only_if_online", m.only_if_online}};
  for (const auto& f : kTextFields) j[f.name] = Cp1252ToUtf8(m.*f.field);
  return j;
}

TMohaaMessage EventMessageFromJson(const nlohmann::json& j) {
  TMohaaMessage m;
  const int kind = j.value("kind", 0);
  if (kind < 0 || kind > 255)
    throw std::invalid_argument("kind out of range 0..255: " + std::to_string(kind));
  m.kind = static_cast<uint8_t>(kind);
  m.delay = j.value("delay", int32_t{0});
  m.expand_when_sent = j.value("expand_when_sent", false);
  m.only_if_online = j.value("only_if_online", false);
  for (const auto& f : kTextFields) m.*f.field = Utf8ToCp1252(j.value(f.name, std::string()));
  return m;
}

}  // namespace kv
