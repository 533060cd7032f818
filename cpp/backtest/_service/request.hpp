// What the two backtest flows share when they take a request apart: the
// date arguments, the chart folder arguments and the folder a chart creates.
#pragma once

#include <nanobind/nanobind.h>

#include <filesystem>
#include <string>
#include <vector>

namespace morvane::service {

namespace nb = nanobind;

// Capital and rates of a request, converted to float (a TypeError naming the
// argument otherwise) and range-checked as the computation cores check them
// (a ValueError naming the argument).
struct TradingCosts {
  double total_money, fee, rule_fee;
};
[[nodiscard]] TradingCosts trading_costs(nb::handle total_money, nb::handle fee,
                                         nb::handle rule_fee);

// `normalize_yyyymmdd(value)`, which must give a text. A value of another
// type is a TypeError, an impossible date a ValueError, both naming the
// argument `name` and what it received.
[[nodiscard]] nb::object normalized_date(nb::handle value, const char* name);

// A TypeError unless `output_dir` is a text, a path-like object or None.
void require_output_dir_type(nb::handle output_dir);

// The ValueErrors of a chart request without a folder or without a file name.
void require_chart_target(nb::handle output_dir, const std::string& plot_filename);

// The text form of output_dir / "<plot_filename>.png".
[[nodiscard]] nb::object chart_path(nb::handle output_dir, const std::string& plot_filename);

// The rows of the user's `table` (named `name`) from start to end. A date
// range that misses the data gives an empty result, which is kept but said
// (MorvaneWarning): when the sliced market `matrices` has no date, or the
// table has none in the range (`loaded`, the whole loaded data mapping,
// gives the dates there are).
[[nodiscard]] nb::object rows_in_range(nb::handle table, const char* name, nb::handle matrices,
                                       nb::handle loaded, nb::handle start, nb::handle end);

// Adds the trading costs both computation cores take to `keywords`:
// total_money, fee and rule_fee.
void add_cost_keywords(nb::dict& keywords, const TradingCosts& costs);

// Adds the market tables both computation cores take to `keywords`, under
// their keyword names and in the cores' order: can_buy_stock, cant_sell_stock,
// split_factor, dividend_factor, close_price, prev_close, buy_price,
// sell_price and benchmark_dict, from the sliced data `matrices`.
void add_market_keywords(nb::dict& keywords, nb::handle matrices);

// The chart folder, created for the request and removed again (when still
// empty) if the backtest fails, so a rejected call leaves no trace. A folder
// the OS cannot create is an OSError naming output_dir and the path.
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
