// The player history record and the two forms built on it: the player file
// (one record enciphered whole with the history pass phrase) and the export
// stream (a count followed by plain records). Pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/stream.h"
#include "domain/events.h"

namespace kv {

class EHistoryRecordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kErrLoadingHistory = "Error loading User-History";
inline constexpr const char* kErrLoadingHistoryData = "Error loading User-History - DATA";

// A player file larger than this is not read: no history comes near it, and
// a foreign file dropped into the directory must not be loaded into memory.
inline constexpr uint64_t kMaxPlayerFileBytes = 16u << 20;
// The nick and the address of a record; a longer text marks a damaged record.
inline constexpr uint32_t kMaxRecordText = 4096;

// The key under which nicks are the same player: a-z upper-cased, every
// other byte unchanged (accented letters stay as they are).
std::string NickKey(std::string_view nick);
// The player file's name: the upper-case MD5 of NickKey(nick), 32 digits.
std::string FileNameOfNick(std::string_view nick);

// A new history with a copy of the row and the persistent variables; the
// visit variables and the ping samples start empty. nullptr for nullptr.
std::unique_ptr<THistoryUserEntry> ClonePlayer(const THistoryUserEntry* history);

// Appends one history record; the client number is written as kNoPlayer.
// Reads the row and the persistent variables without taking the history's
// lock: the caller keeps writers away (the store lock).
void WriteHistoryRecord(TStream& stream, const THistoryUserEntry& history);
// Reads one history record at the stream's position. Throws
// EHistoryRecordError (or the variable list's own error) when the bytes are
// no record; never allocates more than what remains in the stream.
std::unique_ptr<THistoryUserEntry> ReadHistoryRecord(TStream& stream);
// Only the nick (the record's first field).
std::string ReadHistoryNick(TStream& stream);

// The player file: the record enciphered as one message.
std::string EncodePlayerFile(const THistoryUserEntry& history);
std::unique_ptr<THistoryUserEntry> DecodePlayerFile(std::string_view file_bytes);
// The nick of a player file; throws like DecodePlayerFile.
std::string DecodePlayerFileNick(std::string_view file_bytes);

// The export stream: a 32-bit count, then the records. ReadExportStream
// checks the stream record by record from its start and hands each history
// to `each` (may be empty: a check only). Throws EHistoryRecordError with
// kErrLoadingHistory when the stream ends before the announced count, or
// kErrLoadingHistoryData when a record cannot be built. An empty stream
// holds no records. Returns the number of records.
void WriteExportHeader(TStream& stream, int32_t count);
int32_t ReadExportStream(TStream& stream,
                         const std::function<void(std::unique_ptr<THistoryUserEntry>)>& each);

}  // namespace kv
