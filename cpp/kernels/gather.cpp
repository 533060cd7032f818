#include "gather.hpp"

#include <algorithm>
#include <cassert>

namespace morvane::kernels {

namespace {
constexpr std::size_t kTileRows = 64;
constexpr std::size_t kTileCols = 256;
}  // namespace

template <class T>
void gather_matrix(const MatrixView<T>& source, std::span<const std::int64_t> rows,
                   std::span<const std::int64_t> cols, T fill, std::span<T> out) {
  const std::size_t n_rows = rows.size();
  const std::size_t n_cols = cols.size();
  assert(out.size() == n_rows * n_cols);
  for (std::size_t r0 = 0; r0 < n_rows; r0 += kTileRows) {
    const std::size_t r1 = std::min(n_rows, r0 + kTileRows);
    for (std::size_t c0 = 0; c0 < n_cols; c0 += kTileCols) {
      const std::size_t c1 = std::min(n_cols, c0 + kTileCols);
      for (std::size_t i = r0; i < r1; ++i) {
        T* const dst = out.data() + i * n_cols;
        const std::int64_t src_row = rows[i];
        if (src_row < 0) {
          std::fill(dst + c0, dst + c1, fill);
          continue;
        }
        for (std::size_t j = c0; j < c1; ++j) {
          const std::int64_t src_col = cols[j];
          dst[j] = src_col < 0 ? fill
                               : source(static_cast<std::size_t>(src_row),
                                        static_cast<std::size_t>(src_col));
        }
      }
    }
  }
}

bool is_consecutive(std::span<const std::int64_t> positions) {
  if (positions.empty()) return true;
  if (positions.front() < 0) return false;
  for (std::size_t i = 1; i < positions.size(); ++i) {
    if (positions[i] != positions[0] + static_cast<std::int64_t>(i)) return false;
  }
  return true;
}

template void gather_matrix<double>(const MatrixView<double>&, std::span<const std::int64_t>,
                                    std::span<const std::int64_t>, double, std::span<double>);
template void gather_matrix<bool>(const MatrixView<bool>&, std::span<const std::int64_t>,
                                  std::span<const std::int64_t>, bool, std::span<bool>);

}  // namespace morvane::kernels
