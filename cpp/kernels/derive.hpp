// Derivations of the prepared backtest matrices. Every input is a contiguous
// row-major dates x stocks grid of the same shape as the output (the binding
// aligns labels first); NaN means no data. Allocate nothing; safe on many
// threads.
#pragma once

#include <cstddef>
#include <span>

#include "matrix_view.hpp"

namespace morvane::kernels {

struct Grid {
  std::size_t rows = 0;
  std::size_t cols = 0;
};

// 1.0 where the close is a finite number, NaN elsewhere (close * 0 + 1).
void close_valid(std::span<const double> close, std::span<double> out);

// split / 10 * valid.
void split_factor(std::span<const double> split, std::span<const double> valid,
                  std::span<double> out);

// dividend / 10 * 0.9 + (valid - 1): the after-tax cash per share where the
// close exists, NaN where it does not.
void dividend_factor(std::span<const double> dividend, std::span<const double> valid,
                     std::span<double> out);

// A stock-day without a price (not listed yet, delisted, halted without a
// flag) or flagged suspended (flag exactly 1) is neither bought nor sold;
// other days follow the limit: a sell at the limit-down price, a buy at the
// limit-up price is refused. So a cell a table lacks and a cell without a
// price mean the same, no trading, which is what the store reads for a cell
// it lacks: a refreshed store equals a rebuilt one.
void cant_sell_mask(std::span<const double> sell, std::span<const double> limit_down,
                    std::span<const double> suspended, std::span<bool> out);
void can_buy_mask(std::span<const double> buy, std::span<const double> limit_up,
                  std::span<const double> suspended, std::span<bool> out);

// The last known (non-NaN) close before each row of its column; before the
// first one, the column's `seed` (the last close before the grid's first row,
// NaN when there is none; one value per column). Carries across interior gaps
// such as unreported suspensions.
void last_close_before(Grid grid, std::span<const double> close, std::span<const double> seed,
                       std::span<double> out);

// The last known (non-NaN) value of each column of `values`, NaN for a
// column without one: the close a later build carries on. Scans the rows
// backwards and stops once every column is found, so a store's close is read
// only as far back as its stocks' last closes.
void last_known_per_column(const MatrixView<double>& values, std::span<double> out);

// open[t + 2] / open[t + 1] - 1, infinite ratios as NaN, NaN in the last two rows.
void forward_open_return(Grid grid, std::span<const double> open, std::span<double> out);

// Average ranks within each row (1 = smallest, ties share the mean rank), NaN
// cells unranked. `out` may alias `values`.
void rank_rows(Grid grid, std::span<const double> values, std::span<double> out);

// 1.0 where the membership value is finite and non-zero, NaN elsewhere.
void membership(std::span<const double> values, std::span<double> out);

}  // namespace morvane::kernels
