#include "group_portfolio.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <memory>
#include <type_traits>

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

MarketView slice_days(const MarketView& m, std::size_t first, std::size_t count) {
  return MarketView{m.prev_close.row_slice(first, count), m.can_buy.row_slice(first, count),
                    m.cant_sell.row_slice(first, count),  m.close.row_slice(first, count),
                    m.buy_price.row_slice(first, count),  m.sell_price.row_slice(first, count),
                    m.split.row_slice(first, count),      m.dividend.row_slice(first, count)};
}

// Days [start, end) on which one group may hold or trade one stock.
struct Episode {
  bool open = false;
  std::size_t start = 0;
  std::size_t last_member = 0;
};

// Idle days an episode may span rather than end and restart: trading them
// costs less than a new engine call.
constexpr std::size_t kBridgeDays = 8;

// A group's holding of a stock is zero outside its episodes: holdings start
// with the first day the group targets the stock and, once the group drops
// it, end on the first day after that on which a sale is not blocked (the
// whole holding is sold then, leaving exactly zero shares). So trading each
// episode from zero holdings gives the returns of trading every day.
// Calls visit(group code, start, end) for each episode of each group.
template <class Visit>
void for_each_episode(const std::vector<std::uint8_t>& column, const MatrixView<bool>& cant_sell,
                      std::size_t n_groups, std::vector<Episode>& open, Visit&& visit) {
  const std::size_t n = column.size();
  const auto sold_by = [&](std::size_t last_member) {
    std::size_t t = last_member + 1;
    while (t < n && cant_sell(t, 0)) ++t;
    return std::min(t + 1, n);  // exclusive end: the day of the sale is traded
  };
  for (auto& e : open) e.open = false;
  for (std::size_t t = 0; t < n; ++t) {
    const std::uint8_t code = column[t];
    if (code == 0) continue;
    Episode& e = open[code];
    if (e.open) {
      const std::size_t end = sold_by(e.last_member);
      if (end + kBridgeDays < t) {
        visit(code, e.start, end);
        e.start = t;
      }
    } else {
      e.open = true;
      e.start = t;
    }
    e.last_member = t;
  }
  for (std::size_t g = 1; g <= n_groups; ++g) {
    if (open[g].open)
      visit(static_cast<std::uint8_t>(g), open[g].start, sold_by(open[g].last_member));
  }
}

// Trades every episode of one stock for its groups, adding the money P&L to
// `cash` (groups x return days).
void trade_episodes(const GroupDays& groups, const PortfolioParams& params,
                    const std::vector<std::uint8_t>& column, const MarketView& stock,
                    std::size_t first, std::size_t n_ret, std::vector<Episode>& open,
                    double* cash) {
  for_each_episode(column, stock.cant_sell, groups.groups, open,
                   [&](std::uint8_t code, std::size_t t0, std::size_t t1) {
                     const std::size_t g = code - 1U;
                     const double* const weight = groups.weight.data() + g * groups.days + first;
                     const MarketView part = slice_days(stock, t0, t1 - t0);
                     run_portfolio(
                         part, params,
                         [&](std::size_t t, std::size_t) {
                           return column[t0 + t] == code
                                      ? lot_target(weight[t0 + t], part.prev_close(t, 0), params)
                                      : 0.0;
                         },
                         std::span<double>(cash + g * n_ret + t0, t1 - t0));
                   });
}

// Market columns of a few consecutive stocks, copied day-contiguous. A
// row-major market puts consecutive days of one stock a whole row apart, so
// each of the stock's episodes would miss the cache on every day; copied once,
// a stock's days stay in cache for all of its groups' episodes.
class StockColumns {
 public:
  static constexpr std::size_t kWidth = 32;

  void load(const MarketView& m, std::size_t j0, std::size_t width, std::size_t first_row,
            std::size_t days) {
    days_ = days;
    const std::size_t n = kWidth * days;
    for (auto& values : doubles_) values.resize(n);
    if (!can_buy_) {
      can_buy_ = std::make_unique<bool[]>(n);
      cant_sell_ = std::make_unique<bool[]>(n);
    }
    const MatrixView<double>* const sources[] = {&m.prev_close, &m.close, &m.buy_price,
                                                 &m.sell_price, &m.split, &m.dividend};
    for (std::size_t t = 0; t < days; ++t) {
      const std::size_t row = first_row + t;
      for (std::size_t k = 0; k < std::size(sources); ++k) {
        double* const out = doubles_[k].data() + t;
        for (std::size_t w = 0; w < width; ++w) out[w * days] = (*sources[k])(row, j0 + w);
      }
      for (std::size_t w = 0; w < width; ++w) {
        can_buy_[w * days + t] = m.can_buy(row, j0 + w);
        cant_sell_[w * days + t] = m.cant_sell(row, j0 + w);
      }
    }
  }

  [[nodiscard]] MarketView stock(std::size_t w) const {
    const auto column = [&](const auto* data) {
      using T = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
      return MatrixView<T>{data + w * days_, days_, 1, 1, 1};
    };
    return MarketView{column(doubles_[0].data()), column(can_buy_.get()),
                      column(cant_sell_.get()),   column(doubles_[1].data()),
                      column(doubles_[2].data()), column(doubles_[3].data()),
                      column(doubles_[4].data()), column(doubles_[5].data())};
  }

 private:
  std::size_t days_ = 0;
  std::array<std::vector<double>, 6> doubles_;
  std::unique_ptr<bool[]> can_buy_, cant_sell_;
};

bool days_contiguous(const MarketView& m) {
  return m.prev_close.row_stride == 1 && m.can_buy.row_stride == 1 && m.cant_sell.row_stride == 1 &&
         m.close.row_stride == 1 && m.buy_price.row_stride == 1 && m.sell_price.row_stride == 1 &&
         m.split.row_stride == 1 && m.dividend.row_stride == 1;
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
  out.first_day = first + 1;
  out.days = n_ret;

  const std::size_t n_blocks = (n_stocks + kStockBlock - 1) / kStockBlock;
  // Money P&L per block, group and return day.
  std::vector<double> partial(n_blocks * n_groups * n_ret, 0.0);
  parallel_blocks(n_blocks, 1, threads, [&](std::size_t b0, std::size_t b1) {
    std::vector<std::uint8_t> column(n_ret);
    std::vector<Episode> open(n_groups + 1);
    StockColumns local;
    const bool in_place = days_contiguous(market);
    for (std::size_t b = b0; b < b1; ++b) {
      double* const cash = partial.data() + b * n_groups * n_ret;
      const std::size_t block_end = std::min(n_stocks, (b + 1) * kStockBlock);
      for (std::size_t j0 = b * kStockBlock; j0 < block_end; j0 += StockColumns::kWidth) {
        const std::size_t width = std::min(StockColumns::kWidth, block_end - j0);
        if (!in_place) local.load(market, j0, width, first + 1, n_ret);
        for (std::size_t w = 0; w < width; ++w) {
          const std::size_t j = j0 + w;
          // Group of stock j on the weight day of each return day.
          for (std::size_t t = 0; t < n_ret; ++t) {
            column[t] = groups.group[(first + t) * n_stocks + j];
          }
          const MarketView stock =
              in_place ? stock_market(market, j, first + 1, n_ret) : local.stock(w);
          trade_episodes(groups, params, column, stock, first, n_ret, open, cash);
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
