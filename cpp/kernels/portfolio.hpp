// The portfolio engine shared by the strategy backtest and the factor group
// backtest: one portfolio traded each day at the morning VWAP, in whole lots,
// behind the limit and suspension masks, with splits, dividends and fees.
//
// Contract, per stock j and day i (all matrices aligned to the same days and
// stocks):
//   diff  = target(i, j) - held(j)
//   buy   = diff      if diff > 0 and can_buy(i, j),     else 0
//   sell  = -diff     if diff < 0 and !cant_sell(i, j), else 0
//   keep  = held(j) - sell;  held(j) = keep + buy
//   cash(i) += buy  * n2n(close - buy_price * (1 + fee))
//            + keep * n2n(split * close - prev_close) + keep * dividend
//            + sell * n2n(split * sell_price * (1 - fee - rule_fee) - prev_close)
//            + sell * dividend
// where split defaults to 1 and dividend to 0 when missing, and n2n maps NaN
// to 0 and +-inf to the largest finite doubles (numpy's nan_to_num). Shares
// bought on a day receive no dividend that day. Share counts are never
// rescaled by splits: a split only enters the profit of the day it applies.
//
// Cost: one pass over the days for each block of stocks, reading every matrix
// once; the stock blocks make column-major (pandas) and row-major (numpy)
// inputs both stream. Allocates one block of holdings on the stack; touches no
// shared state, so any number of engines may run on different threads.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "matrix_view.hpp"

namespace morvane::kernels {

struct MarketView {
  MatrixView<double> prev_close;
  MatrixView<bool> can_buy;
  MatrixView<bool> cant_sell;
  MatrixView<double> close;
  MatrixView<double> buy_price;
  MatrixView<double> sell_price;
  MatrixView<double> split;
  MatrixView<double> dividend;

  [[nodiscard]] std::size_t days() const { return close.rows; }
  [[nodiscard]] std::size_t stocks() const { return close.cols; }
};

struct PortfolioParams {
  double total_money = 1e8;  // notional capital; sizes positions, divides P&L
  double fee = 1e-4;         // commission, on buys and sells
  double rule_fee = 5e-4;    // levy, on sells only
  std::int64_t lot_size = 200;
};

// numpy's nan_to_num: NaN -> 0, +-inf -> +-largest finite double.
[[nodiscard]] inline double nan_to_num(double x) {
  if (std::isnan(x)) return 0.0;
  if (std::isinf(x)) {
    return x > 0 ? std::numeric_limits<double>::max() : std::numeric_limits<double>::lowest();
  }
  return x;
}

// Whole-lot target of a weight: floor(total * w / (prev_close * lot)) * lot,
// or 0 where the weight or the previous close cannot size a position. The
// order of operations is the one the documented formula is evaluated in, so
// that a target sitting exactly on a lot boundary rounds the same way.
[[nodiscard]] inline double lot_target(double weight, double prev_close,
                                       const PortfolioParams& params) {
  const double lot = static_cast<double>(params.lot_size);
  if (!std::isfinite(weight) || !std::isfinite(prev_close) || !(prev_close > 0.0)) return 0.0;
  return std::floor(params.total_money * weight / (prev_close * lot)) * lot;
}

namespace detail {
inline constexpr std::size_t kStockBlock = 128;
}

// Runs the engine with target shares given by `target(day, stock)` and ADDS
// each day's money P&L to `daily_cash` (the caller zeroes it). The target is
// asked exactly once per stock-day, in day order within each stock.
template <class TargetFn>
void run_portfolio(const MarketView& market, const PortfolioParams& params, TargetFn&& target,
                   std::span<double> daily_cash) {
  const std::size_t n_days = market.days();
  const std::size_t n_stocks = market.stocks();
  const double buy_cost = 1.0 + params.fee;
  const double sell_keep = 1.0 - params.fee - params.rule_fee;
  double held[detail::kStockBlock];
  for (std::size_t j0 = 0; j0 < n_stocks; j0 += detail::kStockBlock) {
    const std::size_t j1 = std::min(n_stocks, j0 + detail::kStockBlock);
    std::fill(held, held + (j1 - j0), 0.0);
    for (std::size_t i = 0; i < n_days; ++i) {
      double cash = 0.0;
      for (std::size_t j = j0; j < j1; ++j) {
        double& held_j = held[j - j0];
        const double diff = target(i, j) - held_j;
        const double buy = (diff > 0.0 && market.can_buy(i, j)) ? diff : 0.0;
        const double sell = (diff < 0.0 && !market.cant_sell(i, j)) ? -diff : 0.0;
        const double keep = held_j - sell;
        held_j = keep + buy;
        if (keep == 0.0 && buy == 0.0 && sell == 0.0) continue;
        const double close = market.close(i, j);
        const double prev_close = market.prev_close(i, j);
        const double split_raw = market.split(i, j);
        const double split = std::isnan(split_raw) ? 1.0 : split_raw;
        const double dividend = nan_to_num(market.dividend(i, j));
        const double buy_coeff = nan_to_num(close - market.buy_price(i, j) * buy_cost);
        const double hold_coeff = nan_to_num(split * close - prev_close);
        const double sell_coeff =
            nan_to_num(split * market.sell_price(i, j) * sell_keep - prev_close);
        cash += buy * buy_coeff + keep * hold_coeff + keep * dividend + sell * sell_coeff +
                sell * dividend;
      }
      daily_cash[i] += cash;
    }
  }
}

// The strategy engine: targets sized from a weight matrix aligned to the
// market (row i holds the weights traded on day i). Writes each day's return,
// the money P&L divided by `total_money`, into `daily_return`.
void run_weight_portfolio(const MatrixView<double>& weights, const MarketView& market,
                          const PortfolioParams& params, std::span<double> daily_return);

}  // namespace morvane::kernels
