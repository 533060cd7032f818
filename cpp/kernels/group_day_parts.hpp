// The day-by-day parts of run_group_days shared by its files: the rows a
// block of days reads, a thread's scratch, and the rank IC and rank
// autocorrelation of one day. Internal to the kernels.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "group_days.hpp"
#include "ranking.hpp"

namespace morvane::kernels::group_day {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rows of one dates x stocks input for a block of days, each as contiguous
// values: the input's own rows when they are contiguous, otherwise a tile
// copied a stock at a time. A column-major input (what pandas hands out)
// holds a stock's days side by side, so the copy reads memory in order where
// reading a day across the stocks would touch a new cache line and page per
// stock.
struct DayRows {
  std::vector<double> tile;
  std::vector<const double*> rows;  // per wanted row; nullptr for -1

  void load(const MatrixView<double>& m, std::span<const std::int64_t> wanted);
};

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
void sorted_ranks(std::span<const double> sorted, std::vector<double>& ranks);

// A day's ranks by stock, from its eligible stocks in ascending factor order
// (`stocks[q]` holding `sorted[q]`).
void rank_day(std::size_t day, std::size_t n_stocks, std::span<const std::uint32_t> stocks,
              std::span<const double> sorted, std::vector<double>& ranks, RankedDay& out);

// A day before a block, ranked for the block's first days to pair with.
void rank_day_before(const double* factor, const double* valid, std::size_t n_stocks,
                     std::size_t day, DayScratch& s, RankedDay& out);

// The rank autocorrelations of `day` with each earlier day `day - lag` that
// the ring still holds.
void autocorrelations(std::size_t day, const RankedDay& today, const RankedDayRing& ring,
                      GroupDays& out);

// The IC of day `day` at each horizon above one day (see group_day_ics.cpp).
void horizon_ics(const GroupDayInputs& in, std::size_t day, std::size_t r, GroupDays& out,
                 DayScratch& s);

// The one-day rank IC and its industry-neutral twin, from the forward
// returns gathered with the eligible stocks.
void one_day_ic(const GroupDayInputs& in, std::size_t day, GroupDays& out, DayScratch& s);

}  // namespace morvane::kernels::group_day
