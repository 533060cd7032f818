// morvane.backtest._ravelle: the strategy computation core.
#include <nanobind/nanobind.h>

#include "charts_module.hpp"
#include "doc.hpp"
#include "engine.hpp"
#include "module_body.hpp"
#include "pyglue/params.hpp"
#include "runner.hpp"
#include "stats.hpp"
#include "yearly.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

nb::object calc_strategy_vwap_daily_return(nb::handle signal_matrix, nb::handle can_buy_stock,
                                           nb::handle cant_sell_stock, nb::handle split_factor,
                                           nb::handle dividend_factor, nb::handle close_price,
                                           nb::handle prev_close, nb::handle buy_price,
                                           nb::handle sell_price, nb::handle total_money,
                                           nb::handle fee, nb::handle rule_fee,
                                           nb::handle lot_size) {
  return morvane::ravelle::daily_return(
      {signal_matrix,
       {can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price, prev_close,
        buy_price, sell_price},
       total_money,
       fee,
       rule_fee,
       lot_size});
}

nb::object run_strategy_backtest_core(
    nb::handle strategy_matrix, nb::handle can_buy_stock, nb::handle cant_sell_stock,
    nb::handle split_factor, nb::handle dividend_factor, nb::handle close_price,
    nb::handle prev_close, nb::handle buy_price, nb::handle sell_price, nb::handle benchmark_dict,
    nb::handle benchmark_names, nb::handle rolling_window, nb::handle total_money, nb::handle fee,
    nb::handle rule_fee, nb::handle plot_image_kind, nb::handle plot_save_path,
    nb::handle strategy_name, nb::handle plot_title, nb::handle record_trades) {
  return morvane::ravelle::run_strategy_backtest(
      {strategy_matrix,
       {can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price, prev_close,
        buy_price, sell_price},
       benchmark_dict,
       benchmark_names,
       rolling_window,
       total_money,
       fee,
       rule_fee,
       plot_image_kind,
       plot_save_path,
       strategy_name,
       plot_title,
       record_trades});
}

}  // namespace

NB_MODULE(_ravelle, m) {
  m.doc() = morvane::doc::kRavelleModule;
  morvane::ravelle::define_module_body(m);

  // The engine refuses None as nanobind does: TypeError naming the function's signature.
  morvane::pyglue::def<morvane::doc::kDailyReturnParams, false>(m, &calc_strategy_vwap_daily_return,
                                                                morvane::doc::kDailyReturn);
  morvane::pyglue::def<morvane::doc::kSmoothWeightsParams>(
      m, &morvane::ravelle::smooth_strategy_weights, morvane::doc::kSmoothWeights);
  morvane::pyglue::def<morvane::doc::kBuildTotalFrameParams>(
      m, &morvane::ravelle::build_total_backtesting_frame, morvane::doc::kBuildTotalFrame);
  morvane::pyglue::def<morvane::doc::kStrategyStatsParams>(
      m, &morvane::ravelle::calc_strategy_stats, morvane::doc::kStrategyStats);
  morvane::pyglue::def<morvane::doc::kYearlyMetricsParams>(
      m, &morvane::ravelle::calc_yearly_performance_metrics, morvane::doc::kYearlyMetrics);
  m.def("_period_return_drawdown_calmar", &morvane::ravelle::period_return_drawdown_calmar,
        "daily_return"_a.none(),
        nb::sig("def _period_return_drawdown_calmar(daily_return: pandas.Series | None) "
                "-> tuple[float, float, float]"),
        morvane::doc::kPeriodFigures);
  morvane::pyglue::def<morvane::doc::kRunnerParams>(m, &run_strategy_backtest_core,
                                                    morvane::doc::kRunner);
  morvane::ravelle::define_charts(m);
}
