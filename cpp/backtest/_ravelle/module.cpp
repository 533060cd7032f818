// morvane.backtest._ravelle: the strategy computation core.
#include <nanobind/nanobind.h>

#include "charts_module.hpp"
#include "doc.hpp"
#include "engine.hpp"
#include "module_body.hpp"
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

  m.def("calc_strategy_vwap_daily_return", &calc_strategy_vwap_daily_return, "signal_matrix"_a,
        "can_buy_stock"_a, "cant_sell_stock"_a, "split_factor"_a, "dividend_factor"_a,
        "close_price"_a, "prev_close"_a, "buy_price"_a, "sell_price"_a, "total_money"_a = 1e8,
        "fee"_a = 1e-4, "rule_fee"_a = 5e-4, "lot_size"_a = 200,
        nb::sig("def calc_strategy_vwap_daily_return(signal_matrix: pandas.DataFrame, "
                "can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, "
                "split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, "
                "close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
                "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, "
                "total_money: float = 100000000.0, fee: float = 0.0001, "
                "rule_fee: float = 0.0005, lot_size: int = 200) -> pandas.Series"),
        morvane::doc::kDailyReturn);
  m.def("_smooth_strategy_weights", &morvane::ravelle::smooth_strategy_weights, "strategy_matrix"_a,
        "rolling_window"_a,
        nb::sig("def _smooth_strategy_weights(strategy_matrix: pandas.DataFrame, "
                "rolling_window: int) -> pandas.DataFrame"),
        morvane::doc::kSmoothWeights);
  m.def("_build_total_backtesting_frame", &morvane::ravelle::build_total_backtesting_frame,
        "total_backtesting"_a.none(),
        nb::sig("def _build_total_backtesting_frame(total_backtesting: pandas.DataFrame) "
                "-> pandas.DataFrame"),
        morvane::doc::kBuildTotalFrame);
  m.def("calc_strategy_stats", &morvane::ravelle::calc_strategy_stats, "total_frame"_a.none(),
        "signal_df"_a.none(),
        nb::sig("def calc_strategy_stats(total_frame: pandas.DataFrame, "
                "signal_df: pandas.DataFrame | None) -> dict[str, float]"),
        morvane::doc::kStrategyStats);
  m.def("_calc_yearly_performance_metrics", &morvane::ravelle::calc_yearly_performance_metrics,
        "daily"_a.none(),
        nb::sig("def _calc_yearly_performance_metrics(daily: pandas.DataFrame) "
                "-> pandas.DataFrame"),
        morvane::doc::kYearlyMetrics);
  m.def("_period_return_drawdown_calmar", &morvane::ravelle::period_return_drawdown_calmar,
        "daily_return"_a.none(),
        nb::sig("def _period_return_drawdown_calmar(daily_return: pandas.Series | None) "
                "-> tuple[float, float, float]"),
        morvane::doc::kPeriodFigures);
  // Every argument admits None here so that the runner's own checks name the
  // argument and both types.
  m.def("run_strategy_backtest_core", &run_strategy_backtest_core, "strategy_matrix"_a.none(),
        "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(), "split_factor"_a.none(),
        "dividend_factor"_a.none(), "close_price"_a.none(), "prev_close"_a.none(),
        "buy_price"_a.none(), "sell_price"_a.none(), "benchmark_dict"_a.none() = nb::none(),
        "benchmark_names"_a.none() = "000852", "rolling_window"_a.none() = 0,
        "total_money"_a.none() = 1e8, "fee"_a.none() = 1e-4, "rule_fee"_a.none() = 5e-4,
        "plot_image_kind"_a.none() = "large", "plot_save_path"_a.none() = nb::none(),
        "strategy_name"_a.none() = "strategy", "plot_title"_a.none() = nb::none(), nb::kw_only(),
        "record_trades"_a.none() = false,
        nb::sig("def run_strategy_backtest_core(strategy_matrix: pandas.DataFrame, "
                "can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, "
                "split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, "
                "close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
                "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, "
                "benchmark_dict: dict[str, pandas.Series] | None = None, "
                "benchmark_names: str = '000852', rolling_window: int = 0, "
                "total_money: float = 100000000.0, fee: float = 0.0001, "
                "rule_fee: float = 0.0005, plot_image_kind: str | None = 'large', "
                "plot_save_path: str | os.PathLike[str] | None = None, "
                "strategy_name: str = 'strategy', plot_title: str | None = None, *, "
                "record_trades: bool = False) -> _RavelleResult"),
        morvane::doc::kRunner);
  morvane::ravelle::define_charts(m);
}
