#include "parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace morvane::kernels {

std::size_t usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
}

void parallel_blocks(std::size_t n, std::size_t block, std::size_t threads,
                     const std::function<void(std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  block = std::max<std::size_t>(block, 1);
  const std::size_t n_blocks = (n + block - 1) / block;
  const std::size_t workers = std::min(threads == 0 ? usable_cpus() : threads, n_blocks);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  const auto work = [&] {
    for (;;) {
      const std::size_t b = next.fetch_add(1);
      if (b >= n_blocks || failed.load()) return;
      try {
        body(b * block, std::min(n, (b + 1) * block));
      } catch (...) {
        const std::lock_guard<std::mutex> guard(error_mutex);
        if (!error) error = std::current_exception();
        failed.store(true);
      }
    }
  };
  {
    std::vector<std::jthread> pool;
    pool.reserve(workers > 0 ? workers - 1 : 0);
    for (std::size_t t = 1; t < workers; ++t) pool.emplace_back(work);
    work();
  }  // joins every worker
  if (error) std::rethrow_exception(error);
}

}  // namespace morvane::kernels
