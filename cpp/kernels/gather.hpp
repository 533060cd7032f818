// Label alignment: copies source cells picked by row and column positions into
// a contiguous row-major matrix, with a fill value where a label is absent.
//
// `rows[i]` / `cols[j]` are source positions, or -1 for a label the source does
// not hold. Works in cache-sized tiles so a column-major source is not read
// with one cache miss per cell. Allocates nothing; safe on many threads.
#pragma once

#include <cstdint>
#include <span>

#include "matrix_view.hpp"

namespace morvane::kernels {

template <class T>
void gather_matrix(const MatrixView<T>& source, std::span<const std::int64_t> rows,
                   std::span<const std::int64_t> cols, T fill, std::span<T> out);

// True when `positions` is first, first + 1, ... with no missing label, so the
// aligned matrix is a plain slice of the source and needs no copy.
[[nodiscard]] bool is_consecutive(std::span<const std::int64_t> positions);

}  // namespace morvane::kernels
