#include "group_portfolio.hpp"

#include <algorithm>
#include <cassert>

#include "parallel.hpp"

namespace morvane::kernels {

namespace {

// Stocks per block: fixed, so the order of the P&L sums never depends on the
// number of threads.
constexpr std::size_t kStockBlock = 128;

// The groups that hold one stock and their shares. A stock leaves a group's
// holdings on its first unblocked sale after the group drops it, so a stock
// is held by one or two groups on most days, however many groups there are.
struct StockHoldings {
  std::uint8_t* groups = nullptr;  // group codes (1-based), `count` of them
  double* shares = nullptr;
  std::size_t count = 0;
  double target = 0.0;  // the target shares of its group, sized after the last rebalance day
};

// What one return day trades toward: the group codes of the stocks (null
// when the day holds no groups), the weight day whose group sizes apply, and
// whether targets are sized anew.
struct HeldDay {
  const std::uint8_t* codes = nullptr;
  std::size_t weight_day = 0;
  bool sized = true;
};

// Trades one stock for every group on one return day: each group holding the
// stock sells toward 0 (or, if it is the stock's group, toward its target),
// and the stock's group buys toward its target. A group that neither holds
// nor targets the stock would trade nothing and earn nothing, so it is not
// visited; the market is read only when some group is.
template <bool kUnitColumns>
class GroupSweep {
 public:
  GroupSweep(const GroupDays& groups, const MarketView& market, const PortfolioParams& params,
             std::size_t first, std::size_t n_ret)
      : groups_(groups),
        market_(market),
        params_(params),
        first_(first),
        n_ret_(n_ret),
        buy_cost_(1.0 + params.fee),
        sell_keep_(1.0 - params.fee - params.rule_fee) {}

  // Return day t (market row first + 1 + t) of stock j, whose group on the
  // weight day is `code` (0: none). Adds each group's money P&L to
  // cash[t * groups + group - 1].
  void trade(StockHoldings& h, std::size_t j, std::size_t t, const HeldDay& held_day,
             std::uint8_t code, double* cash) const {
    if (code == 0 && h.count == 0) return;
    const std::size_t row = first_ + 1 + t;
    const bool can_buy = detail::at<kUnitColumns>(market_.can_buy, row, j);
    const bool cant_sell = detail::at<kUnitColumns>(market_.cant_sell, row, j);
    const double prev_close = detail::at<kUnitColumns>(market_.prev_close, row, j);
    // Between rebalance days a stock keeps its group, and its target the
    // shares sized on the first day of the holding period.
    const auto target_of = [&](std::uint8_t g) {
      if (held_day.sized) {
        const double weight = groups_.weight[(g - 1U) * groups_.days + held_day.weight_day];
        h.target = lot_target(weight, prev_close, params_);
      }
      return h.target;
    };
    bool priced = false;
    StockDayPrices prices;
    std::size_t kept = 0;
    // Trades the stock in group g toward `target` from `shares`, books the
    // money P&L into g's cash and keeps the position while shares remain.
    const auto trade_and_keep = [&](std::uint8_t g, double target, double shares) {
      const StockDayTrade trade = trade_toward(target, shares, can_buy, cant_sell);
      if (!trade.idle()) {
        if (!priced) {
          prices = detail::prices_at<kUnitColumns>(market_, row, j, buy_cost_, sell_keep_);
          priced = true;
        }
        cash[t * groups_.groups + g - 1U] += stock_day_pnl(trade, prices);
      }
      const double held = trade.held_after();
      if (held != 0.0) {
        h.groups[kept] = g;
        h.shares[kept] = held;
        ++kept;
      }
    };
    bool member_held = false;
    for (std::size_t k = 0; k < h.count; ++k) {
      const std::uint8_t g = h.groups[k];
      member_held = member_held || g == code;
      trade_and_keep(g, g == code ? target_of(g) : 0.0, h.shares[k]);
    }
    if (code != 0 && !member_held) trade_and_keep(code, target_of(code), 0.0);
    h.count = kept;
  }

 private:
  const GroupDays& groups_;
  const MarketView& market_;
  const PortfolioParams& params_;
  std::size_t first_, n_ret_;
  double buy_cost_, sell_keep_;
};

// Stocks [j0, j1) (whole blocks, the last one possibly short) over every
// return day, adding each block's money P&L to its own cash table in
// `partial` (return days x groups per block). Each cash cell receives its
// stocks in ascending order whichever way the loops run, so the sums do not
// depend on the layout or on how many blocks one sweep covers: row-major
// markets are swept a day at a time across all the stocks (each market row
// read as one long stream, which the prefetcher follows; a block's short row
// segments it would not), column-major ones a stock at a time down the days.
template <bool kUnitColumns>
void sweep_stocks(const GroupDays& groups, const std::vector<HeldDay>& held_days,
                  const MarketView& market, const PortfolioParams& params, std::size_t first,
                  std::size_t n_ret, std::size_t j0, std::size_t j1,
                  std::vector<std::uint8_t>& held_groups, std::vector<double>& held_shares,
                  double* partial) {
  const GroupSweep<kUnitColumns> sweep(groups, market, params, first, n_ret);
  const std::size_t n_groups = groups.groups;
  const std::size_t width = j1 - j0;
  const std::size_t cash_size = n_ret * n_groups;
  held_groups.resize(width * n_groups);
  held_shares.resize(width * n_groups);
  std::vector<StockHoldings> holdings(width);
  for (std::size_t w = 0; w < width; ++w) {
    holdings[w] =
        StockHoldings{held_groups.data() + w * n_groups, held_shares.data() + w * n_groups, 0};
  }
  const auto code_of = [](const HeldDay& day, std::size_t j) -> std::uint8_t {
    return day.codes == nullptr ? 0 : day.codes[j];
  };
  if constexpr (kUnitColumns) {
    for (std::size_t t = 0; t < n_ret; ++t) {
      const HeldDay& day = held_days[t];
      for (std::size_t b0 = j0; b0 < j1; b0 += kStockBlock) {
        double* const cash = partial + (b0 / kStockBlock) * cash_size;
        const std::size_t b1 = std::min(j1, b0 + kStockBlock);
        for (std::size_t j = b0; j < b1; ++j) {
          sweep.trade(holdings[j - j0], j, t, day, code_of(day, j), cash);
        }
      }
    }
  } else {
    for (std::size_t j = j0; j < j1; ++j) {
      double* const cash = partial + (j / kStockBlock) * cash_size;
      for (std::size_t t = 0; t < n_ret; ++t) {
        sweep.trade(holdings[j - j0], j, t, held_days[t], code_of(held_days[t], j), cash);
      }
    }
  }
}

}  // namespace

GroupReturns run_group_portfolios(const GroupDays& groups, const HoldingSchedule& schedule,
                                  const MarketView& market, const PortfolioParams& params,
                                  std::size_t threads) {
  assert(market.days() == groups.days && market.stocks() == groups.stocks);
  GroupReturns out;
  const auto holds = [&](std::int64_t source) { return source >= 0; };
  const auto first_it = std::find_if(schedule.source.begin(), schedule.source.end(), holds);
  if (first_it == schedule.source.end()) return out;
  const auto last_it = std::find_if(schedule.source.rbegin(), schedule.source.rend(), holds);
  const auto first = static_cast<std::size_t>(first_it - schedule.source.begin());
  const std::size_t last =
      groups.days - 1 - static_cast<std::size_t>(last_it - schedule.source.rbegin());
  if (last <= first) return out;
  const std::size_t n_ret = last - first;  // return rows first + 1 .. last
  const std::size_t n_groups = groups.groups;
  const std::size_t n_stocks = groups.stocks;
  out.first_day = first + 1;
  out.days = n_ret;
  std::vector<HeldDay> held_days(n_ret);
  for (std::size_t t = 0; t < n_ret; ++t) {
    const std::size_t weight_day = first + t;
    const std::int64_t source = schedule.source[weight_day];
    HeldDay& day = held_days[t];
    day.sized = schedule.rebalance[weight_day] != 0;
    if (source >= 0) {
      day.codes = groups.group.data() + static_cast<std::size_t>(source) * n_stocks;
      day.weight_day = static_cast<std::size_t>(source);
    }
  }

  const std::size_t n_blocks = (n_stocks + kStockBlock - 1) / kStockBlock;
  const bool unit_columns = market.rows_contiguous();
  // Money P&L per block, return day and group.
  std::vector<double> partial(n_blocks * n_ret * n_groups, 0.0);
  // Row-major markets: one sweep per thread over as many whole blocks as
  // share out evenly, so each sweep reads long row streams. Column-major
  // ones gain nothing from width: a block at a time balances best.
  const std::size_t workers = std::max<std::size_t>(threads == 0 ? usable_cpus() : threads, 1);
  const std::size_t blocks_per_sweep = unit_columns ? (n_blocks + workers - 1) / workers : 1;
  parallel_blocks(n_blocks, blocks_per_sweep, threads, [&](std::size_t b0, std::size_t b1) {
    std::vector<std::uint8_t> held_groups;
    std::vector<double> held_shares;
    const std::size_t j0 = b0 * kStockBlock;
    const std::size_t j1 = std::min(n_stocks, b1 * kStockBlock);
    if (unit_columns) {
      sweep_stocks<true>(groups, held_days, market, params, first, n_ret, j0, j1, held_groups,
                         held_shares, partial.data());
    } else {
      sweep_stocks<false>(groups, held_days, market, params, first, n_ret, j0, j1, held_groups,
                          held_shares, partial.data());
    }
  });
  // Blocks in order, whatever thread swept them.
  out.daily.assign(n_ret * n_groups, 0.0);
  for (std::size_t b = 0; b < n_blocks; ++b) {
    const double* const cash = partial.data() + b * n_ret * n_groups;
    for (std::size_t k = 0; k < n_ret * n_groups; ++k) out.daily[k] += cash[k];
  }
  for (double& v : out.daily) v /= params.total_money;
  return out;
}

}  // namespace morvane::kernels
