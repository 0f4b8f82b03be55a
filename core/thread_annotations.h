// Lock contracts that clang checks at compile time (-Wthread-safety): the
// attribute macros, and annotated wrappers of the standard mutexes (whose
// libstdc++ versions carry no annotations). With other compilers the macros
// are empty and the wrappers cost nothing.
//
// Usage: a mutex member is a TMutex / TSharedMutex; the fields it guards are
// GUARDED_BY(mutex_); a private helper that expects the lock held is
// REQUIRES(mutex_); a lock taken inside a predicate lambda is declared with
// `[&]() REQUIRES(mutex_) { ... }`. Waits use the standard condition variables
// through native(): TUniqueLock::native() for std::condition_variable, or the
// TUniqueLock itself (it is BasicLockable) for TClockCondition.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define KV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) KV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) KV_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KV_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KV_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kv {

// std::mutex with annotations. native() is for std::condition_variable
// (through TUniqueLock::native()), never for locking around the analysis.
class CAPABILITY("mutex") TMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

// std::recursive_mutex with annotations. The analysis does not model
// re-entry: a function that takes it again while the caller holds it is
// declared without REQUIRES (as the recursive locking implies).
class CAPABILITY("mutex") TRecursiveMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

 private:
  std::recursive_mutex m_;
};

// std::shared_mutex with annotations.
class CAPABILITY("mutex") TSharedMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }
  bool try_lock_shared() TRY_ACQUIRE(true) { return m_.try_lock_shared(); }

 private:
  std::shared_mutex m_;
};

// std::lock_guard for the annotated mutexes; like std::unique_lock it may
// release early (unlock) and take the mutex again (lock).
template <class M>
class SCOPED_CAPABILITY TBasicLockGuard {
 public:
  explicit TBasicLockGuard(M& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~TBasicLockGuard() RELEASE() {
    if (held_) m_.unlock();
  }
  TBasicLockGuard(const TBasicLockGuard&) = delete;
  TBasicLockGuard& operator=(const TBasicLockGuard&) = delete;

  void lock() ACQUIRE() {
    m_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    held_ = false;
    m_.unlock();
  }

 private:
  M& m_;
  bool held_ = true;
};
using TLockGuard = TBasicLockGuard<TMutex>;
using TRecursiveLockGuard = TBasicLockGuard<TRecursiveMutex>;
using TWriteLock = TBasicLockGuard<TSharedMutex>;

// std::shared_lock (the read side) for TSharedMutex.
class SCOPED_CAPABILITY TReadLock {
 public:
  explicit TReadLock(TSharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~TReadLock() RELEASE_GENERIC() {
    if (held_) m_.unlock_shared();
  }
  TReadLock(const TReadLock&) = delete;
  TReadLock& operator=(const TReadLock&) = delete;

  void unlock() RELEASE_GENERIC() {
    held_ = false;
    m_.unlock_shared();
  }

 private:
  TSharedMutex& m_;
  bool held_ = true;
};

// std::unique_lock for TMutex: may be released and taken again, and lends
// its std::unique_lock to a std::condition_variable wait (native()). It is
// itself BasicLockable, for std::condition_variable_any and TClockCondition.
class SCOPED_CAPABILITY TUniqueLock {
 public:
  explicit TUniqueLock(TMutex& m) ACQUIRE(m) : lock_(m.native()) {}
  ~TUniqueLock() RELEASE() {}
  TUniqueLock(const TUniqueLock&) = delete;
  TUniqueLock& operator=(const TUniqueLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace kv
