#include "group_days.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "group_day_parts.hpp"
#include "parallel.hpp"
#include "ranking.hpp"

namespace morvane::kernels {

namespace group_day {

void DayRows::load(const MatrixView<double>& m, std::span<const std::int64_t> wanted) {
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

}  // namespace group_day

namespace {

using namespace group_day;

// Days per pool block: large enough to keep thread hand-offs (and each
// block's scratch allocations) rare.
constexpr std::size_t kDayBlock = 128;
// Days per tile of a column-major input: two cache lines of each stock's
// column, and a tile (16 x 5,000 doubles) that stays in cache.
constexpr std::size_t kTileDays = 16;

// The eligible stocks of day `day` (row r of the block's tiles) and their
// factor values, compacted without a branch per stock: a stock is written at
// the next free place and kept by advancing past it. Their forward returns
// (and industries) are picked up in the same pass, in memory order: read
// later in factor order, they would miss the cache on nearly every stock.
void gather_members(const GroupDayInputs& in, std::size_t r, std::size_t n_stocks, DayScratch& s) {
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
}

// The day's groups from its members in factor order (`s.order`), when there
// are at least as many members as groups.
void form_groups(std::size_t day, const DayScratch& s, GroupDays& out) {
  const std::size_t k = s.members.size();
  const std::size_t n = out.groups;
  if (k < n) return;
  std::uint8_t* const g_row = out.group.data() + day * out.stocks;
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

// The day's ranks by stock, kept for the later days that pair with it, and
// its autocorrelations with the earlier days.
void rank_for_lags(const GroupDayInputs& in, std::size_t day, GroupDays& out, DayScratch& s,
                   RankedDayRing& ring) {
  const std::size_t k = s.members.size();
  s.x.resize(k);
  s.ic_order.resize(k);
  for (std::size_t q = 0; q < k; ++q) {
    const std::size_t p = in.ascending ? s.order[k - 1 - q] : s.order[q];
    s.x[q] = s.values[p];
    s.ic_order[q] = s.members[p];
  }
  RankedDay& today = ring.slot(day);
  rank_day(day, out.stocks, s.ic_order, s.x, s.z, today);
  autocorrelations(day, today, ring, out);
}

// Day `day`, the `r`-th of its block: its rows are row r of the block's
// tiles (the open prices: rows r + 1 and r + 1 + h).
void one_day(const GroupDayInputs& in, std::size_t day, std::size_t r, GroupDays& out,
             DayScratch& s, RankedDayRing& ring) {
  if (in.factor_row[day] < 0) return;
  out.has_factor[day] = 1;
  gather_members(in, r, out.stocks, s);
  out.eligible[day] = static_cast<std::uint32_t>(s.members.size());
  // One sort serves the groups and the IC: read backwards, a descending order
  // is an ascending one (ties reversed, which average ranks ignore).
  stable_order(s.values, in.ascending, s.rank, s.order);
  form_groups(day, s, out);
  if (!out.lags.empty()) rank_for_lags(in, day, out, s, ring);
  if (!in.forward.any()) return;
  if (in.forward.open) horizon_ics(in, day, r, out, s);
  one_day_ic(in, day, out, s);
  const std::size_t n_h = out.horizons.size();
  for (std::size_t h = 0; h < n_h; ++h) {
    if (out.horizons[h] == 1) out.horizon_ic[day * n_h + h] = out.rank_ic[day];
  }
}

// The result before any day is computed: nothing formed, NaN statistics.
GroupDays empty_days(const GroupDayInputs& in) {
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
  return out;
}

// Runs blocks of days, each with scratch of its own, so that every block is
// independent of the others (the threads write disjoint days of `out`).
class BlockRunner {
 public:
  BlockRunner(const GroupDayInputs& in, GroupDays& out)
      : in_(in),
        out_(out),
        max_horizon_(in.horizons.empty() ? 1 : std::max<std::size_t>(in.horizons.back(), 1)),
        max_lag_(in.lags.empty() ? 0 : in.lags.back()),
        // The opening prices a tile reads beyond its own days: T + 1 up to
        // T + 1 + h. With a rank cache they serve only the horizons above one day.
        read_opens_(in.forward.open && (!in.forward.rank_cache || max_horizon_ > 1)) {}

  void run(std::size_t block_begin, std::size_t block_end) const {
    DayScratch scratch;
    RankedDayRing ring(max_lag_);
    // The days before the block that its first days pair with in the rank
    // autocorrelation, sorted again here so that every block is independent
    // of the others.
    for (std::size_t begin = block_begin - std::min(block_begin, max_lag_); begin < block_begin;
         begin += kTileDays) {
      const std::size_t end = std::min(block_begin, begin + kTileDays);
      load_factor_rows(begin, end, scratch);
      scratch.valid_rows.load(in_.valid, market_rows(begin, end - begin, scratch));
      for (std::size_t day = begin; day < end; ++day) {
        const std::size_t r = day - begin;
        if (scratch.factor_rows.rows[r] == nullptr) continue;
        rank_day_before(scratch.factor_rows.rows[r], scratch.valid_rows.rows[r], out_.stocks, day,
                        scratch, ring.slot(day));
      }
    }
    for (std::size_t begin = block_begin; begin < block_end; begin += kTileDays) {
      const std::size_t end = std::min(block_end, begin + kTileDays);
      load_tiles(begin, end, scratch);
      for (std::size_t day = begin; day < end; ++day) {
        one_day(in_, day, day - begin, out_, scratch, ring);
      }
    }
  }

 private:
  void load_factor_rows(std::size_t begin, std::size_t end, DayScratch& scratch) const {
    scratch.wanted.assign(in_.factor_row.begin() + static_cast<std::ptrdiff_t>(begin),
                          in_.factor_row.begin() + static_cast<std::ptrdiff_t>(end));
    scratch.factor_rows.load(in_.factor, scratch.wanted);
  }

  // The market's rows from `begin`, `count` of them (-1 past its last day).
  std::span<const std::int64_t> market_rows(std::size_t begin, std::size_t count,
                                            DayScratch& scratch) const {
    scratch.wanted.resize(count);
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t day = begin + r;
      scratch.wanted[r] = day < out_.days ? static_cast<std::int64_t>(day) : -1;
    }
    return scratch.wanted;
  }

  // Every input's rows for the days [begin, end).
  void load_tiles(std::size_t begin, std::size_t end, DayScratch& scratch) const {
    load_factor_rows(begin, end, scratch);
    scratch.valid_rows.load(in_.valid, market_rows(begin, end - begin, scratch));
    if (in_.forward.rank_cache) {
      scratch.forward_rows.load(*in_.forward.rank_cache, market_rows(begin, end - begin, scratch));
    }
    if (read_opens_) {
      scratch.open_rows.load(*in_.forward.open,
                             market_rows(begin, end - begin + 1 + max_horizon_, scratch));
    }
    if (in_.industry && in_.forward.any()) {
      scratch.industry_rows.load(*in_.industry, market_rows(begin, end - begin, scratch));
    }
  }

  const GroupDayInputs& in_;
  GroupDays& out_;
  const std::size_t max_horizon_;
  const std::size_t max_lag_;
  const bool read_opens_;
};

}  // namespace

GroupDays run_group_days(const GroupDayInputs& in, std::size_t threads) {
  GroupDays out = empty_days(in);
  const BlockRunner runner(in, out);
  parallel_blocks(
      out.days, kDayBlock, threads,
      [&](std::size_t block_begin, std::size_t block_end) { runner.run(block_begin, block_end); });
  return out;
}

}  // namespace morvane::kernels
