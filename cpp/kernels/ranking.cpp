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

// Stable sort of positions by key in three LSD radix passes over the high 32
// bits of the keys (11, 11 and 10 bits; a count table stays in L1), moving
// one word per position: the key's high half above the position. Positions
// whose high halves tie are then put in order by the low halves, keeping the
// position order among equal keys. Real factors rarely tie in 32 bits, so the
// three passes do nearly all the work, half of what sorting all 64 bits
// would. Digits on which every key agrees are skipped.
constexpr std::size_t kDigits = 3;
constexpr unsigned kDigitShift[kDigits] = {32, 43, 54};
constexpr unsigned kDigitBits[kDigits] = {11, 11, 10};
constexpr std::size_t kBuckets = std::size_t{1} << 11;
constexpr std::uint64_t kLowHalf = 0xFFFFFFFFULL;

std::size_t digit(std::uint64_t word, std::size_t d) {
  return static_cast<std::size_t>((word >> kDigitShift[d]) & ((1ULL << kDigitBits[d]) - 1));
}

void radix_sort(std::span<const std::uint64_t> keys, std::vector<std::uint32_t>& order,
                RankScratch& s) {
  const std::size_t n = keys.size();
  std::vector<std::uint64_t>& words = s.words;
  std::vector<std::uint64_t>& words_tmp = s.words_tmp;
  words.resize(n);
  words_tmp.resize(n);
  std::vector<std::uint32_t>& counts = s.counts;
  counts.assign(kDigits * kBuckets, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t word = (keys[i] & ~kLowHalf) | i;
    words[i] = word;
    for (std::size_t d = 0; d < kDigits; ++d) ++counts[d * kBuckets + digit(word, d)];
  }
  for (std::size_t d = 0; d < kDigits; ++d) {
    std::uint32_t* const count = counts.data() + d * kBuckets;
    if (count[digit(words[0], d)] == n) continue;
    std::uint32_t offset = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      const std::uint32_t here = count[b];
      count[b] = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) words_tmp[count[digit(words[i], d)]++] = words[i];
    words.swap(words_tmp);
  }
  order.resize(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(words[i] & kLowHalf);
  // Runs of equal high halves, in position order: order them by the low
  // halves, stably.
  const auto low = [&](std::uint32_t position) { return keys[position] & kLowHalf; };
  std::size_t first = 0;
  while (first < n) {
    const std::uint64_t high = words[first] >> 32;
    std::size_t end = first + 1;
    while (end < n && (words[end] >> 32) == high) ++end;
    if (end - first > 1) {
      std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(first),
                       order.begin() + static_cast<std::ptrdiff_t>(end),
                       [&](std::uint32_t a, std::uint32_t b) { return low(a) < low(b); });
    }
    first = end;
  }
}

// Average ranks of values that are all multiples of 0.5 between 0.5 and
// `limit` (what a market-wide rank table holds), by counting: linear time.
bool counting_ranks(std::span<const double> values, std::vector<std::uint32_t>& counts,
                    std::vector<double>& bucket_rank, std::vector<double>& ranks) {
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
  bucket_rank.resize(buckets);
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
  if (n < 2) {
    order.assign(n, 0U);
    return;
  }
  auto& keys = scratch.keys;
  keys.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = sortable_key(values[i]);
    keys[i] = descending ? ~key : key;
  }
  if (n < 64) {
    order.resize(n);
    std::iota(order.begin(), order.end(), 0U);
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
  if (counting_ranks(values, scratch.counts, scratch.bucket_rank, ranks)) return;
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
