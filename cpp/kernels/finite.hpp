// Scans that find the values a table must not hold.
#pragma once

#include <cstddef>
#include <optional>

#include "matrix_view.hpp"

namespace morvane::kernels {

struct Cell {
  std::size_t row = 0;
  std::size_t col = 0;
};

// The first infinite cell in row-major order (earliest row, then leftmost
// column), whatever the view's memory order; nullopt when there is none. NaN
// is not infinite. Reads every cell once, in memory order; allocates nothing.
[[nodiscard]] std::optional<Cell> first_infinite(const MatrixView<double>& values);

}  // namespace morvane::kernels
