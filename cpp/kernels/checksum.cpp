#include "checksum.hpp"

#include <bit>
#include <cstring>

namespace morvane::kernels {

namespace {

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kP5 = 0x27D4EB2F165667C5ULL;

std::uint64_t load64(const std::byte* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint32_t load32(const std::byte* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint64_t round_lane(std::uint64_t acc, std::uint64_t input) {
  acc += input * kP2;
  acc = std::rotl(acc, 31);
  return acc * kP1;
}

std::uint64_t merge_lane(std::uint64_t acc, std::uint64_t lane) {
  acc ^= round_lane(0, lane);
  return acc * kP1 + kP4;
}

}  // namespace

std::uint64_t checksum64(std::span<const std::byte> bytes, std::uint64_t seed) {
  static_assert(std::endian::native == std::endian::little, "stored files are little-endian");
  const std::byte* p = bytes.data();
  const std::byte* const end = p + bytes.size();
  std::uint64_t h;
  if (bytes.size() >= 32) {
    std::uint64_t v1 = seed + kP1 + kP2;
    std::uint64_t v2 = seed + kP2;
    std::uint64_t v3 = seed;
    std::uint64_t v4 = seed - kP1;
    const std::byte* const limit = end - 32;
    do {
      v1 = round_lane(v1, load64(p));
      v2 = round_lane(v2, load64(p + 8));
      v3 = round_lane(v3, load64(p + 16));
      v4 = round_lane(v4, load64(p + 24));
      p += 32;
    } while (p <= limit);
    h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
    h = merge_lane(h, v1);
    h = merge_lane(h, v2);
    h = merge_lane(h, v3);
    h = merge_lane(h, v4);
  } else {
    h = seed + kP5;
  }
  h += static_cast<std::uint64_t>(bytes.size());
  for (; p + 8 <= end; p += 8) {
    h ^= round_lane(0, load64(p));
    h = std::rotl(h, 27) * kP1 + kP4;
  }
  if (p + 4 <= end) {
    h ^= static_cast<std::uint64_t>(load32(p)) * kP1;
    h = std::rotl(h, 23) * kP2 + kP3;
    p += 4;
  }
  for (; p < end; ++p) {
    h ^= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(*p)) * kP5;
    h = std::rotl(h, 11) * kP1;
  }
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}

}  // namespace morvane::kernels
