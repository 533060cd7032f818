// The two locks of the backtest data folder. Preparation holds prepare.lock
// exclusively from start to end, so two preparations never download or write
// at once; data.lock is held shared by every load and exclusively only while
// the prepared-data folder is swapped or its tail rewritten, so a load sees
// the old data or the new, never a mixture, and a download never holds a
// load up.
#pragma once

#include <string>

#include "kernels/advisory_lock.hpp"

namespace morvane::service {

class FolderLock {
 public:
  // Waits for the lock with the GIL released, logging once when another
  // holder makes it wait. An interrupt (Ctrl-C) while waiting raises.
  FolderLock(const std::string& path, kernels::LockMode mode);

 private:
  kernels::AdvisoryLock lock_;
};

}  // namespace morvane::service
