// The strategy's weight smoothing, fused with the weights' alignment to the
// market and read as the engine trades: each stock keeps its own window over
// the caller's cells, so a run holds one window per stock instead of a
// smoothed table of every day, and many runs can share one machine's memory.
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
#include "strategy_stats.hpp"

namespace morvane::kernels {

// The running state of one column's window, updated exactly as pandas does:
// separate compensation terms for additions and removals, a count of values
// in view, a count of negative ones and the length of the latest run of equal
// values.
struct RollingWindow {
  double sum = 0.0;
  double add_carry = 0.0;
  double remove_carry = 0.0;
  std::int64_t count = 0;
  std::int64_t negatives = 0;
  std::int64_t same_run = 0;
  double last = 0.0;

  void add(double v);
  void remove(double v);
  // NaN until `min_count` values are in view.
  [[nodiscard]] double mean(std::int64_t min_count) const;
};

// The smoothed weight table of one run, read cell by cell. For each selected
// column c (source column `cols[c]`, over the source rows `rows`, in that
// order) the table holds the rolling mean of `window` (> 1) values with NaN
// read as 0 and +-inf as missing; a mean is NaN until `window` values are in
// view or while one of them is missing. Its rows are the source rows with any
// mean; means that are exactly 0 (either sign) read as NaN. Column c sits at
// table column `out_cols[c]` of `width`; the other table columns are NaN.
//
// The holding count, the turnover and which rows hold a weight are gathered
// as the cells are read, in the order the table's own scan sums them.
class SmoothedWeightStream {
 public:
  SmoothedWeightStream(const MatrixView<double>& source, std::span<const std::int64_t> rows,
                       std::span<const std::int64_t> cols, std::span<const std::int64_t> out_cols,
                       std::size_t width, std::size_t window);

  // Positions in `rows` of the table's rows.
  [[nodiscard]] const std::vector<std::int64_t>& kept_rows() const { return kept_rows_; }
  [[nodiscard]] std::size_t rows() const { return kept_rows_.size(); }
  [[nodiscard]] std::size_t width() const { return width_; }

  // The cell at table row `row`, column `col`. Every cell is read exactly
  // once: each column's rows in increasing order, and within each row the
  // columns in increasing order (one row at a time, or one column at a time).
  [[nodiscard]] double at(std::size_t row, std::size_t col);

  // Reads the last row, which no day trades, after every other row is read.
  void finish_last_row();

  // Once every cell is read: the table's figures and the rows holding a weight.
  [[nodiscard]] WeightFigures figures() const { return weight_figures_of_rows(held_, moved_); }
  [[nodiscard]] std::vector<std::size_t> weighted_rows() const;

 private:
  struct Column {
    RollingWindow window;
    std::size_t source_col = 0;
    std::size_t next = 0;   // next position in `rows` to enter the window
    double previous = 0.0;  // the last cell read, NaN as 0, for the turnover
  };

  MatrixView<double> source_;
  std::vector<std::int64_t> source_rows_;
  std::size_t width_;
  std::size_t window_;
  std::vector<std::int64_t> column_of_;  // table column -> index in columns_, or -1
  std::vector<Column> columns_;
  std::vector<std::int64_t> kept_rows_;
  std::vector<double> held_;
  std::vector<double> moved_;
  std::vector<std::uint8_t> weighted_;
};

}  // namespace morvane::kernels
