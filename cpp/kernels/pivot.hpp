// Long-to-wide pivot of factor rows: one (date, stock, value) triple per row,
// labels already factorised to small integers.
//
// `row_codes[i]` / `col_codes[i]` are factorisation codes (-1 = missing label);
// `row_map` / `col_map` send a code to its position among the sorted labels
// (-1 = unusable label). A row with a missing label, a NaN value or, when
// `group_codes` is given, another group than `group` is dropped; of two rows
// for the same cell the later one wins. Only labels that keep at least one
// value appear in the result. Allocates its outputs; safe on many threads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace morvane::kernels {

struct PivotResult {
  std::vector<std::int64_t> rows;  // kept row positions (ascending)
  std::vector<std::int64_t> cols;  // kept column positions (ascending)
  std::vector<double> values;      // rows.size() x cols.size(), row-major, NaN = no value
};

struct PivotInput {
  std::span<const std::int64_t> row_codes;
  std::span<const std::int64_t> col_codes;
  std::span<const double> values;
  std::span<const std::int64_t> row_map;
  std::span<const std::int64_t> col_map;
  std::span<const std::int64_t> group_codes;  // empty: every row belongs
  std::int64_t group = -1;
  std::size_t n_rows = 0;  // number of sorted row labels
  std::size_t n_cols = 0;  // number of sorted column labels
};

[[nodiscard]] PivotResult pivot_last(const PivotInput& input);

}  // namespace morvane::kernels
