// 64-bit checksums of stored bytes (the XXH64 construction: four multiply-
// rotate lanes, then an avalanche). Detects any flipped byte or bit with
// overwhelming probability at memory speed; not a cryptographic hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace morvane::kernels {

[[nodiscard]] std::uint64_t checksum64(std::span<const std::byte> bytes, std::uint64_t seed = 0);

}  // namespace morvane::kernels
