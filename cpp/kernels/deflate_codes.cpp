#include <algorithm>
#include <vector>

#include "deflate.hpp"

// Huffman codes of the deflate stream: lengths limited to a bit count, then
// the canonical codes.
namespace morvane::kernels::deflate {

// Code lengths of at most `limit` bits for the symbols' frequencies (zero
// frequency: no code): minimum-redundancy lengths (Moffat and Katajainen's
// in-place method), then the deepest codes moved up until they fit the limit.
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
  std::vector<std::uint64_t> a(n);
  for (std::size_t k = 0; k < n; ++k) a[k] = freq[symbols[k]];
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
  // Codes per length, the too-long ones moved up (the Kraft sum kept at 1).
  std::vector<std::size_t> count(std::max<std::size_t>(depth, static_cast<std::size_t>(limit)) + 1,
                                 0);
  for (std::size_t k = 0; k < n; ++k) ++count[a[k]];
  const auto top = static_cast<std::size_t>(limit);
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
  // The shortest codes to the most frequent symbols.
  std::size_t k = n;
  for (std::size_t len = 1; len <= top; ++len) {
    for (std::size_t c = count[len]; c > 0; --c)
      lengths[symbols[--k]] = static_cast<std::uint8_t>(len);
  }
  return lengths;
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
