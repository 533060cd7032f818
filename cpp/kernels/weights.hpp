// Scans of a weight matrix (dates x stocks, NaN = no position) that decide
// which rows and columns carry any weight. Each reads the matrix in its memory
// order and stops as early as the answer allows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "matrix_view.hpp"

namespace morvane::kernels {

// 1 for each row holding at least one non-NaN value, else 0.
[[nodiscard]] std::vector<std::uint8_t> rows_with_weight(const MatrixView<double>& weights);

// For each of the selected columns `cols` (source positions), 1 when it holds
// a non-NaN value in at least one of the selected rows `rows`, else 0.
[[nodiscard]] std::vector<std::uint8_t> columns_with_weight(const MatrixView<double>& weights,
                                                            std::span<const std::int64_t> rows,
                                                            std::span<const std::int64_t> cols);

}  // namespace morvane::kernels
