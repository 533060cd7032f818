// What the two backtest flows share when they take a request apart: the
// date arguments, the chart folder arguments and the folder a chart creates.
#pragma once

#include <nanobind/nanobind.h>

#include <filesystem>
#include <string>
#include <vector>

namespace morvane::service {

namespace nb = nanobind;

// A TypeError unless `table` is a DataFrame or None and `data` the loaded
// BacktestData.
void require_table_and_data(nb::handle table, const char* table_name, nb::handle data);

// Capital and rates of a request, converted to float (a TypeError naming the
// argument otherwise); their ranges are the computation cores' to check.
struct TradingCosts {
  double total_money, fee, rule_fee;
};
[[nodiscard]] TradingCosts trading_costs(nb::handle total_money, nb::handle fee,
                                         nb::handle rule_fee);

// `normalize_yyyymmdd(value)`, which must give a text; otherwise a TypeError
// naming the argument.
[[nodiscard]] nb::object normalized_date(nb::handle value, const char* name);

// A TypeError unless `output_dir` is a text, a path-like object or None.
void require_output_dir_type(nb::handle output_dir);

// The ValueErrors of a chart request without a folder or without a file name.
void require_chart_target(nb::handle output_dir, const std::string& plot_filename);

// The text form of output_dir / "<plot_filename>.png".
[[nodiscard]] nb::object chart_path(nb::handle output_dir, const std::string& plot_filename);

// Adds the market tables both computation cores take to `keywords`, under
// their keyword names and in the cores' order: can_buy_stock, cant_sell_stock,
// split_factor, dividend_factor, close_price, prev_close, buy_price,
// sell_price and benchmark_dict, from the sliced data `matrices`.
void add_market_keywords(nb::dict& keywords, nb::handle matrices);

// The chart folder, created for the request and removed again (when still
// empty) if the backtest fails, so a rejected call leaves no trace.
class ChartFolder {
 public:
  explicit ChartFolder(nb::handle output_dir);
  ChartFolder(const ChartFolder&) = delete;
  ChartFolder& operator=(const ChartFolder&) = delete;
  ~ChartFolder();
  void keep() { created_.clear(); }

 private:
  std::vector<std::filesystem::path> created_;
};

}  // namespace morvane::service
