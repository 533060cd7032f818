#include <algorithm>
#include <cmath>

#include "group_day_parts.hpp"

// The correlations of one day: its rank IC (one day ahead, at longer
// horizons, industry-neutral) and its rank autocorrelation.
namespace morvane::kernels::group_day {

namespace {

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

}  // namespace

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

}  // namespace morvane::kernels::group_day
