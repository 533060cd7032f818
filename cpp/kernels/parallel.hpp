// A fork-join pool over an index range: workers take fixed blocks of indices
// from a shared counter. Which thread runs a block never changes a result,
// since every block writes only its own outputs.
#pragma once

#include <cstddef>
#include <functional>

namespace morvane::kernels {

// CPUs this process may run on (its affinity mask), at least 1.
[[nodiscard]] std::size_t usable_cpus();

// Calls body(begin, end) for consecutive blocks [begin, end) of [0, n), each of
// at most `block` indices, on up to `threads` threads (0: one per usable CPU).
// The calling thread works too. The first exception thrown by a block is
// rethrown here once every worker has stopped; remaining blocks are skipped.
void parallel_blocks(std::size_t n, std::size_t block, std::size_t threads,
                     const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace morvane::kernels
