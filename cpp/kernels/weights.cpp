#include "weights.hpp"

#include <cmath>

namespace morvane::kernels {

std::vector<std::uint8_t> rows_with_weight(const MatrixView<double>& weights) {
  std::vector<std::uint8_t> out(weights.rows, 0);
  if (weights.row_major()) {
    for (std::size_t i = 0; i < weights.rows; ++i) {
      for (std::size_t j = 0; j < weights.cols && !out[i]; ++j) {
        out[i] = !std::isnan(weights(i, j));
      }
    }
    return out;
  }
  // Column-major: walk each column down, skipping rows already known to hold
  // a weight; stop once every row is settled.
  std::size_t open = weights.rows;
  for (std::size_t j = 0; j < weights.cols && open > 0; ++j) {
    for (std::size_t i = 0; i < weights.rows; ++i) {
      if (!out[i] && !std::isnan(weights(i, j))) {
        out[i] = 1;
        --open;
      }
    }
  }
  return out;
}

std::vector<std::uint8_t> columns_with_weight(const MatrixView<double>& weights,
                                              std::span<const std::int64_t> rows,
                                              std::span<const std::int64_t> cols) {
  std::vector<std::uint8_t> out(cols.size(), 0);
  const auto at = [&](std::size_t r, std::size_t c) {
    return weights(static_cast<std::size_t>(rows[r]), static_cast<std::size_t>(cols[c]));
  };
  if (weights.row_major()) {
    std::size_t open = cols.size();
    for (std::size_t r = 0; r < rows.size() && open > 0; ++r) {
      for (std::size_t c = 0; c < cols.size(); ++c) {
        if (!out[c] && !std::isnan(at(r, c))) {
          out[c] = 1;
          --open;
        }
      }
    }
    return out;
  }
  for (std::size_t c = 0; c < cols.size(); ++c) {
    for (std::size_t r = 0; r < rows.size() && !out[c]; ++r) out[c] = !std::isnan(at(r, c));
  }
  return out;
}

}  // namespace morvane::kernels
