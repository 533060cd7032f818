// The parameters the backtest entry points share (the computation cores, the
// service's two backtests and its request checks), each declared once: its
// default, its range and what it means. A function that narrows a meaning
// takes the parameter `described` anew; the default and the range stay.
#pragma once

#include "kernels/portfolio.hpp"
#include "params.hpp"

namespace morvane::pyglue::params {

// The ranges, each enforced by one reading function of portfolio_params.hpp.
inline constexpr Range kCapitalRange{"须为正的有限数"};  // read_portfolio_params
inline constexpr Range kRateRange{"取值 [0, 1)"};        // read_portfolio_params
inline constexpr Range kLotRange{"须不小于 1"};          // read_portfolio_params
// Groups of a factor backtest: at least a top and a bottom; the group numbers
// are stored in one byte per stock-day.
inline constexpr Range kGroupRange{"取值 [2, 100]", 2, 100};  // read_group_num
inline constexpr Range kWindowRange{"须不小于 0", 0};         // read_rolling_window
// Holding periods and rebalance intervals up to a trading year.
inline constexpr Range kPeriodRange{"取值 [1, 250]", 1, 250};       // read_rebalance_every
inline constexpr Range kHorizonRange{"每个取值 [1, 250]", 1, 250};  // read_horizons

inline constexpr kernels::PortfolioParams kPortfolioDefaults{};

inline constexpr Param kTotalMoney{"total_money", "float",
                                   real_default(kPortfolioDefaults.total_money), &kCapitalRange,
                                   "名义资金"};
inline constexpr Param kFee{"fee", "float", real_default(kPortfolioDefaults.fee), &kRateRange,
                            "佣金费率, 买卖双向收取"};
inline constexpr Param kRuleFee{"rule_fee", "float", real_default(kPortfolioDefaults.rule_fee),
                                &kRateRange, "印花税率, 仅卖出收取"};
inline constexpr Param kLotSize{"lot_size", "int", int_default(kPortfolioDefaults.lot_size),
                                &kLotRange, "每手股数"};
inline constexpr Param kGroupNum{"group_num", "int", int_default(20), &kGroupRange, "分组数"};
inline constexpr Param kRollingWindow{"rolling_window", "int", int_default(0), &kWindowRange,
                                      "滚动均值窗口 (交易日), 0 或 1 不平滑"};
inline constexpr Param kAscending{"ascending", "bool", flag_default(false), nullptr,
                                  "True 时因子越大组号越小"};
inline constexpr Param kHorizons{"horizons", "int | typing.Sequence[int]", int_tuple_default(1),
                                 &kHorizonRange, "IC 衰减的持有期 (交易日)"};
inline constexpr Param kRebalanceEvery{"rebalance_every", "int", int_default(1), &kPeriodRange,
                                       "每隔几个交易日重新分组"};
inline constexpr Param kTearSheet{"tear_sheet", "bool", flag_default(false), nullptr,
                                  "另画因子分析图 (IC 衰减、月度 IC 热图、各组换手)"};
inline constexpr Param kRecordTrades{"record_trades", "bool", flag_default(false), nullptr,
                                     "True 时另记交易流水"};

// The benchmark compared against unless the caller names one.
inline constexpr const char* kDefaultBenchmark = "000852";
// The name of a strategy that was not given one.
inline constexpr const char* kDefaultStrategyName = "strategy";
// The chart layouts of the two flows.
inline constexpr const char* kFactorLayout = "long";
inline constexpr const char* kStrategyLayout = "large";

}  // namespace morvane::pyglue::params
