#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "deflate.hpp"
#include "png_encode.hpp"

// The checksums of a PNG file: zlib's Adler-32 of the deflate stream and the
// CRC-32 of each chunk.
namespace morvane::kernels {

namespace {

constexpr std::uint32_t kAdlerBase = 65521;
// The most bytes whose sums fit 32 bits before they are reduced (zlib's NMAX).
constexpr std::size_t kAdlerRun = 5552;

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

}  // namespace

namespace deflate {

std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second, std::size_t second_len) {
  const std::uint64_t rem = second_len % kAdlerBase;
  std::uint64_t sum1 = first & 0xFFFFU;
  std::uint64_t sum2 = (rem * sum1) % kAdlerBase;
  sum1 += (second & 0xFFFFU) + kAdlerBase - 1;
  sum2 += (first >> 16) + (second >> 16) + kAdlerBase - rem;
  sum1 %= kAdlerBase;
  sum2 %= kAdlerBase;
  return static_cast<std::uint32_t>(sum1 | (sum2 << 16));
}

}  // namespace deflate

std::uint32_t adler32(std::span<const std::uint8_t> bytes, std::uint32_t start) {
  std::uint64_t a = start & 0xFFFFU;
  std::uint64_t b = start >> 16;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  // Blocks of 32 bytes summed lane by lane (a form the compiler vectorises):
  // `lanes` holds each position's byte sum over the blocks so far, `before`
  // the sum of `lanes` as it stood before each block, which is what every
  // later byte adds to b again. Reduced before a lane can overflow.
  constexpr std::size_t kLanes = 32;
  while (n >= kLanes) {
    const std::size_t blocks = std::min(n / kLanes, kAdlerRun / kLanes);
    std::array<std::uint32_t, kLanes> lanes{};
    std::array<std::uint32_t, kLanes> before{};
    for (std::size_t k = 0; k < blocks; ++k, p += kLanes) {
      for (std::size_t j = 0; j < kLanes; ++j) {
        before[j] += lanes[j];
        lanes[j] += p[j];
      }
    }
    n -= blocks * kLanes;
    std::uint64_t sum = 0;
    std::uint64_t weighted = 0;
    std::uint64_t earlier = 0;
    for (std::size_t j = 0; j < kLanes; ++j) {
      sum += lanes[j];
      weighted += (kLanes - j) * std::uint64_t{lanes[j]};
      earlier += before[j];
    }
    b = (b + a * kLanes * blocks + kLanes * earlier + weighted) % kAdlerBase;
    a = (a + sum) % kAdlerBase;
  }
  for (std::size_t j = 0; j < n; ++j) {
    a += p[j];
    b += a;
  }
  return static_cast<std::uint32_t>((a % kAdlerBase) | ((b % kAdlerBase) << 16));
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t start) {
  std::uint32_t c = start ^ 0xFFFFFFFFU;
  for (const std::uint8_t byte : bytes) c = kCrcTable[(c ^ byte) & 0xFFU] ^ (c >> 8);
  return c ^ 0xFFFFFFFFU;
}

}  // namespace morvane::kernels
