#include "group_days.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "parallel.hpp"
#include "ranking.hpp"

namespace morvane::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Days per pool block: large enough to keep thread hand-offs (and each
// block's scratch allocations) rare.
constexpr std::size_t kDayBlock = 128;
// Days per tile of a column-major input: two cache lines of each stock's
// column, and a tile (16 x 5,000 doubles) that stays in cache.
constexpr std::size_t kTileDays = 16;

// Rows of one dates x stocks input for a block of days, each as contiguous
// values: the input's own rows when they are contiguous, otherwise a tile
// copied a stock at a time. A column-major input (what pandas hands out)
// holds a stock's days side by side, so the copy reads memory in order where
// reading a day across the stocks would touch a new cache line and page per
// stock.
struct DayRows {
  std::vector<double> tile;
  std::vector<const double*> rows;  // per wanted row; nullptr for -1

  void load(const MatrixView<double>& m, std::span<const std::int64_t> wanted) {
    rows.assign(wanted.size(), nullptr);
    if (m.row_major()) {
      for (std::size_t r = 0; r < wanted.size(); ++r) {
        if (wanted[r] >= 0) rows[r] = &m(static_cast<std::size_t>(wanted[r]), 0);
      }
      return;
    }
    const std::size_t cols = m.cols;
    tile.resize(wanted.size() * cols);
    for (std::size_t j = 0; j < cols; ++j) {
      for (std::size_t r = 0; r < wanted.size(); ++r) {
        if (wanted[r] >= 0) tile[r * cols + j] = m(static_cast<std::size_t>(wanted[r]), j);
      }
    }
    for (std::size_t r = 0; r < wanted.size(); ++r) {
      if (wanted[r] >= 0) rows[r] = tile.data() + r * cols;
    }
  }
};

// Factor minus its industry's mean over the sample; an industry whose factor
// is constant gets exactly 0, so rounding in the mean cannot invent an order.
void industry_residuals(std::span<const double> factor, std::span<const double> industry,
                        RankScratch& scratch, std::vector<std::uint32_t>& order,
                        std::vector<double>& out) {
  const std::size_t n = factor.size();
  out.resize(n);
  stable_order(industry, false, scratch, order);
  std::size_t first = 0;
  while (first < n) {
    std::size_t end = first + 1;
    while (end < n && industry[order[end]] == industry[order[first]]) ++end;
    double sum = 0.0, lo = factor[order[first]], hi = lo;
    for (std::size_t p = first; p < end; ++p) {
      const double v = factor[order[p]];
      sum += v;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    const double mean = sum / static_cast<double>(end - first);
    for (std::size_t p = first; p < end; ++p) {
      out[order[p]] = lo == hi ? 0.0 : factor[order[p]] - mean;
    }
    first = end;
  }
}

// One day's factor ranks by stock (average ranks among the day's eligible
// stocks, NaN for the others), kept for the later days that pair with it in
// the rank autocorrelation.
struct RankedDay {
  std::int64_t day = -1;
  std::vector<double> rank;
};

// The ranked days a thread still needs: the last `lag + 1` of them.
struct RankedDayRing {
  std::vector<RankedDay> slots;
  explicit RankedDayRing(std::size_t max_lag) : slots(max_lag + 1) {}
  RankedDay& slot(std::size_t day) { return slots[day % slots.size()]; }
  [[nodiscard]] const RankedDay* find(std::size_t day) const {
    const RankedDay& s = slots[day % slots.size()];
    return s.day == static_cast<std::int64_t>(day) ? &s : nullptr;
  }
};

struct DayScratch {
  DayRows factor_rows, valid_rows, forward_rows, open_rows, industry_rows;
  std::vector<std::int64_t> wanted;
  RankScratch rank;
  std::vector<std::uint32_t> members, order, ic_order;
  std::vector<double> values, forward, member_industry, x, y, z, industry, resid, member_rank;
};

// Average ranks of values given in ascending order (ties share the mean).
void sorted_ranks(std::span<const double> sorted, std::vector<double>& ranks) {
  const std::size_t n = sorted.size();
  ranks.resize(n);
  std::size_t first = 0;
  while (first < n) {
    std::size_t end = first + 1;
    while (end < n && sorted[end] == sorted[first]) ++end;
    const double rank = 0.5 * static_cast<double>(first + 1 + end);
    for (std::size_t p = first; p < end; ++p) ranks[p] = rank;
    first = end;
  }
}

// Pearson correlation of two days' factor ranks over the stocks ranked on
// both (NaN below three of them): two passes down the stocks, the first for
// the means, the second for the centred sums.
double ranked_correlation(const RankedDay& first, const RankedDay& second) {
  const std::size_t n_stocks = first.rank.size();
  double sum_x = 0.0, sum_y = 0.0;
  std::size_t n = 0;
  for (std::size_t j = 0; j < n_stocks; ++j) {
    const double x = first.rank[j], y = second.rank[j];
    if (std::isnan(x) || std::isnan(y)) continue;
    sum_x += x;
    sum_y += y;
    ++n;
  }
  if (n < 3) return kNaN;
  const double mean_x = sum_x / static_cast<double>(n), mean_y = sum_y / static_cast<double>(n);
  double sxy = 0.0, sxx = 0.0, syy = 0.0;
  for (std::size_t j = 0; j < n_stocks; ++j) {
    const double x = first.rank[j], y = second.rank[j];
    if (std::isnan(x) || std::isnan(y)) continue;
    const double dx = x - mean_x, dy = y - mean_y;
    sxy += dx * dy;
    sxx += dx * dx;
    syy += dy * dy;
  }
  if (!(sxx > 0.0) || !(syy > 0.0)) return kNaN;
  return std::clamp(sxy / std::sqrt(sxx * syy), -1.0, 1.0);
}

// A day's ranks by stock, from its eligible stocks in ascending factor order
// (`stocks[q]` holding `sorted[q]`).
void rank_day(std::size_t day, std::size_t n_stocks, std::span<const std::uint32_t> stocks,
              std::span<const double> sorted, std::vector<double>& ranks, RankedDay& out) {
  out.day = static_cast<std::int64_t>(day);
  out.rank.assign(n_stocks, kNaN);
  sorted_ranks(sorted, ranks);
  for (std::size_t q = 0; q < stocks.size(); ++q) out.rank[stocks[q]] = ranks[q];
}

// A day before a block, ranked for the block's first days to pair with.
void rank_day_before(const double* factor, const double* valid, std::size_t n_stocks,
                     std::size_t day, DayScratch& s, RankedDay& out) {
  s.members.resize(n_stocks);
  s.values.resize(n_stocks);
  std::size_t k = 0;
  for (std::size_t j = 0; j < n_stocks; ++j) {
    s.members[k] = static_cast<std::uint32_t>(j);
    s.values[k] = factor[j];
    k += static_cast<std::size_t>(std::isfinite(factor[j]) && !std::isnan(valid[j]));
  }
  s.values.resize(k);
  stable_order(s.values, false, s.rank, s.order);
  s.x.resize(k);
  s.ic_order.resize(k);
  for (std::size_t q = 0; q < k; ++q) {
    s.x[q] = s.values[s.order[q]];
    s.ic_order[q] = s.members[s.order[q]];
  }
  rank_day(day, n_stocks, s.ic_order, s.x, s.z, out);
}

// The rank autocorrelations of `day` with each earlier day `day - lag` that
// the ring still holds.
void autocorrelations(std::size_t day, const RankedDay& today, const RankedDayRing& ring,
                      GroupDays& out) {
  const std::size_t n_lags = out.lags.size();
  for (std::size_t l = 0; l < n_lags; ++l) {
    const std::size_t lag = out.lags[l];
    if (lag > day) break;
    const RankedDay* earlier = ring.find(day - lag);
    if (earlier == nullptr) continue;
    out.autocorrelation[day * n_lags + l] = ranked_correlation(*earlier, today);
  }
}

// The IC of day `day` at each horizon above one day: the factor against the
// return from open T+1 to open T+1+h, over the stocks that have that return.
// When every eligible stock has it (the usual case) the factor's ranks are
// the day's own, ranked once, and the returns are read in stock order;
// otherwise the sample is taken in factor order and ranked again.
void horizon_ics(const GroupDayInputs& in, std::size_t day, std::size_t r, GroupDays& out,
                 DayScratch& s) {
  const std::size_t n_h = out.horizons.size();
  const std::size_t k = s.members.size();
  const double* const open_1 = s.open_rows.rows.empty() ? nullptr : s.open_rows.rows[r + 1];
  if (open_1 == nullptr || k < 3) return;
  bool ranked = false;
  for (std::size_t h = 0; h < n_h; ++h) {
    const std::size_t horizon = out.horizons[h];
    if (horizon == 1) continue;
    const double* const open_h = s.open_rows.rows[r + 1 + horizon];
    if (open_h == nullptr) continue;  // the market ends before the horizon does
    s.y.resize(k);
    bool complete = true;
    for (std::size_t p = 0; p < k; ++p) {
      const std::uint32_t j = s.members[p];
      const double fwd = open_h[j] / open_1[j] - 1.0;
      s.y[p] = fwd;
      complete = complete && std::isfinite(fwd);
    }
    if (complete) {
      if (!ranked) {
        // The day's factor ranks by member, from the order already sorted.
        s.x.resize(k);
        for (std::size_t q = 0; q < k; ++q) {
          s.x[q] = s.values[in.ascending ? s.order[k - 1 - q] : s.order[q]];
        }
        sorted_ranks(s.x, s.rank.rank_x);
        s.member_rank.resize(k);
        for (std::size_t q = 0; q < k; ++q) {
          s.member_rank[in.ascending ? s.order[k - 1 - q] : s.order[q]] = s.rank.rank_x[q];
        }
        ranked = true;
      }
      average_ranks(s.y, s.rank, s.rank.order_y, s.rank.rank_y);
      out.horizon_ic[day * n_h + h] = rank_correlation(s.member_rank, s.rank.rank_y);
      continue;
    }
    s.x.resize(k);
    s.z.resize(k);
    std::size_t m = 0;
    for (std::size_t q = 0; q < k; ++q) {
      const std::size_t p = in.ascending ? s.order[k - 1 - q] : s.order[q];
      s.x[m] = s.values[p];
      s.z[m] = s.y[p];
      m += static_cast<std::size_t>(std::isfinite(s.y[p]));
    }
    if (m < 3) continue;
    s.x.resize(m);
    s.z.resize(m);
    sorted_ranks(s.x, s.rank.rank_x);
    average_ranks(s.z, s.rank, s.rank.order_y, s.rank.rank_y);
    out.horizon_ic[day * n_h + h] = rank_correlation(s.rank.rank_x, s.rank.rank_y);
  }
}

// The one-day rank IC and its industry-neutral twin, from the forward
// returns gathered with the eligible stocks.
void one_day_ic(const GroupDayInputs& in, std::size_t day, GroupDays& out, DayScratch& s) {
  const std::size_t k = s.members.size();
  const bool with_industry = in.industry.has_value();
  // The IC sample in ascending factor order: the stocks that also have a
  // forward return.
  s.x.resize(k);
  s.y.resize(k);
  s.industry.resize(with_industry ? k : 0);
  std::size_t m = 0;
  for (std::size_t q = 0; q < k; ++q) {
    const std::size_t p = in.ascending ? s.order[k - 1 - q] : s.order[q];
    const double fwd = s.forward[p];
    s.x[m] = s.values[p];
    s.y[m] = fwd;
    if (with_industry) s.industry[m] = s.member_industry[p];
    m += static_cast<std::size_t>(std::isfinite(fwd));
  }
  s.x.resize(m);
  s.y.resize(m);
  if (with_industry) s.industry.resize(m);
  if (m < 3) return;
  sorted_ranks(s.x, s.rank.rank_x);
  average_ranks(s.y, s.rank, s.rank.order_y, s.rank.rank_y);
  out.rank_ic[day] = rank_correlation(s.rank.rank_x, s.rank.rank_y);
  if (!with_industry) return;
  // Only stocks with an industry take part in the neutral IC.
  std::size_t kept = 0;
  for (std::size_t p = 0; p < m; ++p) {
    s.x[kept] = s.x[p];
    s.y[kept] = s.y[p];
    s.industry[kept] = s.industry[p];
    kept += static_cast<std::size_t>(!std::isnan(s.industry[p]));
  }
  s.x.resize(kept);
  s.y.resize(kept);
  s.industry.resize(kept);
  industry_residuals(s.x, s.industry, s.rank, s.ic_order, s.resid);
  out.neutral_ic[day] = spearman(s.resid, s.y, s.rank);
}

// Day `day`, the `r`-th of its block: its rows are row r of the block's
// tiles (the open prices: rows r + 1 and r + 1 + h).
void one_day(const GroupDayInputs& in, std::size_t day, std::size_t r, GroupDays& out,
             DayScratch& s, RankedDayRing& ring) {
  const std::size_t n_stocks = out.stocks;
  const std::int64_t row = in.factor_row[day];
  if (row < 0) return;
  out.has_factor[day] = 1;
  // The eligible stocks, compacted without a branch per stock: a stock is
  // written at the next free place and kept by advancing past it.
  // Their forward returns are picked up in the same pass, in memory order: read
  // later in factor order, they would miss the cache on nearly every stock.
  const bool with_ic = in.forward.any();
  s.members.resize(n_stocks);
  s.values.resize(n_stocks);
  s.forward.resize(with_ic ? n_stocks : 0);
  const bool with_industry = with_ic && in.industry.has_value();
  s.member_industry.resize(with_industry ? n_stocks : 0);
  const double* const factor = s.factor_rows.rows[r];
  const double* const valid = s.valid_rows.rows[r];
  const double* const cache = in.forward.rank_cache ? s.forward_rows.rows[r] : nullptr;
  // The open prices of T + 1 and T + 2; none for the market's last two days.
  const bool opens = cache == nullptr && in.forward.open.has_value();
  const double* const open_1 = opens ? s.open_rows.rows[r + 1] : nullptr;
  const double* const open_2 = opens ? s.open_rows.rows[r + 2] : nullptr;
  const double* const industry = with_industry ? s.industry_rows.rows[r] : nullptr;
  std::size_t k = 0;
  for (std::size_t j = 0; j < n_stocks; ++j) {
    const double v = factor[j];
    s.members[k] = static_cast<std::uint32_t>(j);
    s.values[k] = v;
    if (cache != nullptr) {
      s.forward[k] = cache[j];
    } else if (with_ic) {
      const double fwd = open_2 == nullptr ? kNaN : open_2[j] / open_1[j] - 1.0;
      s.forward[k] = std::isfinite(fwd) ? fwd : kNaN;
    }
    if (with_industry) s.member_industry[k] = industry[j];
    k += static_cast<std::size_t>(std::isfinite(v) && !std::isnan(valid[j]));
  }
  s.members.resize(k);
  s.values.resize(k);
  out.eligible[day] = static_cast<std::uint32_t>(k);
  const std::size_t n = out.groups;
  // One sort serves the groups and the IC: read backwards, a descending order
  // is an ascending one (ties reversed, which average ranks ignore).
  stable_order(s.values, in.ascending, s.rank, s.order);
  if (k >= n) {
    std::uint8_t* const g_row = out.group.data() + day * n_stocks;
    // Rank p (from 0) is in group g exactly when g * k <= p * n < (g + 1) * k,
    // so group g holds the ranks from ceil(g * k / n) up to the next group's
    // first: one division per group, none per stock.
    std::size_t begin = 0;
    for (std::size_t g = 0; g < n; ++g) {
      const std::size_t end = ((g + 1) * k + n - 1) / n;
      for (std::size_t p = begin; p < end; ++p) {
        g_row[s.members[s.order[p]]] = static_cast<std::uint8_t>(g + 1);
      }
      out.weight[g * out.days + day] = 1.0 / static_cast<double>(end - begin);
      begin = end;
    }
    out.formed[day] = 1;
  }
  if (!out.lags.empty()) {
    // The day's ranks by stock, kept for the later days that pair with it.
    s.x.resize(k);
    s.ic_order.resize(k);
    for (std::size_t q = 0; q < k; ++q) {
      const std::size_t p = in.ascending ? s.order[k - 1 - q] : s.order[q];
      s.x[q] = s.values[p];
      s.ic_order[q] = s.members[p];
    }
    RankedDay& today = ring.slot(day);
    rank_day(day, n_stocks, s.ic_order, s.x, s.z, today);
    autocorrelations(day, today, ring, out);
  }
  if (!with_ic) return;
  if (in.forward.open) horizon_ics(in, day, r, out, s);
  one_day_ic(in, day, out, s);
  const std::size_t n_h = out.horizons.size();
  for (std::size_t h = 0; h < n_h; ++h) {
    if (out.horizons[h] == 1) out.horizon_ic[day * n_h + h] = out.rank_ic[day];
  }
}

}  // namespace

GroupDays run_group_days(const GroupDayInputs& in, std::size_t threads) {
  GroupDays out;
  out.days = in.valid.rows;
  out.stocks = in.valid.cols;
  out.groups = in.group_num;
  out.horizons = in.horizons;
  out.lags = in.lags;
  out.group.assign(out.days * out.stocks, 0);
  out.weight.assign(out.groups * out.days, kNaN);
  out.formed.assign(out.days, 0);
  out.has_factor.assign(out.days, 0);
  out.eligible.assign(out.days, 0);
  out.rank_ic.assign(out.days, kNaN);
  if (in.industry) out.neutral_ic.assign(out.days, kNaN);
  if (in.forward.any()) out.horizon_ic.assign(out.days * out.horizons.size(), kNaN);
  out.autocorrelation.assign(out.days * out.lags.size(), kNaN);
  const std::size_t max_horizon =
      in.horizons.empty() ? 1 : std::max<std::size_t>(in.horizons.back(), 1);
  const std::size_t max_lag = in.lags.empty() ? 0 : in.lags.back();
  // The opening prices a tile reads beyond its own days: T + 1 up to T + 1 + h.
  // With a rank cache they serve only the horizons above one day.
  const bool read_opens = in.forward.open && (!in.forward.rank_cache || max_horizon > 1);
  parallel_blocks(
      out.days, kDayBlock, threads, [&](std::size_t block_begin, std::size_t block_end) {
        DayScratch scratch;
        RankedDayRing ring(max_lag);
        std::vector<std::int64_t>& wanted = scratch.wanted;
        const auto factor_rows_of = [&](std::size_t begin, std::size_t end) {
          wanted.assign(in.factor_row.begin() + static_cast<std::ptrdiff_t>(begin),
                        in.factor_row.begin() + static_cast<std::ptrdiff_t>(end));
          scratch.factor_rows.load(in.factor, wanted);
        };
        const auto market_rows = [&](std::size_t begin, std::size_t count) {
          wanted.resize(count);
          for (std::size_t r = 0; r < count; ++r) {
            const std::size_t day = begin + r;
            wanted[r] = day < out.days ? static_cast<std::int64_t>(day) : -1;
          }
          return std::span<const std::int64_t>(wanted);
        };
        // The days before the block that its first days pair with
        // in the rank autocorrelation, sorted again here so that
        // every block is independent of the others.
        for (std::size_t begin = block_begin - std::min(block_begin, max_lag); begin < block_begin;
             begin += kTileDays) {
          const std::size_t end = std::min(block_begin, begin + kTileDays);
          factor_rows_of(begin, end);
          scratch.valid_rows.load(in.valid, market_rows(begin, end - begin));
          for (std::size_t day = begin; day < end; ++day) {
            const std::size_t r = day - begin;
            if (scratch.factor_rows.rows[r] == nullptr) continue;
            rank_day_before(scratch.factor_rows.rows[r], scratch.valid_rows.rows[r], out.stocks,
                            day, scratch, ring.slot(day));
          }
        }
        for (std::size_t begin = block_begin; begin < block_end; begin += kTileDays) {
          const std::size_t end = std::min(block_end, begin + kTileDays);
          factor_rows_of(begin, end);
          scratch.valid_rows.load(in.valid, market_rows(begin, end - begin));
          if (in.forward.rank_cache) {
            scratch.forward_rows.load(*in.forward.rank_cache, market_rows(begin, end - begin));
          }
          if (read_opens) {
            scratch.open_rows.load(*in.forward.open,
                                   market_rows(begin, end - begin + 1 + max_horizon));
          }
          if (in.industry && in.forward.any()) {
            scratch.industry_rows.load(*in.industry, market_rows(begin, end - begin));
          }
          for (std::size_t day = begin; day < end; ++day)
            one_day(in, day, day - begin, out, scratch, ring);
        }
      });
  return out;
}

void rolling_mean_columns(std::span<double> values, std::size_t rows, std::size_t cols,
                          std::size_t window) {
  if (window <= 1) return;
  std::vector<double> column(rows);
  const double w = static_cast<double>(window);
  for (std::size_t j = 0; j < cols; ++j) {
    for (std::size_t i = 0; i < rows; ++i) column[i] = values[i * cols + j];
    // Compensated running sum of the finite values in view, and how many
    // values in view are not finite.
    double sum = 0.0, carry = 0.0;
    std::size_t bad = 0;
    const auto add = [&](double v) {
      const double y = v - carry;
      const double t = sum + y;
      carry = (t - sum) - y;
      sum = t;
    };
    for (std::size_t i = 0; i < rows; ++i) {
      if (std::isfinite(column[i]))
        add(column[i]);
      else
        ++bad;
      if (i >= window) {
        const double old = column[i - window];
        if (std::isfinite(old))
          add(-old);
        else
          --bad;
      }
      values[i * cols + j] = (i + 1 >= window && bad == 0) ? sum / w : kNaN;
    }
  }
}

}  // namespace morvane::kernels
