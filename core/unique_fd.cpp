#include "core/unique_fd.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace kv {

void TUniqueFd::Reset(int fd) {
  const int old = std::exchange(fd_, fd < 0 ? -1 : fd);
  // Retrying a close after EINTR could close a number another thread has
  // reused meanwhile: Linux frees the descriptor whatever close returns.
  if (old >= 0 && old != fd_) ::close(old);
}

int TUniqueFd::Close() {
  const int old = Release();
  return old < 0 ? 0 : ::close(old);
}

int PidfdOpen(int pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace kv
