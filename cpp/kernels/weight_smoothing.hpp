// The strategy's weight smoothing, fused with the weights' alignment to the
// market: the selected cells of the caller's table are averaged down each
// column straight into one column-major buffer, with no intermediate table.
//
// The average is pandas' rolling(window).mean() bit for bit (after missing
// weights count as 0 and infinities as missing), since which averages come out
// exactly 0, and hence which positions vanish, depends on its rounding: a
// compensated sum for the values entering the window and another for those
// leaving it, a run of equal values averaging to that very value, and a window
// of one sign never averaging to the other sign.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "matrix_view.hpp"

namespace morvane::kernels {

// Smoothed weights of one run: `values` is column-major, `rows` x `width`.
struct SmoothedWeights {
  std::vector<double> values;
  std::size_t rows = 0;
  std::size_t width = 0;
  std::vector<std::int64_t> kept_rows;  // positions in `rows` of the input that survive

  [[nodiscard]] MatrixView<double> view() const {
    return MatrixView<double>{values.data(), rows, width, 1, static_cast<std::ptrdiff_t>(rows)};
  }
};

// For each selected column c (source column `cols[c]`, over the source rows
// `rows`, in that order), the rolling mean of `window` (> 1) values with NaN
// read as 0 and +-inf as missing; a mean is NaN until `window` values are in
// view or while one of them is missing. Rows whose every mean is NaN are
// dropped; then means that are exactly 0 (either sign) become NaN. Column c
// is written at output column `out_cols[c]` of `width`; the other output
// columns are NaN.
[[nodiscard]] SmoothedWeights smooth_weight_columns(const MatrixView<double>& source,
                                                    std::span<const std::int64_t> rows,
                                                    std::span<const std::int64_t> cols,
                                                    std::span<const std::int64_t> out_cols,
                                                    std::size_t width, std::size_t window);

}  // namespace morvane::kernels
