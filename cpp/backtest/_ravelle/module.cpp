// morvane.backtest._ravelle: the strategy computation core.
#include <nanobind/nanobind.h>

#include "charts_module.hpp"
#include "doc.hpp"
#include "engine.hpp"
#include "module_body.hpp"

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
  morvane::ravelle::define_charts(m);
}
