// Derivations of the prepared backtest matrices. Every input is a contiguous
// row-major dates x stocks grid of the same shape as the output (the binding
// aligns labels first); NaN means no data. Allocate nothing; safe on many
// threads.
#pragma once

#include <cstddef>
#include <span>

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

// A suspended stock-day (flag exactly 1) is neither bought nor sold; other
// days follow the limit: a sell at the limit-down price, a buy at the
// limit-up price is refused. A missing price never equals its limit.
void cant_sell_mask(std::span<const double> sell, std::span<const double> limit_down,
                    std::span<const double> suspended, std::span<bool> out);
void can_buy_mask(std::span<const double> buy, std::span<const double> limit_up,
                  std::span<const double> suspended, std::span<bool> out);

// The last known (non-NaN) close before each row of its column; NaN before
// the first one. Carries across interior gaps such as unreported suspensions.
void last_close_before(Grid grid, std::span<const double> close, std::span<double> out);

// open[t + 2] / open[t + 1] - 1, infinite ratios as NaN, NaN in the last two rows.
void forward_open_return(Grid grid, std::span<const double> open, std::span<double> out);

// Average ranks within each row (1 = smallest, ties share the mean rank), NaN
// cells unranked. `out` may alias `values`.
void rank_rows(Grid grid, std::span<const double> values, std::span<double> out);

// 1.0 where the membership value is finite and non-zero, NaN elsewhere.
void membership(std::span<const double> values, std::span<double> out);

}  // namespace morvane::kernels
