#include "group_portfolio.hpp"

#include <algorithm>
#include <cassert>

#include "parallel.hpp"

namespace morvane::kernels {

namespace {

// Stocks per block: fixed, so the order of the P&L sums never depends on the
// number of threads.
constexpr std::size_t kStockBlock = 128;

template <class T>
MatrixView<T> column_rows(const MatrixView<T>& m, std::size_t stock, std::size_t first,
                          std::size_t count) {
  MatrixView<T> out = m;
  out.data = &m(first, stock);
  out.rows = count;
  out.cols = 1;
  return out;
}

MarketView stock_market(const MarketView& m, std::size_t stock, std::size_t first,
                        std::size_t count) {
  return MarketView{column_rows(m.prev_close, stock, first, count),
                    column_rows(m.can_buy, stock, first, count),
                    column_rows(m.cant_sell, stock, first, count),
                    column_rows(m.close, stock, first, count),
                    column_rows(m.buy_price, stock, first, count),
                    column_rows(m.sell_price, stock, first, count),
                    column_rows(m.split, stock, first, count),
                    column_rows(m.dividend, stock, first, count)};
}

}  // namespace

GroupReturns run_group_portfolios(const GroupDays& groups, const MarketView& market,
                                  const PortfolioParams& params, std::size_t threads) {
  assert(market.days() == groups.days && market.stocks() == groups.stocks);
  GroupReturns out;
  const auto first_it = std::find(groups.formed.begin(), groups.formed.end(), 1);
  if (first_it == groups.formed.end()) return out;
  const auto last_it = std::find(groups.formed.rbegin(), groups.formed.rend(), 1);
  const auto first = static_cast<std::size_t>(first_it - groups.formed.begin());
  const std::size_t last =
      groups.days - 1 - static_cast<std::size_t>(last_it - groups.formed.rbegin());
  if (last <= first) return out;
  const std::size_t n_ret = last - first;  // return rows first + 1 .. last
  const std::size_t n_groups = groups.groups;
  const std::size_t n_stocks = groups.stocks;
  const std::size_t n_days = groups.days;
  out.first_day = first + 1;
  out.days = n_ret;

  const std::size_t n_blocks = (n_stocks + kStockBlock - 1) / kStockBlock;
  // Money P&L per block, group and return day.
  std::vector<double> partial(n_blocks * n_groups * n_ret, 0.0);
  parallel_blocks(n_blocks, 1, threads, [&](std::size_t b0, std::size_t b1) {
    std::vector<std::uint8_t> column(n_ret);
    std::vector<std::uint8_t> present(n_groups + 1);
    for (std::size_t b = b0; b < b1; ++b) {
      double* const cash = partial.data() + b * n_groups * n_ret;
      const std::size_t j1 = std::min(n_stocks, (b + 1) * kStockBlock);
      for (std::size_t j = b * kStockBlock; j < j1; ++j) {
        // Group of stock j on the weight day of each return day.
        std::fill(present.begin(), present.end(), 0);
        for (std::size_t t = 0; t < n_ret; ++t) {
          column[t] = groups.group[(first + t) * n_stocks + j];
          present[column[t]] = 1;
        }
        const MarketView stock = stock_market(market, j, first + 1, n_ret);
        // A group that never holds the stock has nothing to trade in it.
        for (std::size_t g = 1; g <= n_groups; ++g) {
          if (!present[g]) continue;
          const double* const weight = groups.weight.data() + (g - 1) * n_days + first;
          const auto code = static_cast<std::uint8_t>(g);
          run_portfolio(
              stock, params,
              [&](std::size_t t, std::size_t) {
                return column[t] == code ? lot_target(weight[t], stock.prev_close(t, 0), params)
                                         : 0.0;
              },
              std::span<double>(cash + (g - 1) * n_ret, n_ret));
        }
      }
    }
  });
  out.daily.assign(n_ret * n_groups, 0.0);
  for (std::size_t b = 0; b < n_blocks; ++b) {
    const double* const cash = partial.data() + b * n_groups * n_ret;
    for (std::size_t g = 0; g < n_groups; ++g) {
      for (std::size_t t = 0; t < n_ret; ++t) out.daily[t * n_groups + g] += cash[g * n_ret + t];
    }
  }
  for (double& v : out.daily) v /= params.total_money;
  return out;
}

}  // namespace morvane::kernels
