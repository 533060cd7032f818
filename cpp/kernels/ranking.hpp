// Sorting and ranking of one cross-section (the stocks of one day).
//
// The sort is a stable radix sort on the bits of the doubles, so equal values
// keep their input (column) order and a day of 5,000 stocks sorts in a few
// passes over memory instead of a comparison sort's mispredicted branches.
// Values must not be NaN; -0.0 and 0.0 are equal.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace morvane::kernels {

// Reusable buffers of one thread; nothing is shared.
struct RankScratch {
  std::vector<std::uint64_t> keys, words, words_tmp;
  std::vector<std::uint32_t> counts;
  std::vector<std::uint32_t> order_x, order_y;
  std::vector<double> rank_x, rank_y, bucket_rank;
};

// Positions 0..n-1 of `values` in ascending (or, with `descending`,
// descending) order; ties keep their input order in both directions.
void stable_order(std::span<const double> values, bool descending, RankScratch& scratch,
                  std::vector<std::uint32_t>& order);

// Average ranks (1 = smallest, ties share the mean rank) of `values`, whose
// ascending order is `order`.
void ranks_in_order(std::span<const double> values, std::span<const std::uint32_t> order,
                    std::vector<double>& ranks);

// Average ranks (1 = smallest, ties share the mean rank) of `values`. Values
// that already are ranks (multiples of 0.5 no larger than a few times their
// count) are ranked by counting, in linear time.
void average_ranks(std::span<const double> values, RankScratch& scratch,
                   std::vector<std::uint32_t>& order, std::vector<double>& ranks);

// Pearson correlation of two rank vectors; NaN for fewer than 3 pairs or
// constant ranks.
[[nodiscard]] double rank_correlation(std::span<const double> rank_x,
                                      std::span<const double> rank_y);

// Spearman correlation of two equally long samples: the Pearson correlation
// of their average ranks. NaN for fewer than 3 pairs or when either side's
// ranks are constant.
[[nodiscard]] double spearman(std::span<const double> x, std::span<const double> y,
                              RankScratch& scratch);

}  // namespace morvane::kernels
