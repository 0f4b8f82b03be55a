// Byte streams with a position, the medium of every binary format: data
// files are read into and written from memory streams whole.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes; returns how many were read.
  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual void Write(const void* buffer, size_t count) = 0;
  virtual uint64_t Position() const = 0;
  virtual void Seek(uint64_t position) = 0;
  virtual uint64_t Size() const = 0;

  uint64_t Remaining() const { return Size() > Position() ? Size() - Position() : 0; }
  bool AtEnd() const { return Position() >= Size(); }
  // Reads exactly count bytes or throws "Stream-Lesefehler".
  void ReadBuffer(void* buffer, size_t count);

  // Little-endian fixed-width integers.
  void WriteInt32(int32_t v);
  void WriteUInt32(uint32_t v);
  int32_t ReadInt32();  // throws when fewer than 4 bytes remain
  void WriteUInt8(uint8_t v) { Write(&v, 1); }
  uint8_t ReadUInt8() {  // throws at the end
    uint8_t v = 0;
    ReadBuffer(&v, 1);
    return v;
  }
  // A string outside variable lists: 32-bit length, then the bytes. The
  // reader refuses a length that is negative or exceeds what remains.
  void WriteLString(std::string_view s);
  std::string ReadLString();
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}
  explicit TMemoryStream(std::string_view bytes) : data_(bytes.begin(), bytes.end()) {}

  size_t Read(void* buffer, size_t count) override;
  void Write(const void* buffer, size_t count) override;
  uint64_t Position() const override { return pos_; }
  void Seek(uint64_t position) override { pos_ = position; }
  uint64_t Size() const override { return data_.size(); }

  const std::vector<uint8_t>& Bytes() const { return data_; }
  std::string Str() const { return std::string(data_.begin(), data_.end()); }
  void Clear() {
    data_.clear();
    pos_ = 0;
  }
  void Truncate() { data_.resize(pos_ < data_.size() ? pos_ : data_.size()); }
  // Room for count bytes at the position, for a producer that writes them in
  // place instead of through Write: the stream grows as Write would make it
  // and the position stays. The pointer is valid until the size next changes.
  uint8_t* Extend(size_t count);

 private:
  std::vector<uint8_t> data_;
  uint64_t pos_ = 0;
};

// Whole-file helpers. SaveFileAtomic writes a temporary file beside the
// target, flushes it to disk and renames it over the target, so a crash
// never leaves a torn file. Both throw EStreamError with the system error.
//
// File modes: a new file gets 0644 (less what the umask takes); a file
// that exists keeps the mode it has, so an operator's chmod survives the
// next save. A private file (passwords: the settings, the remote-admin
// accounts, the setup export) is never readable or writable by group or
// others: 0600 when new, and an existing mode loses those bits.
enum class TFileAccess { Shared, Private };
std::vector<uint8_t> LoadFileBytes(const std::string& path);
void SaveFileAtomic(const std::string& path, const void* data, size_t size,
                    TFileAccess access = TFileAccess::Shared);
// Saves several files as SaveFileAtomic saves one, with fewer waits for the
// disk: every temporary file is written, then all are flushed and renamed,
// then each directory is flushed once. Gives one text per file: empty when
// it was saved, else the error (and the file keeps what it held). A path
// named twice is saved twice, in order.
struct TFileToSave {
  std::string path;
  const void* data = nullptr;
  size_t size = 0;
};
std::vector<std::string> SaveFilesAtomic(const std::vector<TFileToSave>& files,
                                         TFileAccess access = TFileAccess::Shared);
inline void SaveFileAtomic(const std::string& path, const TMemoryStream& s,
                           TFileAccess access = TFileAccess::Shared) {
  SaveFileAtomic(path, s.Bytes().data(), s.Bytes().size(), access);
}

}  // namespace kv
