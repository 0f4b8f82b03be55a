#include "core/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>

#include "core/unique_fd.h"

namespace kv {

void TStream::ReadBuffer(void* buffer, size_t count) {
  if (Read(buffer, count) != count) throw EStreamError("Stream-Lesefehler");
}

void TStream::WriteInt32(int32_t v) { WriteUInt32(static_cast<uint32_t>(v)); }

void TStream::WriteUInt32(uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 24)};
  Write(b, 4);
}

int32_t TStream::ReadInt32() {
  uint8_t b[4];
  ReadBuffer(b, 4);
  return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                              static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
}

void TStream::WriteLString(std::string_view s) {
  WriteInt32(static_cast<int32_t>(s.size()));
  Write(s.data(), s.size());
}

std::string TStream::ReadLString() {
  const int32_t len = ReadInt32();
  if (len < 0 || static_cast<uint64_t>(len) > Remaining()) throw EStreamError("Stream-Lesefehler");
  std::string s(static_cast<size_t>(len), '\0');
  ReadBuffer(s.data(), s.size());
  return s;
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
  // An empty read may come with no buffer at all (an empty vector's data()).
  if (count == 0 || pos_ >= data_.size()) return 0;
  const size_t n = std::min<uint64_t>(count, data_.size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, size_t count) {
  if (count == 0) return;
  if (pos_ + count > data_.size()) data_.resize(pos_ + count);
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ += count;
}

uint8_t* TMemoryStream::Extend(size_t count) {
  if (pos_ + count > data_.size()) data_.resize(pos_ + count);
  return data_.data() + pos_;
}

std::vector<uint8_t> LoadFileBytes(const std::string& path) {
  const TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw EStreamError("Cannot open file \"" + path + "\". " + std::strerror(errno));
  std::vector<uint8_t> out;
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EStreamError("Cannot read file \"" + path + "\". " + std::strerror(errno));
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

namespace {

// Creates the temporary file beside path, with the mode the file is to
// have, and writes data into it (not flushed yet); throws EStreamError.
TUniqueFd WriteTemporary(const std::string& tmp, const std::string& path, const void* data, size_t size,
                         TFileAccess access) {
  const bool priv = access == TFileAccess::Private;
  TUniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, priv ? 0600 : 0644));
  if (!fd) throw EStreamError("Cannot create file \"" + tmp + "\". " + std::strerror(errno));
  // The mode is set only on a regular file: the temporary name may lead
  // elsewhere (a device in the tests of a full disk), and a temporary file
  // a crash left behind keeps its old mode when opened again.
  struct stat own {};
  if (::fstat(fd.Get(), &own) == 0 && S_ISREG(own.st_mode)) {
    struct stat target {};
    mode_t mode = own.st_mode & 07777;
    if (::stat(path.c_str(), &target) == 0) mode = target.st_mode & 07777;
    if (priv) mode &= ~static_cast<mode_t>(077);
    if (mode != (own.st_mode & 07777)) ::fchmod(fd.Get(), mode);
  }
  const auto* p = static_cast<const uint8_t*>(data);
  size_t left = size;
  while (left > 0) {
    const ssize_t n = ::write(fd.Get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      fd.Reset();
      ::unlink(tmp.c_str());
      throw EStreamError("Cannot write file \"" + tmp + "\". " + std::strerror(err));
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return fd;
}

// Saves files[begin, end), whose paths differ, into errors[begin, end).
void SaveRound(const std::vector<TFileToSave>& files, size_t begin, size_t end, TFileAccess access,
               std::vector<std::string>& errors) {
  const size_t count = end - begin;
  std::vector<std::string> tmps(count);
  std::vector<TUniqueFd> fds(count);
  for (size_t i = 0; i < count; ++i) {
    const TFileToSave& f = files[begin + i];
    tmps[i] = f.path + ".tmp~";
    try {
      fds[i] = WriteTemporary(tmps[i], f.path, f.data, f.size, access);
    } catch (const EStreamError& e) {
      errors[begin + i] = e.what();
    }
  }
  // Every file is written before the first is flushed: the disk then takes
  // them in one go instead of one wait per file.
  for (size_t i = 0; i < count; ++i) {
    if (!fds[i]) continue;
    const int synced = ::fsync(fds[i].Get());
    const int sync_err = errno;
    const int closed = fds[i].Close();
    if (synced != 0 || closed != 0) {
      const int err = synced != 0 ? sync_err : errno;
      ::unlink(tmps[i].c_str());
      errors[begin + i] = "Cannot write file \"" + tmps[i] + "\". " + std::strerror(err);
    }
  }
  std::set<std::string> dirs;
  for (size_t i = 0; i < count; ++i) {
    if (!errors[begin + i].empty()) continue;
    const std::string& path = files[begin + i].path;
    if (::rename(tmps[i].c_str(), path.c_str()) != 0) {
      const int err = errno;
      ::unlink(tmps[i].c_str());
      errors[begin + i] = "Cannot rename \"" + tmps[i] + "\" to \"" + path + "\". " + std::strerror(err);
      continue;
    }
    dirs.insert(std::filesystem::path(path).parent_path().string());
  }
  // Make the renames themselves durable, each directory once.
  for (const std::string& dir : dirs) {
    const TUniqueFd dir_fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd) ::fsync(dir_fd.Get());
  }
}

}  // namespace

std::vector<std::string> SaveFilesAtomic(const std::vector<TFileToSave>& files, TFileAccess access) {
  std::vector<std::string> errors(files.size());
  // A round holds each path once (its temporary file is its own) and a
  // bounded number of open files.
  constexpr size_t kMaxRound = 64;
  size_t begin = 0;
  while (begin < files.size()) {
    std::set<std::string_view> paths;
    size_t end = begin;
    while (end < files.size() && end - begin < kMaxRound && paths.insert(files[end].path).second) ++end;
    SaveRound(files, begin, end, access, errors);
    begin = end;
  }
  return errors;
}

void SaveFileAtomic(const std::string& path, const void* data, size_t size, TFileAccess access) {
  const std::vector<std::string> errors = SaveFilesAtomic({{path, data, size}}, access);
  if (!errors[0].empty()) throw EStreamError(errors[0]);
}

}  // namespace kv
