// TUniqueFd: sole owner of a file descriptor; closes it when it goes out of
// scope, so no early return or exception leaks one.
#pragma once

#include <utility>

namespace kv {

class TUniqueFd {
 public:
  TUniqueFd() = default;
  // Takes ownership of fd; a negative number means "none".
  explicit TUniqueFd(int fd) : fd_(fd < 0 ? -1 : fd) {}
  TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  ~TUniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and takes fd instead.
  void Reset(int fd = -1);
  // Closes the descriptor now and returns what close(2) returned (0 when
  // none was held), for the callers to whom a failed close means lost data
  // (a file written and synced). errno is set as close left it.
  int Close();

 private:
  int fd_ = -1;
};

// A pidfd for the process (pidfd_open); -1 with errno set where the kernel
// or the headers lack it.
int PidfdOpen(int pid);

}  // namespace kv
