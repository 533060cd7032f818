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
// Cost: every matrix is read once, in its own memory order: row-major inputs a
// day at a time, column-major ones a stock at a time down the days. Allocates only the holdings;
// touches no shared state, so any number of engines may run on different threads.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

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
  [[nodiscard]] bool rows_contiguous() const {
    return prev_close.row_major() && can_buy.row_major() && cant_sell.row_major() &&
           close.row_major() && buy_price.row_major() && sell_price.row_major() &&
           split.row_major() && dividend.row_major();
  }
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

// One stock-day of the contract above, in two halves that every sweep shares:
// the trade toward the target (which needs only the masks) and its money P&L
// (which needs the prices), so a sweep can skip the prices of idle stock-days.
struct StockDayTrade {
  double buy = 0.0;
  double sell = 0.0;
  double keep = 0.0;  // shares carried over and kept; held afterwards = keep + buy

  [[nodiscard]] double held_after() const { return keep + buy; }
  // Most stock-days hold nothing and trade nothing: their P&L is 0 whatever
  // the prices, since every per-share profit is finite after nan_to_num.
  [[nodiscard]] bool idle() const { return keep == 0.0 && buy == 0.0 && sell == 0.0; }
};

[[nodiscard]] inline StockDayTrade trade_toward(double target, double held, bool can_buy,
                                                bool cant_sell) {
  const double diff = target - held;
  StockDayTrade out;
  out.buy = (diff > 0.0 && can_buy) ? diff : 0.0;
  out.sell = (diff < 0.0 && !cant_sell) ? -diff : 0.0;
  out.keep = held - out.sell;
  return out;
}

// Per-share profits of one stock-day; `buy_cost` = 1 + fee, `sell_keep` =
// 1 - fee - rule_fee.
struct StockDayPrices {
  double buy_coeff = 0.0;
  double hold_coeff = 0.0;
  double sell_coeff = 0.0;
  double dividend = 0.0;
};

[[nodiscard]] inline StockDayPrices stock_day_prices(double close, double prev_close,
                                                     double split_raw, double dividend_raw,
                                                     double buy_price, double sell_price,
                                                     double buy_cost, double sell_keep) {
  const double split = std::isnan(split_raw) ? 1.0 : split_raw;
  StockDayPrices out;
  out.dividend = nan_to_num(dividend_raw);
  out.buy_coeff = nan_to_num(close - buy_price * buy_cost);
  out.hold_coeff = nan_to_num(split * close - prev_close);
  out.sell_coeff = nan_to_num(split * sell_price * sell_keep - prev_close);
  return out;
}

[[nodiscard]] inline double stock_day_pnl(const StockDayTrade& t, const StockDayPrices& p) {
  return t.buy * p.buy_coeff + t.keep * p.hold_coeff + t.keep * p.dividend + t.sell * p.sell_coeff +
         t.sell * p.dividend;
}

// Where the engine reports each stock-day it holds or trades. The default
// sink records nothing and compiles away, so the engine's loop is the same
// whether or not anybody listens; a recording sink (trade_ledger.hpp) sees
// every stock-day that is not idle, in the engine's sweep order.
struct NoTradeLog {
  static constexpr bool kRecords = false;
  void record(std::size_t /*day*/, std::size_t /*stock*/, const StockDayTrade& /*trade*/) {}
};

namespace detail {

// Column-major inputs (what pandas operations produce) are swept one stock at
// a time down the days, so that each of the nine streams the loop reads is
// sequential; row-major inputs are swept a whole day at a time. Wider column
// blocks measured slower: more streams than the prefetcher follows.
inline constexpr std::size_t kColumnBlock = 1;

// Element j of row i; `kUnitColumns` lets the compiler drop the column stride
// when every market row is contiguous.
template <bool kUnitColumns, class T>
[[nodiscard]] inline T at(const MatrixView<T>& m, std::size_t i, std::size_t j) {
  const std::ptrdiff_t col =
      kUnitColumns ? static_cast<std::ptrdiff_t>(j) : static_cast<std::ptrdiff_t>(j) * m.col_stride;
  return m.data[static_cast<std::ptrdiff_t>(i) * m.row_stride + col];
}

// The per-share profits of stock j on day i.
template <bool kUnitColumns>
[[nodiscard]] inline StockDayPrices prices_at(const MarketView& market, std::size_t i,
                                              std::size_t j, double buy_cost, double sell_keep) {
  return stock_day_prices(
      at<kUnitColumns>(market.close, i, j), at<kUnitColumns>(market.prev_close, i, j),
      at<kUnitColumns>(market.split, i, j), at<kUnitColumns>(market.dividend, i, j),
      at<kUnitColumns>(market.buy_price, i, j), at<kUnitColumns>(market.sell_price, i, j), buy_cost,
      sell_keep);
}

// One day of trading for stocks [j0, j1): updates the holdings and returns the
// day's money P&L of these stocks.
template <bool kUnitColumns, class TargetFn, class Log>
[[nodiscard]] double trade_day(const MarketView& market, double buy_cost, double sell_keep,
                               TargetFn& target, std::size_t i, std::size_t j0, std::size_t j1,
                               double* held, Log& log) {
  double cash = 0.0;
  for (std::size_t j = j0; j < j1; ++j) {
    double& held_j = held[j - j0];
    const StockDayTrade trade =
        trade_toward(target(i, j), held_j, at<kUnitColumns>(market.can_buy, i, j),
                     at<kUnitColumns>(market.cant_sell, i, j));
    held_j = trade.held_after();
    if (trade.idle()) continue;
    if constexpr (Log::kRecords) log.record(i, j, trade);
    cash += stock_day_pnl(trade, prices_at<kUnitColumns>(market, i, j, buy_cost, sell_keep));
  }
  return cash;
}

}  // namespace detail

// Runs the engine with target shares given by `target(day, stock)` and ADDS
// each day's money P&L to `daily_cash` (the caller zeroes it). The target is
// asked exactly once per stock-day, in day order within each stock. Every
// stock-day held or traded is reported to `log`; each day's P&L is the sum of
// its stock-days' stock_day_pnl in ascending stock order, whatever the layout.
template <class TargetFn, class Log = NoTradeLog>
void run_portfolio(const MarketView& market, const PortfolioParams& params, TargetFn&& target,
                   std::span<double> daily_cash, Log&& log = Log{}) {
  const std::size_t n_days = market.days();
  const std::size_t n_stocks = market.stocks();
  const double buy_cost = 1.0 + params.fee;
  const double sell_keep = 1.0 - params.fee - params.rule_fee;
  const bool unit_columns = market.rows_contiguous();
  const std::size_t block =
      unit_columns ? std::max<std::size_t>(n_stocks, 1) : detail::kColumnBlock;
  std::vector<double> held(block);
  for (std::size_t j0 = 0; j0 < n_stocks; j0 += block) {
    const std::size_t j1 = std::min(n_stocks, j0 + block);
    std::fill(held.begin(), held.end(), 0.0);
    for (std::size_t i = 0; i < n_days; ++i) {
      daily_cash[i] += unit_columns ? detail::trade_day<true>(market, buy_cost, sell_keep, target,
                                                              i, j0, j1, held.data(), log)
                                    : detail::trade_day<false>(market, buy_cost, sell_keep, target,
                                                               i, j0, j1, held.data(), log);
    }
  }
}

// The strategy engine: targets sized from weights aligned to the market,
// `weight(i, j)` being the weight of stock j traded on day i, asked as
// run_portfolio asks its targets. Writes each day's return, the money P&L
// divided by `total_money`, into `daily_return`.
template <class WeightFn, class Log = NoTradeLog>
void run_weights(WeightFn&& weight, const MarketView& market, const PortfolioParams& params,
                 std::span<double> daily_return, Log&& log = Log{}) {
  std::fill(daily_return.begin(), daily_return.end(), 0.0);
  run_portfolio(
      market, params,
      [&](std::size_t day, std::size_t stock) {
        return lot_target(weight(day, stock), market.prev_close(day, stock), params);
      },
      daily_return, log);
  for (double& value : daily_return) value /= params.total_money;
}

// run_weights over a weight matrix (row i holds the weights traded on day i).
void run_weight_portfolio(const MatrixView<double>& weights, const MarketView& market,
                          const PortfolioParams& params, std::span<double> daily_return);

}  // namespace morvane::kernels
