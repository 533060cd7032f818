#include "portfolio_params.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "args.hpp"
#include "backtest_params.hpp"

namespace morvane::pyglue {

namespace {

using params::kGroupRange;
using params::kHorizonRange;
using params::kPeriodRange;
using params::kWindowRange;

void check_rate(double value, const char* name) {
  if (!(value >= 0.0 && value < 1.0)) {
    raise_value_error(std::string("参数 ") + name + " 取值范围 [0, 1), 收到 " +
                      std::to_string(value));
  }
}

}  // namespace

kernels::PortfolioParams read_portfolio_params(nb::handle total_money, nb::handle fee,
                                               nb::handle rule_fee, nb::handle lot_size) {
  kernels::PortfolioParams params;
  params.total_money = to_float(total_money, "total_money");
  params.fee = to_float(fee, "fee");
  params.rule_fee = to_float(rule_fee, "rule_fee");
  params.lot_size = to_int(lot_size, "lot_size");
  // A zero or NaN capital, or a zero lot, turns every return into NaN or inf;
  // refuse them instead of handing back a series of garbage.
  if (!(std::isfinite(params.total_money) && params.total_money > 0.0)) {
    raise_value_error("参数 total_money 必须是正的有限数, 收到 " +
                      std::to_string(params.total_money));
  }
  check_rate(params.fee, "fee");
  check_rate(params.rule_fee, "rule_fee");
  if (params.lot_size < 1) {
    raise_value_error("参数 lot_size 必须不小于 1, 收到 " + std::to_string(params.lot_size));
  }
  return params;
}

std::size_t read_group_num(nb::handle group_num) {
  const std::int64_t groups = to_int(group_num, "group_num");
  if (groups < kGroupRange.low || groups > kGroupRange.high)
    raise_value_error("group_num 取值范围 [2, 100]");
  return static_cast<std::size_t>(groups);
}

std::size_t read_rolling_window(nb::handle rolling_window, const char* name) {
  const std::int64_t window = to_int(rolling_window, name);
  if (window < kWindowRange.low) {
    raise_value_error(std::string("参数 ") + name + " 不能为负数, 收到 " + std::to_string(window));
  }
  return static_cast<std::size_t>(window);
}

std::vector<std::size_t> read_horizons(nb::handle horizons) {
  const char* const expected = "int | Sequence[int]";
  std::vector<std::int64_t> given;
  // Any number is a count of days (converted as integers are); a bool is a
  // number to Python, but never a number of days.
  const auto is_number = [](nb::handle value) {
    return !PyBool_Check(value.ptr()) && PyNumber_Check(value.ptr()) &&
           !PySequence_Check(value.ptr());
  };
  if (PySequence_Check(horizons.ptr()) && !PyUnicode_Check(horizons.ptr()) &&
      !PyBytes_Check(horizons.ptr())) {
    for (nb::handle item : nb::borrow<nb::sequence>(horizons)) {
      if (!is_number(item)) raise_type_error("horizons", expected, item);
      given.push_back(to_int(item, "horizons"));
    }
  } else if (is_number(horizons)) {
    given.push_back(to_int(horizons, "horizons"));
  } else {
    raise_type_error("horizons", expected, horizons);
  }
  if (given.empty()) raise_value_error("参数 horizons 至少要有一个持有期, 收到空序列");
  for (const std::int64_t h : given) {
    if (h < kHorizonRange.low || h > kHorizonRange.high) {
      raise_value_error("参数 horizons 的持有期取值范围 [1, 250] (交易日), 收到 " +
                        std::to_string(h));
    }
  }
  std::sort(given.begin(), given.end());
  given.erase(std::unique(given.begin(), given.end()), given.end());
  return {given.begin(), given.end()};
}

std::size_t read_rebalance_every(nb::handle rebalance_every) {
  const std::int64_t every = to_int(rebalance_every, "rebalance_every");
  if (every < kPeriodRange.low || every > kPeriodRange.high) {
    raise_value_error("参数 rebalance_every 取值范围 [1, 250] (交易日), 收到 " +
                      std::to_string(every));
  }
  return static_cast<std::size_t>(every);
}

}  // namespace morvane::pyglue
