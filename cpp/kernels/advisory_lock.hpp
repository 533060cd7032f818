// A shared or exclusive advisory lock (flock) on a lock file. Each lock opens
// its own descriptor, so two locks of one process (in two threads) exclude
// each other like locks of two processes. The kernel drops the lock when the
// descriptor closes or the process dies, so it never goes stale.
#pragma once

#include <string>

namespace morvane::kernels {

enum class LockMode { kShared, kExclusive };

class AdvisoryLock {
 public:
  // Opens (creating when missing) the lock file; does not lock yet.
  explicit AdvisoryLock(const std::string& path);
  AdvisoryLock(AdvisoryLock&& other) noexcept;
  AdvisoryLock& operator=(AdvisoryLock&&) = delete;
  AdvisoryLock(const AdvisoryLock&) = delete;
  AdvisoryLock& operator=(const AdvisoryLock&) = delete;
  ~AdvisoryLock();

  // Takes the lock without waiting; false when another holder prevents it.
  [[nodiscard]] bool try_lock(LockMode mode) const;
  // Waits for the lock; false when a signal interrupted the wait (the caller
  // handles the signal and may wait again).
  [[nodiscard]] bool wait_lock(LockMode mode) const;

  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace morvane::kernels
