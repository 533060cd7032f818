#include "ranking.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>

namespace morvane::kernels {

namespace {

// Order-preserving map of a double to an unsigned integer: ascending doubles
// give ascending keys. -0.0 is folded onto 0.0 first, so the two tie.
std::uint64_t sortable_key(double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value + 0.0);
  constexpr std::uint64_t kSign = 1ULL << 63;
  return (bits & kSign) ? ~bits : (bits | kSign);
}

// LSD radix sort of (key, position) pairs by key, stable, in six passes of 11
// bits (a 2,048-entry count table stays in L1); digits on which every key
// agrees are skipped.
constexpr unsigned kDigitBits = 11;
constexpr std::size_t kDigits = 6;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

std::size_t digit(std::uint64_t key, std::size_t d) {
  return static_cast<std::size_t>((key >> (kDigitBits * d)) & (kBuckets - 1));
}

void radix_sort(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& order,
                RankScratch& s) {
  const std::size_t n = keys.size();
  std::vector<std::uint32_t>& counts = s.counts;
  counts.assign(kDigits * kBuckets, 0);
  for (const std::uint64_t key : keys) {
    for (std::size_t d = 0; d < kDigits; ++d) ++counts[d * kBuckets + digit(key, d)];
  }
  s.keys_tmp.resize(n);
  s.order_tmp.resize(n);
  for (std::size_t d = 0; d < kDigits; ++d) {
    std::uint32_t* const count = counts.data() + d * kBuckets;
    if (count[digit(keys[0], d)] == n) continue;
    std::uint32_t offset = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      const std::uint32_t here = count[b];
      count[b] = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t at = count[digit(keys[i], d)]++;
      s.keys_tmp[at] = keys[i];
      s.order_tmp[at] = order[i];
    }
    keys.swap(s.keys_tmp);
    order.swap(s.order_tmp);
  }
}

// Average ranks of values that are all multiples of 0.5 between 0.5 and
// `limit` (what a market-wide rank table holds), by counting: linear time.
bool counting_ranks(std::span<const double> values, std::vector<std::uint32_t>& counts,
                    std::vector<double>& ranks) {
  const std::size_t n = values.size();
  const double limit = 4.0 * static_cast<double>(n) + 1024.0;
  double top = 0.0;
  for (const double v : values) {
    const double twice = 2.0 * v;
    if (!(twice >= 1.0 && twice <= limit) || twice != std::floor(twice)) return false;
    top = std::max(top, twice);
  }
  const auto buckets = static_cast<std::size_t>(top) + 1;
  counts.assign(buckets, 0);
  for (const double v : values) ++counts[static_cast<std::size_t>(2.0 * v)];
  // Each bucket's average rank: the ranks below it plus the middle of its own.
  std::vector<double> bucket_rank(buckets);
  std::size_t below = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    bucket_rank[b] = static_cast<double>(below) + 0.5 * static_cast<double>(counts[b] + 1);
    below += counts[b];
  }
  ranks.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    ranks[i] = bucket_rank[static_cast<std::size_t>(2.0 * values[i])];
  return true;
}

}  // namespace

void stable_order(std::span<const double> values, bool descending, RankScratch& scratch,
                  std::vector<std::uint32_t>& order) {
  const std::size_t n = values.size();
  order.resize(n);
  std::iota(order.begin(), order.end(), 0U);
  if (n < 2) return;
  auto& keys = scratch.keys;
  keys.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = sortable_key(values[i]);
    keys[i] = descending ? ~key : key;
  }
  if (n < 64) {
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
    return;
  }
  radix_sort(keys, order, scratch);
}

void ranks_in_order(std::span<const double> values, std::span<const std::uint32_t> order,
                    std::vector<double>& ranks) {
  const std::size_t n = values.size();
  ranks.resize(n);
  std::size_t first = 0;
  while (first < n) {
    std::size_t end = first + 1;
    while (end < n && values[order[end]] == values[order[first]]) ++end;
    const double rank = 0.5 * static_cast<double>(first + 1 + end);
    for (std::size_t p = first; p < end; ++p) ranks[order[p]] = rank;
    first = end;
  }
}

void average_ranks(std::span<const double> values, RankScratch& scratch,
                   std::vector<std::uint32_t>& order, std::vector<double>& ranks) {
  if (counting_ranks(values, scratch.counts, ranks)) return;
  stable_order(values, false, scratch, order);
  ranks_in_order(values, order, ranks);
}

double rank_correlation(std::span<const double> rank_x, std::span<const double> rank_y) {
  const std::size_t n = rank_x.size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (n < 3 || rank_y.size() != n) return nan;
  // Average ranks always have the mean (n + 1) / 2, whatever the ties.
  const double mean = 0.5 * static_cast<double>(n + 1);
  double sxy = 0.0, sxx = 0.0, syy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = rank_x[i] - mean;
    const double dy = rank_y[i] - mean;
    sxy += dx * dy;
    sxx += dx * dx;
    syy += dy * dy;
  }
  if (!(sxx > 0.0) || !(syy > 0.0)) return nan;
  return std::clamp(sxy / std::sqrt(sxx * syy), -1.0, 1.0);
}

double spearman(std::span<const double> x, std::span<const double> y, RankScratch& scratch) {
  if (x.size() < 3 || y.size() != x.size()) return std::numeric_limits<double>::quiet_NaN();
  average_ranks(x, scratch, scratch.order_x, scratch.rank_x);
  average_ranks(y, scratch, scratch.order_y, scratch.rank_y);
  return rank_correlation(scratch.rank_x, scratch.rank_y);
}

}  // namespace morvane::kernels
