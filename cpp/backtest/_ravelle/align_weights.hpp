// The runner's first steps: the weight table restricted to the market's
// trading days and stocks, without the stocks that never carry a weight, and
// smoothed when asked, as the one matrix the engine and the statistics read.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "kernels/matrix_view.hpp"
#include "kernels/strategy_stats.hpp"
#include "kernels/weight_smoothing.hpp"
#include "pyglue/frames.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

// The weights of one run. `matrix` is what the engine trades: its rows are the
// kept dates, its columns either the kept stocks or the span of market
// columns they fall in (the market's other stocks there hold no weight and
// never trade, which leaves every day's sums unchanged and lets the market
// tables be read in place). The holding count and turnover are read in the
// order of the table the steps define (`figures`).
//
// Smoothed weights are not held as a table: `smoothed` computes each cell as
// the engine reads it, and `matrix` then gives only the table's labels.
struct WorkWeights {
  pyglue::LabelledMatrix<double> matrix;
  std::optional<kernels::SmoothedWeightStream> smoothed;
  std::vector<double> storage;  // the cells of `matrix` when they are not the caller's
  nb::object source_owner;      // keeps the caller's cells alive for `figure_view`
  kernels::MatrixView<double> figure_view;
  std::vector<std::int64_t> figure_cols;  // used when `row_order`
  bool row_order = false;

  // Holding count and turnover of `matrix`; needs no GIL.
  [[nodiscard]] kernels::WeightFigures figures() const;
};

// Rows of `strategy_matrix` dated on a trading day of `close_price` (the
// labels' intersection), columns that `close_price` also has (pandas'
// intersection), then stock columns without any weight dropped; with
// `rolling_window` > 1 the weights are smoothed as _smooth_strategy_weights
// does, cell by cell as the engine reads them. The caller's table is read in
// place and never written; at most one new matrix is made, and none when the
// weights are smoothed.
//
// Logs at debug level how many rows and columns were dropped, and warns once
// when the kept dates skip trading days inside their span (each weight row is
// traded on the next row's date, so the skipped days are neither traded nor
// valued).
[[nodiscard]] WorkWeights work_weights(nb::handle strategy_matrix, nb::handle close_price,
                                       std::int64_t rolling_window);

}  // namespace morvane::ravelle
