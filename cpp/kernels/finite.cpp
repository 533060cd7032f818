#include "finite.hpp"

#include <cmath>

namespace morvane::kernels {

namespace {

bool before(const Cell& a, const Cell& b) {
  return a.row < b.row || (a.row == b.row && a.col < b.col);
}

}  // namespace

std::optional<Cell> first_infinite(const MatrixView<double>& values) {
  std::optional<Cell> first;
  const auto look = [&](std::size_t i, std::size_t j) {
    if (std::isinf(values(i, j)) && (!first || before({i, j}, *first))) first = Cell{i, j};
  };
  if (values.row_major()) {
    for (std::size_t i = 0; i < values.rows && !first; ++i) {
      for (std::size_t j = 0; j < values.cols; ++j) look(i, j);
    }
  } else {
    // Column by column; a later column can still hold an earlier row.
    for (std::size_t j = 0; j < values.cols; ++j) {
      const std::size_t rows = first ? first->row + 1 : values.rows;
      for (std::size_t i = 0; i < rows; ++i) look(i, j);
    }
  }
  return first;
}

}  // namespace morvane::kernels
