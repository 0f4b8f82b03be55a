#include "players/history_record.h"

#include "domain/domain.h"
#include "formats/cipher.h"
#include "formats/digest.h"
#include "formats/varlist.h"

namespace kv {

std::string NickKey(std::string_view nick) {
  std::string key(nick);
  for (char& c : key)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return key;
}

std::string FileNameOfNick(std::string_view nick) { return DigestText(NickKey(nick)); }

std::unique_ptr<THistoryUserEntry> ClonePlayer(const THistoryUserEntry* history) {
  if (!history) return nullptr;
  auto clone = std::make_unique<THistoryUserEntry>();
  clone->player = history->player;
  clone->persistent.Assign(&history->persistent);
  return clone;
}

void WriteHistoryRecord(TStream& stream, const THistoryUserEntry& history) {
  const TUserListEntry& row = history.player;
  stream.WriteLString(row.name);
  stream.WriteLString(row.address);
  stream.WriteInt32(row.score);
  stream.WriteInt32(row.ping);
  stream.WriteInt32(kNoPlayer);
  stream.WriteInt32(row.last_message);
  stream.WriteInt32(row.qport);
  stream.WriteInt32(row.rate);
  TMemoryStream vars;
  history.persistent.SaveToStream(vars);
  stream.WriteInt32(static_cast<int32_t>(vars.Size()));
  stream.Write(vars.Bytes().data(), vars.Bytes().size());
}

namespace {

std::string ReadRecordText(TStream& stream, const char* field) {
  if (stream.Remaining() < 4)
    throw EHistoryRecordError(std::string("history record ends before its ") + field);
  const int32_t len = stream.ReadInt32();
  if (len < 0 || static_cast<uint64_t>(len) > stream.Remaining() ||
      static_cast<uint32_t>(len) > kMaxRecordText)
    throw EHistoryRecordError(std::string("history record: bad length of the ") + field + " (" +
                              std::to_string(len) + ")");
  std::string text(static_cast<size_t>(len), '\0');
  stream.ReadBuffer(text.data(), text.size());
  return text;
}

int32_t ReadRecordInt(TStream& stream) {
  if (stream.Remaining() < 4) throw EHistoryRecordError("history record ends early");
  return stream.ReadInt32();
}

}  // namespace

std::string ReadHistoryNick(TStream& stream) { return ReadRecordText(stream, "nick"); }

std::unique_ptr<THistoryUserEntry> ReadHistoryRecord(TStream& stream) {
  auto history = std::make_unique<THistoryUserEntry>();
  TUserListEntry& row = history->player;
  row.name = ReadRecordText(stream, "nick");
  row.address = ReadRecordText(stream, "address");
  row.score = ReadRecordInt(stream);
  row.ping = ReadRecordInt(stream);
  row.client_number = ReadRecordInt(stream);
  row.last_message = ReadRecordInt(stream);
  row.qport = ReadRecordInt(stream);
  row.rate = ReadRecordInt(stream);
  // The variable block is loaded from a copy of its own bytes: a list
  // embedded in a longer stream would notice truncation only at that
  // stream's end.
  const int32_t n = ReadRecordInt(stream);
  if (n < 0 || static_cast<uint64_t>(n) > stream.Remaining())
    throw EHistoryRecordError("history record: bad length of the variables (" + std::to_string(n) + ")");
  std::vector<uint8_t> block(static_cast<size_t>(n));
  stream.ReadBuffer(block.data(), block.size());
  TMemoryStream vars(std::move(block));
  history->persistent.LoadFromStream(vars);
  // Map, skins, team and weapon are no part of the record.
  row.allied_model.clear();
  row.german_model.clear();
  row.team_name.clear();
  row.weapon.clear();
  return history;
}

std::string EncodePlayerFile(const THistoryUserEntry& history) {
  TMemoryStream plain;
  WriteHistoryRecord(plain, history);
  return CipherFor(TCipherPurpose::PlayerHistory).EncipherBytes(plain.Str());
}

namespace {

TMemoryStream DecipherPlayerFile(std::string_view file_bytes) {
  if (file_bytes.size() > kMaxPlayerFileBytes)
    throw EHistoryRecordError("player file too large (" + std::to_string(file_bytes.size()) + " bytes)");
  return TMemoryStream(CipherFor(TCipherPurpose::PlayerHistory).DecipherBytes(file_bytes));
}

}  // namespace

std::unique_ptr<THistoryUserEntry> DecodePlayerFile(std::string_view file_bytes) {
  TMemoryStream plain = DecipherPlayerFile(file_bytes);
  return ReadHistoryRecord(plain);
}

std::string DecodePlayerFileNick(std::string_view file_bytes) {
  TMemoryStream plain = DecipherPlayerFile(file_bytes);
  return ReadHistoryNick(plain);
}

void WriteExportHeader(TStream& stream, int32_t count) { stream.WriteInt32(count); }

int32_t ReadExportStream(TStream& stream,
                         const std::function<void(std::unique_ptr<THistoryUserEntry>)>& each) {
  stream.Seek(0);
  if (stream.Size() == 0) return 0;
  if (stream.Remaining() < 4) throw EHistoryRecordError(kErrLoadingHistory);
  const int32_t count = stream.ReadInt32();
  if (count < 0) throw EHistoryRecordError(kErrLoadingHistoryData);
  for (int32_t i = 0; i < count; ++i) {
    if (stream.AtEnd()) throw EHistoryRecordError(kErrLoadingHistory);
    std::unique_ptr<THistoryUserEntry> history;
    try {
      history = ReadHistoryRecord(stream);
    } catch (const std::exception&) {
      throw EHistoryRecordError(kErrLoadingHistoryData);
    }
    history->player.client_number = kNoPlayer;
    if (each) each(std::move(history));
  }
  return count;
}

}  // namespace kv
