#include "advisory_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "store_errors.hpp"

namespace morvane::kernels {

namespace {

[[noreturn]] void fail(const char* action, const std::string& path) {
  const int error_number = errno;
  throw IoError(error_number, path,
                std::string(action) + " 失败: " + path + " (" + std::strerror(error_number) + ")");
}

int operation(LockMode mode) { return mode == LockMode::kShared ? LOCK_SH : LOCK_EX; }

}  // namespace

AdvisoryLock::AdvisoryLock(const std::string& path) : path_(path) {
  do {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) fail("打开锁文件", path);
}

AdvisoryLock::AdvisoryLock(AdvisoryLock&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

AdvisoryLock::~AdvisoryLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor drops the lock
}

bool AdvisoryLock::try_lock(LockMode mode) const {
  while (::flock(fd_, operation(mode) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return false;
    if (errno != EINTR) fail("加锁", path_);
  }
  return true;
}

bool AdvisoryLock::wait_lock(LockMode mode) const {
  if (::flock(fd_, operation(mode)) == 0) return true;
  if (errno == EINTR) return false;
  fail("加锁", path_);
}

}  // namespace morvane::kernels
