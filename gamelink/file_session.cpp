#include "gamelink/file_session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "core/bus.h"
#include "core/clock.h"
#include "core/cp1252.h"

namespace kv {

namespace {

constexpr size_t kReadBlock = 64 * 1024;
constexpr int64_t kReadyPollMs = 1000;

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + std::strerror(errno));
}

// File systems whose files change on another host (or in a user-space
// daemon) without the local kernel seeing the write: inotify stays silent
// there, so the follower has to look.
bool RemoteFileSystem(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs and the like)
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
    case 0x01021997:  // 9P
    case 0x73757245:  // Coda
    case 0x564C:      // NCP
    case 0x47504653:  // GPFS
    case 0x0BD00BD0:  // Lustre
      return true;
    default: return false;
  }
}

}  // namespace

// The open log file: read-only, shared with the writer, positioned by us.
class TFileSession::TFile {
 public:
  explicit TFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw SystemError("Cannot open file \"" + path + "\". ");
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      const auto error = SystemError("Cannot open file \"" + path + "\". ");
      ::close(fd_);
      throw error;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  ~TFile() { ::close(fd_); }
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  int64_t Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw SystemError("");
    return st.st_size;
  }
  // False once the path names another file (rotation by rename and
  // re-create). While the path names nothing the old file is kept: the new
  // one is usually a moment away.
  bool StillNamedBy(const std::string& path) const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return true;
    return st.st_dev == dev_ && st.st_ino == ino_;
  }
  // Bytes at the position, advancing it; 0 at the end of the file.
  size_t Read(char* buffer, size_t size) {
    for (;;) {
      const ssize_t n = ::pread(fd_, buffer, size, position);
      if (n >= 0) {
        position += n;
        return static_cast<size_t>(n);
      }
      if (errno != EINTR) throw SystemError("");
    }
  }

  bool OnRemoteFileSystem() const { return RemoteFileSystem(fd_); }

  int64_t position = 0;

 private:
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

TThreadPtr<TFileSession> TFileSession::Create(const TMohaaServerInfo* server, std::string path,
                                              std::unique_ptr<TLogEventChecker> parser, TReadyFn ready) {
  return MakeThread<TFileSession>(server, std::move(path), std::move(parser), std::move(ready));
}

TFileSession::TFileSession(const TMohaaServerInfo* server, std::string path,
                           std::unique_ptr<TLogEventChecker> parser, TReadyFn ready)
    : path_(std::move(path)),
      ready_(std::move(ready)),
      settings_(server ? server->Settings() : TSettingsReader()),
      buffer_(TLogBuffer::Create(server, ekNewLogFileEntry)),
      last_growth_(Now()) {
  buffer_->SetChecker(std::move(parser));
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TFileSession::~TFileSession() {
  TerminateAndJoin();
  buffer_.reset();
  if (notify_fd_ >= 0) ::close(notify_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void TFileSession::Terminate() {
  TGeneralThread::Terminate();
  // A read waiting for room in the queue goes on at once.
  if (buffer_) buffer_->StopWaiting();
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
  }
}

std::string TFileSession::LastText() const {
  std::lock_guard lock(last_text_mutex_);
  return last_text_;
}

void TFileSession::SetLastText(const std::string& text) {
  std::lock_guard lock(last_text_mutex_);
  last_text_ = text;
}

void TFileSession::Execute() {
  running_.store(true, std::memory_order_release);
  // The creator waits for the start position to be fixed, so that nothing
  // it writes after Create is taken for old text — unless the follower has
  // to wait for a downloader first.
  if (ready_) SetStarted(true);
  PostGlobal("TFileSession Started", mlInformation);
  bool open = false;
  try {
    if (path_.empty()) throw std::runtime_error("Can\xB4t open Logfile with an emty path");
    const int64_t start = WaitForReady();
    if (!Terminated()) {
      Open(start);
      open = true;
    }
  } catch (const std::exception& e) {
    PostGlobal(std::string("TFileSession startup failed with: ") + e.what(), mlCritical);
    SetLastText(e.what());
    error_flag_.store(1, std::memory_order_release);
  }
  SetStarted(true);
  while (open && !Terminated()) {
    bool failed = false;
    try {
      PollFile();
    } catch (const std::exception& e) {
      PostGlobal(std::string("TFileSession failed with: ") + e.what(), mlCritical);
      failed = true;
    }
    // A failed look is tried again after a while even without a notice:
    // the cause (a file vanished between two system calls, a full fd table)
    // may pass without anything in the directory changing.
    if (!Terminated()) WaitForChange(Notified() && !failed ? -1 : kFileFallbackPollMs);
  }
  if (open) {
    try {
      CompleteTail();
    } catch (const std::exception& e) {
      PostGlobal(std::string("TFileSession failed with: ") + e.what(), mlCritical);
    }
    FlushTail();  // the queue hands it on before it ends
  }
  PostGlobal("TFileSession Stopped", mlInformation);
  running_.store(false, std::memory_order_release);
}

int64_t TFileSession::WaitForReady() {
  if (!ready_) return -1;
  int64_t start = -1;
  while (!Terminated() && (start = ready_()) < 0) WaitForChange(kReadyPollMs);
  return start;
}

void TFileSession::Open(int64_t start) {
  file_ = std::make_unique<TFile>(path_);
  // Only what is written from now on (or from the given start) is followed;
  // a start beyond the end is a file emptied meanwhile: the first look
  // reads it from its beginning.
  file_->position = start >= 0 ? start : file_->Size();
  SetLastText({});
  Watch();
}

void TFileSession::Watch() {
  // The watches come after the start position is fixed: what is written
  // before them is found by the first look, which follows at once.
  if (file_->OnRemoteFileSystem() || wake_fd_ < 0) return;
  notify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify_fd_ < 0) return;
  // The directory, so that a file renamed, removed or created under the
  // log's name is noticed; when the name is a symbolic link into another
  // directory, that one as well (the target may be rotated there).
  namespace fs = std::filesystem;
  fs::path dir = fs::path(path_).parent_path();
  if (dir.empty()) dir = ".";
  std::vector<fs::path> dirs{dir};
  std::error_code target_error, dir_error;
  const fs::path target_dir = fs::canonical(path_, target_error).parent_path();
  const fs::path real_dir = fs::canonical(dir, dir_error);
  if (!target_error && !dir_error && target_dir != real_dir) dirs.push_back(target_dir);
  const uint32_t mask = IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB;
  for (const fs::path& d : dirs) {
    if (::inotify_add_watch(notify_fd_, d.c_str(), mask) < 0) {
      ::close(notify_fd_);
      notify_fd_ = -1;
      return;
    }
  }
  WatchFile();
  notified_.store(true, std::memory_order_release);
}

void TFileSession::WatchFile() {
  // The open file itself, so that it is still heard once renamed into
  // another directory while the writer goes on with it.
  if (notify_fd_ < 0) return;
  // Removed before the new one is added: the same file would get the same
  // watch back. A file that is gone took its watch with it already.
  if (file_watch_ >= 0) ::inotify_rm_watch(notify_fd_, file_watch_);
  file_watch_ = ::inotify_add_watch(notify_fd_, path_.c_str(), IN_MODIFY | IN_ATTRIB);
}

void TFileSession::PollFile() {
  if (!file_->StillNamedBy(path_)) {
    // Rotated by rename: finish the old file, then read the new one from
    // its start — everything in it was written after the rotation.
    ReadNew();
    FlushTail();
    auto fresh = std::make_unique<TFile>(path_);
    file_ = std::move(fresh);
    WatchFile();
  }
  const int64_t size = file_->Size();
  if (size < file_->position) {
    // Truncated in place: what it holds now was written after the
    // truncation, so it is read from the start.
    FlushTail();
    file_->position = 0;
  }
  if (size > file_->position) ReadNew();
}

void TFileSession::ReadNew() {
  std::array<char, kReadBlock> block;
  while (!Terminated()) {
    const size_t n = file_->Read(block.data(), block.size());
    if (n == 0) break;
    Append(std::string_view(block.data(), n));
    if (n < block.size()) break;
  }
}

void TFileSession::Append(std::string_view raw) {
  last_growth_.store(Now(), std::memory_order_release);
  // NUL bytes are dropped, not the text after them: a region of NULs is
  // what a writer leaves when the file was truncated under it.
  std::string clean;
  if (std::memchr(raw.data(), '\0', raw.size()) != nullptr) {
    clean.reserve(raw.size());
    for (char c : raw)
      if (c != '\0') clean += c;
    raw = clean;
  }
  // Plain ASCII reads the same in both code pages.
  const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return (c & 0x80) == 0; });
  std::string text = ascii ? std::string(raw) : FromConsoleCodePage(settings_, raw);
  if (skip_lf_ && !text.empty()) {
    if (text.front() == '\n') text.erase(0, 1);
    skip_lf_ = false;
  }
  if (text.empty()) return;
  const size_t end = text.find_last_of("\r\n");
  if (end == std::string::npos) {
    tail_ += text;
  } else {
    // A CR at the very end may be the first half of a CR LF.
    skip_lf_ = text[end] == '\r' && end + 1 == text.size();
    std::string complete = std::move(tail_);
    complete.append(text, 0, end + 1);
    tail_.assign(text, end + 1);
    Deliver(std::move(complete));
  }
  while (tail_.size() >= kMaxLineBytes) {
    Deliver(tail_.substr(0, kMaxLineBytes));
    tail_.erase(0, kMaxLineBytes);
  }
}

void TFileSession::CompleteTail() {
  // A stop in the middle of a burst finds the rest of a cut line in the file
  // already: it is read up to its line end rather than passed on cut. What
  // follows stays unread.
  std::array<char, 4096> block;
  while (!tail_.empty()) {
    const size_t n = file_->Read(block.data(), block.size());
    if (n == 0) return;
    const std::string_view text(block.data(), n);
    const size_t end = text.find_first_of("\r\n");
    if (end != std::string_view::npos) {
      // A CR LF split by the block boundary needs no care: nothing follows.
      Append(text.substr(0, end + 1));
      return;
    }
    Append(text);
  }
}

void TFileSession::Deliver(std::string text) {
  SetLastText(text);
  buffer_->AddText(text);
}

void TFileSession::FlushTail() {
  skip_lf_ = false;
  if (tail_.empty()) return;
  std::string piece;
  piece.swap(tail_);
  Deliver(std::move(piece));
}

void TFileSession::WaitForChange(int64_t ms) {
  // Without the wake-up descriptor a stop is only seen by looking.
  if (wake_fd_ < 0 && (ms < 0 || ms > kFileFallbackPollMs)) ms = kFileFallbackPollMs;
  std::array<pollfd, 2> fds{{{wake_fd_, POLLIN, 0}, {notify_fd_, POLLIN, 0}}};
  const nfds_t count = notify_fd_ >= 0 ? 2 : 1;
  const int ready = ::poll(fds.data(), count, ms < 0 ? -1 : static_cast<int>(ms));
  wakeups_.fetch_add(1, std::memory_order_relaxed);
  if (ready <= 0) return;
  if (count == 2 && (fds[1].revents & POLLIN)) {
    // Only "something changed" matters; the notices themselves are dropped.
    alignas(inotify_event) std::array<char, 4096> notices;
    while (::read(notify_fd_, notices.data(), notices.size()) > 0) {
    }
  }
}

}  // namespace kv
