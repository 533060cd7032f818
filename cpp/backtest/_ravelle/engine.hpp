// Bindings of the strategy daily return engine and the weight smoothing.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

#include "align_weights.hpp"
#include "kernels/portfolio.hpp"
#include "kernels/strategy_stats.hpp"
#include "kernels/trade_ledger.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/market.hpp"

namespace morvane::ravelle {

namespace nb = nanobind;

struct EngineArgs {
  nb::handle weights;  // the signal_matrix argument
  pyglue::MarketTables market;
  nb::handle total_money;
  nb::handle fee;
  nb::handle rule_fee;
  nb::handle lot_size;
};

// What the engine did to every stock-day, when the run records it: the
// records, the market view they were traded on (kept alive) and the labels
// of its days and stocks.
struct RecordedTrades {
  kernels::TradeLog log;
  pyglue::MarketArrays market;
  nb::object dates, codes;
};

// Daily returns of `weights` (row t traded on row t + 1).
// `pnl_index` is None and `returns` empty when there is nothing to trade.
struct EngineRun {
  nb::object pnl_index;
  std::vector<double> returns;
  std::shared_ptr<RecordedTrades> trades;  // only when recording
};
[[nodiscard]] EngineRun run_engine(const pyglue::LabelledMatrix<double>& weights,
                                   const pyglue::MarketTables& market,
                                   const kernels::PortfolioParams& params);

// A run's weights traded: the rows of the weight table holding any weight,
// the engine's days from the first of them, and the holding count and
// turnover of the table.
struct TradedWeights {
  std::vector<std::size_t> weighted_rows;
  EngineRun run;
  kernels::WeightFigures figures{};
};
// With `record_trades` the run also keeps what it traded (`run.trades`).
[[nodiscard]] TradedWeights trade_work_weights(WorkWeights& weights,
                                               const pyglue::MarketTables& market,
                                               const kernels::PortfolioParams& params,
                                               bool record_trades);

// calc_strategy_vwap_daily_return: a float64 Series of daily returns.
[[nodiscard]] nb::object daily_return(const EngineArgs& args);

// _smooth_strategy_weights.
[[nodiscard]] nb::object smooth_strategy_weights(nb::handle strategy_matrix,
                                                 nb::handle rolling_window);

}  // namespace morvane::ravelle
