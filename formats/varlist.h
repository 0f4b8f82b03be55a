// TVarList: a thread-safe list of named, typed values (names compare
// without regard to case) and its binary form, written by TMyWriter and read
// by TMyReader. The binary form is the building block of every data file and
// of the remote-administration packets, so it is kept byte for byte.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/counters.h"
#include "core/stream.h"
#include "formats/variant.h"

namespace kv {

class EVarListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kVarListHeader = "Varlist Save Version: 1.3";
inline constexpr const char* kErrVarListCorrupted = "error loading varlist - data corrupted";
inline constexpr const char* kErrVarListVersion = "Ung\xFCltige Version der Varliste";
inline constexpr const char* kErrVariantType = "Ung\xFCltiger Variant Typ beim Auslesen der Daten";
inline constexpr const char* kErrVarArrays =
    "VarArrays k\xF6nnen NICHT abgespeichert werden Ausnahme: VarArrays of Bytes";

// Value tags of the binary form.
enum TValueTag : uint8_t {
  tagNull = 0,
  tagInt8 = 2,
  tagInt16 = 3,
  tagInt32 = 4,
  tagExtended = 5,
  tagString = 6,
  tagFalse = 8,
  tagTrue = 9,
  tagBinary = 10,
  tagLString = 12,
  tagNil = 13,
  tagSingle = 15,
  tagCurrency = 16,
  tagDate = 17,
  tagWString = 18,
};

// 80-bit extended precision conversions (little-endian, 10 bytes).
void DoubleToExtended(double v, uint8_t out[10]);
double ExtendedToDouble(const uint8_t in[10]);

// Writes tagged values; the format header goes before the first value.
class TMyWriter {
 public:
  explicit TMyWriter(TStream& stream) : stream_(stream) {}
  void WriteValue(const TVariant& v);
  void WriteInteger(int32_t v);
  void WriteString(std::string_view s);

 private:
  void EnsureHeader();
  void WriteTag(uint8_t tag) { stream_.Write(&tag, 1); }
  TStream& stream_;
  bool header_written_ = false;
};

// Reads tagged values; expects the format header before the first value.
// Typed reads raise kErrVariantType when the tag does not fit.
class TMyReader {
 public:
  explicit TMyReader(TStream& stream) : stream_(stream) {}
  TVariant ReadValue();
  int32_t ReadInteger();
  double ReadFloat();
  float ReadSingle();
  int64_t ReadCurrency();  // value x 10000
  double ReadDate();
  bool ReadBoolean();
  std::string ReadString();
  std::u16string ReadWideString();

 private:
  void EnsureHeader();
  // Next tag without consuming it; -1 at the end of the stream.
  int PeekTag();
  uint8_t ReadTag();
  // Reads up to n bytes of payload, zero-filling what the stream lacks.
  void ReadPayload(void* out, size_t n);
  int64_t ReadIntegerPayload(uint8_t tag);
  std::string ReadBytes(int64_t announced);
  TStream& stream_;
  bool header_checked_ = false;
};

class TVarList {
 public:
  TVarList() = default;
  ~TVarList() { Release(); }
  TVarList(const TVarList& other);
  TVarList& operator=(const TVarList& other);

  // Reading a missing name raises "Variable %s nicht gefunden" when set
  // (the default); otherwise it gives null.
  void SetRaiseWhenMissing(bool raise) { raise_when_missing_ = raise; }
  bool RaiseWhenMissing() const { return raise_when_missing_; }

  void SetValue(std::string_view name, const TVariant& value);
  TVariant GetValue(std::string_view name) const;
  // Never raises: false when the name is missing.
  bool TryGetValue(std::string_view name, TVariant& out) const;
  bool Exists(std::string_view name) const;
  // Sets the variable to fn(its value, or nullptr while it is missing) with
  // one look-up under one lock (a counter's read and write); gives the
  // value set. fn must not use this list.
  template <class Fn>
  TVariant Update(std::string_view name, Fn&& fn);
  int IndexOf(std::string_view name) const;  // -1 when missing

  int Count() const;
  std::string NameByIndex(int i) const;  // empty text when out of range
  TVariant ValueByIndex(int i) const;
  void Delete(int i);
  void Remove(std::string_view name);
  void Clear();
  void Assign(const TVarList* other);

  void SaveToStream(TStream& stream) const;
  void LoadFromStream(TStream& stream);

  // Visits every variable in name order under the list's lock. The name is
  // valid during the call only; fn must not change this list.
  void ForEach(const std::function<void(std::string_view, const TVariant&)>& fn) const;

 private:
  // The variables, sorted by name without regard to case. A copy of a list
  // shares them with the original until either of the two changes: a
  // player's record is copied into every event about him, and the copy is
  // mostly read and dropped before the record changes again. The names are
  // shared on their own as well: a change of a value (a counter going up)
  // copies the values only, and the names are copied only when a name comes
  // or goes.
  // The names sit back to back in one text, so that copying them is one
  // copy of that text and of their places, and a look-up reads memory that
  // lies together.
  struct TNames {
    struct TPlace {
      uint32_t offset;
      uint32_t size;
    };
    std::atomic<int32_t> refs{1};
    std::string text;
    std::vector<TPlace> places;  // in name order
    size_t unused = 0;           // bytes of text whose names were removed
    std::string_view At(size_t i) const { return {text.data() + places[i].offset, places[i].size}; }
    size_t Count() const { return places.size(); }
    // Adds name before position i.
    void Insert(size_t i, std::string_view name);
    void Erase(size_t i);
    // A copy without the removed names' bytes.
    void CopyFrom(const TNames& other);
  };
  struct TBlock {
    std::atomic<int32_t> refs{1};
    TNames* names;                 // never null
    std::vector<TVariant> values;  // values[i] is the value of names->At(i)
    TBlock();
    TBlock(const TBlock& other);  // shares the other's names
    ~TBlock();
  };
  const TNames& Names() const;
  const std::vector<TVariant>& Values() const;
  // The values for a change of one of them: this list's own (copied first
  // when shared).
  std::vector<TVariant>& OwnValues();
  // The names for adding or removing one: this list's own values and names
  // (copied first when shared).
  TNames& OwnNames();
  // Adds or removes a name with its value.
  void Insert(size_t i, std::string_view name, const TVariant& value);
  void Erase(size_t i);
  // Shares the other list's variables (taken under its lock).
  void ShareFrom(const TVarList& other);
  void Release();
  // Position of name, or where it would be inserted; found tells which.
  size_t Find(std::string_view name, bool& found) const;

  mutable std::recursive_mutex mutex_;
  TBlock* block_ = nullptr;  // null while empty
  bool raise_when_missing_ = true;
  bool loading_ = false;
  TLiveCount<TCounter::VarListCount> live_;
};

template <class Fn>
TVariant TVarList::Update(std::string_view name, Fn&& fn) {
  std::lock_guard lock(mutex_);
  bool found;
  const size_t i = Find(name, found);
  TVariant next = fn(found ? &Values()[i] : static_cast<const TVariant*>(nullptr));
  if (found)
    OwnValues()[i] = next;
  else
    Insert(i, name, next);
  return next;
}

// Record streams: a 32-bit count, then per record a 32-bit byte length and
// one variable list in that many bytes. The reader raises load_error when
// the outer stream ends early or a length does not fit what remains.
void WriteVarListRecord(TStream& stream, const TVarList& list);
void ReadVarListRecord(TStream& stream, TVarList& list, const std::string& load_error);
void WriteRecordList(TStream& stream, const std::vector<const TVarList*>& lists);
std::vector<TVarList> ReadRecordList(TStream& stream, const std::string& load_error);

}  // namespace kv
