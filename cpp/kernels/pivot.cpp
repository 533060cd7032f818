#include "pivot.hpp"

#include <cmath>
#include <limits>

namespace morvane::kernels {

namespace {

// Position of the row's cell among the sorted labels, or false when the row
// does not take part.
bool cell_of(const PivotInput& in, std::size_t i, std::int64_t& row, std::int64_t& col) {
  if (!in.group_codes.empty() && in.group_codes[i] != in.group) return false;
  if (std::isnan(in.values[i])) return false;
  const std::int64_t r = in.row_codes[i];
  const std::int64_t c = in.col_codes[i];
  if (r < 0 || c < 0) return false;
  row = in.row_map[static_cast<std::size_t>(r)];
  col = in.col_map[static_cast<std::size_t>(c)];
  return row >= 0 && col >= 0;
}

std::vector<std::int64_t> compact(const std::vector<std::uint8_t>& used,
                                  std::vector<std::int64_t>& slot) {
  std::vector<std::int64_t> kept;
  slot.assign(used.size(), -1);
  for (std::size_t k = 0; k < used.size(); ++k) {
    if (!used[k]) continue;
    slot[k] = static_cast<std::int64_t>(kept.size());
    kept.push_back(static_cast<std::int64_t>(k));
  }
  return kept;
}

}  // namespace

PivotResult pivot_last(const PivotInput& in) {
  const std::size_t n = in.values.size();
  std::vector<std::uint8_t> used_rows(in.n_rows, 0);
  std::vector<std::uint8_t> used_cols(in.n_cols, 0);
  std::int64_t row = 0;
  std::int64_t col = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!cell_of(in, i, row, col)) continue;
    used_rows[static_cast<std::size_t>(row)] = 1;
    used_cols[static_cast<std::size_t>(col)] = 1;
  }
  PivotResult out;
  std::vector<std::int64_t> row_slot;
  std::vector<std::int64_t> col_slot;
  out.rows = compact(used_rows, row_slot);
  out.cols = compact(used_cols, col_slot);
  const std::size_t width = out.cols.size();
  out.values.assign(out.rows.size() * width, std::numeric_limits<double>::quiet_NaN());
  for (std::size_t i = 0; i < n; ++i) {
    if (!cell_of(in, i, row, col)) continue;
    const auto r = static_cast<std::size_t>(row_slot[static_cast<std::size_t>(row)]);
    const auto c = static_cast<std::size_t>(col_slot[static_cast<std::size_t>(col)]);
    out.values[r * width + c] = in.values[i];
  }
  return out;
}

}  // namespace morvane::kernels
