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

// LSD radix sort of (key, position) pairs by key, stable; bytes on which every
// key agrees are skipped.
void radix_sort(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& order,
                RankScratch& s) {
  const std::size_t n = keys.size();
  std::array<std::array<std::uint32_t, 256>, 8> counts{};
  for (const std::uint64_t key : keys) {
    for (std::size_t b = 0; b < 8; ++b) ++counts[b][(key >> (8 * b)) & 0xFF];
  }
  s.keys_tmp.resize(n);
  s.order_tmp.resize(n);
  for (std::size_t b = 0; b < 8; ++b) {
    auto& count = counts[b];
    if (count[(keys[0] >> (8 * b)) & 0xFF] == n) continue;
    std::uint32_t offset = 0;
    for (auto& c : count) {
      const std::uint32_t here = c;
      c = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t at = count[(keys[i] >> (8 * b)) & 0xFF]++;
      s.keys_tmp[at] = keys[i];
      s.order_tmp[at] = order[i];
    }
    keys.swap(s.keys_tmp);
    order.swap(s.order_tmp);
  }
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

void average_ranks(std::span<const double> values, RankScratch& scratch,
                   std::vector<std::uint32_t>& order, std::vector<double>& ranks) {
  stable_order(values, false, scratch, order);
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

double spearman(std::span<const double> x, std::span<const double> y, RankScratch& scratch) {
  const std::size_t n = x.size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (n < 3 || y.size() != n) return nan;
  average_ranks(x, scratch, scratch.order_x, scratch.rank_x);
  average_ranks(y, scratch, scratch.order_y, scratch.rank_y);
  // Average ranks always have the mean (n + 1) / 2, whatever the ties.
  const double mean = 0.5 * static_cast<double>(n + 1);
  double sxy = 0.0, sxx = 0.0, syy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = scratch.rank_x[i] - mean;
    const double dy = scratch.rank_y[i] - mean;
    sxy += dx * dy;
    sxx += dx * dx;
    syy += dy * dy;
  }
  if (!(sxx > 0.0) || !(syy > 0.0)) return nan;
  return std::clamp(sxy / std::sqrt(sxx * syy), -1.0, 1.0);
}

}  // namespace morvane::kernels
