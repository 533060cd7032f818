#include <algorithm>
#include <vector>

#include "deflate.hpp"

// Huffman codes of the deflate stream: lengths limited to a bit count, then
// the canonical codes.
namespace morvane::kernels::deflate {

namespace {

// Moffat and Katajainen's in-place method: `a` holds the frequencies in
// ascending order (at least two) and becomes each leaf's depth, the most
// frequent last. Returns one past the deepest level.
std::size_t leaf_depths(std::vector<std::uint64_t>& a) {
  const std::size_t n = a.size();
  // Phase 1: internal node weights and parent pointers, in place.
  a[0] += a[1];
  std::size_t root = 0;
  std::size_t leaf = 2;
  for (std::size_t next = 1; next + 1 < n; ++next) {
    if (leaf >= n || a[root] < a[leaf]) {
      a[next] = a[root];
      a[root++] = next;
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = next;
    } else {
      a[next] += a[leaf++];
    }
  }
  // Phase 2: depths of the internal nodes.
  a[n - 2] = 0;
  for (std::size_t next = n - 2; next-- > 0;) a[next] = a[a[next]] + 1;
  // Phase 3: depths of the leaves, the most frequent last.
  std::size_t available = 1;
  std::size_t used = 0;
  std::size_t depth = 0;
  std::ptrdiff_t internal = static_cast<std::ptrdiff_t>(n) - 2;
  std::ptrdiff_t next = static_cast<std::ptrdiff_t>(n) - 1;
  while (available > 0) {
    while (internal >= 0 && a[static_cast<std::size_t>(internal)] == depth) {
      ++used;
      --internal;
    }
    while (available > used) {
      a[static_cast<std::size_t>(next--)] = depth;
      --available;
    }
    available = 2 * used;
    ++depth;
    used = 0;
  }
  return depth;
}

// Codes per length for the leaves' depths, the ones deeper than `top` moved
// up (the Kraft sum kept at 1).
std::vector<std::size_t> limited_counts(const std::vector<std::uint64_t>& depths,
                                        std::size_t deepest, std::size_t top) {
  std::vector<std::size_t> count(std::max(deepest, top) + 1, 0);
  for (const std::uint64_t d : depths) ++count[d];
  for (std::size_t len = top + 1; len < count.size(); ++len) {
    count[top] += count[len];
    count[len] = 0;
  }
  std::uint64_t kraft = 0;
  for (std::size_t len = 1; len <= top; ++len) kraft += std::uint64_t{count[len]} << (top - len);
  while (kraft > (std::uint64_t{1} << top)) {
    --count[top];
    for (std::size_t len = top - 1; len > 0; --len) {
      if (count[len] > 0) {
        --count[len];
        count[len + 1] += 2;
        break;
      }
    }
    --kraft;
  }
  return count;
}

}  // namespace

// Code lengths of at most `limit` bits for the symbols' frequencies (zero
// frequency: no code): minimum-redundancy lengths, then the deepest codes
// moved up until they fit the limit.
std::vector<std::uint8_t> code_lengths(const std::vector<std::uint64_t>& freq, int limit) {
  std::vector<std::uint8_t> lengths(freq.size(), 0);
  std::vector<std::size_t> symbols;
  for (std::size_t s = 0; s < freq.size(); ++s) {
    if (freq[s] > 0) symbols.push_back(s);
  }
  const std::size_t n = symbols.size();
  if (n == 0) return lengths;
  if (n == 1) {
    lengths[symbols[0]] = 1;
    return lengths;
  }
  std::stable_sort(symbols.begin(), symbols.end(),
                   [&](std::size_t a, std::size_t b) { return freq[a] < freq[b]; });
  std::vector<std::uint64_t> depths(n);
  for (std::size_t k = 0; k < n; ++k) depths[k] = freq[symbols[k]];
  const std::size_t deepest = leaf_depths(depths);
  const auto top = static_cast<std::size_t>(limit);
  const std::vector<std::size_t> count = limited_counts(depths, deepest, top);
  // The shortest codes to the most frequent symbols.
  std::size_t k = n;
  for (std::size_t len = 1; len <= top; ++len) {
    for (std::size_t c = count[len]; c > 0; --c)
      lengths[symbols[--k]] = static_cast<std::uint8_t>(len);
  }
  return lengths;
}

// At least two codes in an alphabet, which every inflater accepts: the first
// symbols without a count are given one.
void ensure_two_codes(std::vector<std::uint64_t>& freq) {
  const auto used = [&] {
    return std::count_if(freq.begin(), freq.end(), [](std::uint64_t f) { return f > 0; });
  };
  for (std::size_t s = 0; used() < 2; ++s) freq[s] = std::max<std::uint64_t>(freq[s], 1);
}

std::vector<LengthRun> length_runs(const std::vector<std::uint8_t>& all) {
  std::vector<LengthRun> runs;
  for (std::size_t i = 0; i < all.size();) {
    const std::uint8_t len = all[i];
    std::size_t run = 1;
    while (i + run < all.size() && all[i + run] == len) ++run;
    i += run;
    if (len == 0) {
      while (run >= 11) {
        const std::size_t r = std::min<std::size_t>(run, 138);
        runs.push_back({18, static_cast<std::uint8_t>(r - 11)});
        run -= r;
      }
      if (run >= 3) {
        runs.push_back({17, static_cast<std::uint8_t>(run - 3)});
        run = 0;
      }
    } else {
      runs.push_back({len, 0});
      --run;
      while (run >= 3) {
        const std::size_t r = std::min<std::size_t>(run, 6);
        runs.push_back({16, static_cast<std::uint8_t>(r - 3)});
        run -= r;
      }
    }
    for (; run > 0; --run) runs.push_back({len, 0});
  }
  return runs;
}

// Canonical codes for the lengths (RFC 1951, 3.2.2), bit-reversed.
std::vector<Code> canonical_codes(const std::vector<std::uint8_t>& lengths) {
  std::array<std::uint32_t, kMaxBits + 2> count{};
  for (const std::uint8_t len : lengths) ++count[len];
  count[0] = 0;
  std::array<std::uint32_t, kMaxBits + 2> next{};
  std::uint32_t code = 0;
  for (std::size_t len = 1; len <= kMaxBits; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<Code> codes(lengths.size());
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    const std::uint8_t len = lengths[s];
    if (len == 0) continue;
    std::uint32_t value = next[len]++;
    std::uint32_t reversed = 0;
    for (std::uint8_t b = 0; b < len; ++b) {
      reversed = (reversed << 1) | (value & 1U);
      value >>= 1;
    }
    codes[s] = {static_cast<std::uint16_t>(reversed), len};
  }
  return codes;
}

}  // namespace morvane::kernels::deflate
