// The deflate stream (RFC 1951) of the PNG encoder: its tables, the bit
// writer, Huffman code construction and the Adler-32 of pieces joined.
// Internal to the kernels (png_encode.cpp and its parts).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace morvane::kernels::deflate {

inline constexpr std::size_t kMinMatch = 3;
inline constexpr std::size_t kMaxMatch = 258;
inline constexpr std::size_t kWindow = 32768;
inline constexpr std::size_t kLitLenCodes = 286;  // literals, end of block (256), lengths
inline constexpr std::size_t kDistCodes = 30;
inline constexpr std::size_t kCodeLengthCodes = 19;
inline constexpr std::uint32_t kEndOfBlock = 256;
inline constexpr int kMaxBits = 15;
inline constexpr int kMaxCodeLengthBits = 7;

inline constexpr std::array<std::uint16_t, 29> kLengthBase{
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<std::uint8_t, 29> kLengthExtra{
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<std::uint16_t, 30> kDistBase{
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::array<std::uint8_t, 30> kDistExtra{0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                         4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                         9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::array<std::uint8_t, kCodeLengthCodes> kCodeLengthOrder{
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length code (0 = symbol 257) of each match length 0..258.
inline constexpr std::array<std::uint8_t, kMaxMatch + 1> make_length_codes() {
  std::array<std::uint8_t, kMaxMatch + 1> codes{};
  for (std::size_t code = 0; code < kLengthBase.size(); ++code) {
    for (std::size_t len = kLengthBase[code]; len <= kMaxMatch; ++len) {
      codes[len] = static_cast<std::uint8_t>(code);
    }
  }
  return codes;
}
inline constexpr std::array<std::uint8_t, kMaxMatch + 1> kLengthCode = make_length_codes();

inline std::size_t distance_code(std::size_t distance) {
  std::size_t code = 0;
  while (code + 1 < kDistBase.size() && kDistBase[code + 1] <= distance) ++code;
  return code;
}

// Deflate's bit order: each value's least significant bit first. Writes into
// room reserved ahead (reserve()), eight bytes at a time.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out), used_(out.size()) {}
  BitWriter(const BitWriter&) = delete;
  BitWriter& operator=(const BitWriter&) = delete;
  ~BitWriter() { out_.resize(used_); }

  // Room for `bytes` more bytes of output.
  void reserve(std::size_t bytes) {
    if (out_.size() < used_ + bytes + 8) out_.resize(used_ + bytes + 8);
  }

  // count <= 32; room reserved.
  void put(std::uint32_t bits, int count) {
    buffer_ |= static_cast<std::uint64_t>(bits) << filled_;
    filled_ += count;
    if (filled_ >= 32) {
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out_.data() + used_, &buffer_, 8);
      } else {
        for (std::size_t k = 0; k < 4; ++k) {
          out_[used_ + k] = static_cast<std::uint8_t>(buffer_ >> (8 * k));
        }
      }
      used_ += 4;
      buffer_ >>= 32;
      filled_ -= 32;
    }
  }

  // Pads with zero bits to the next byte boundary.
  void align() {
    reserve(8);
    while (filled_ > 0) {
      out_[used_++] = static_cast<std::uint8_t>(buffer_);
      buffer_ >>= 8;
      filled_ = std::max(filled_ - 8, 0);
    }
    buffer_ = 0;
  }

  // Whole bytes, after align().
  void bytes(std::initializer_list<std::uint8_t> values) {
    reserve(values.size());
    for (const std::uint8_t v : values) out_[used_++] = v;
  }

 private:
  std::vector<std::uint8_t>& out_;
  std::size_t used_;
  std::uint64_t buffer_ = 0;
  int filled_ = 0;
};

struct Code {
  std::uint16_t bits = 0;  // bit-reversed, ready for BitWriter
  std::uint8_t length = 0;
};

// Code lengths of at most `limit` bits for the symbols' frequencies (zero
// frequency: no code): minimum-redundancy lengths (Moffat and Katajainen's
// in-place method), then the deepest codes moved up until they fit the limit.
[[nodiscard]] std::vector<std::uint8_t> code_lengths(const std::vector<std::uint64_t>& freq,
                                                     int limit);

// At least two codes in an alphabet, which every inflater accepts: the first
// symbols without a count are given one.
void ensure_two_codes(std::vector<std::uint64_t>& freq);

// A code length list's run-length coding (RFC 1951, 3.2.7): a length, or
// symbol 16 (repeat the last 3-6 times), 17 (3-10 zeros), 18 (11-138 zeros)
// with its extra bits.
struct LengthRun {
  std::uint8_t symbol;
  std::uint8_t extra;
};
[[nodiscard]] std::vector<LengthRun> length_runs(const std::vector<std::uint8_t>& all);

// Canonical codes for the lengths (RFC 1951, 3.2.2), bit-reversed.
[[nodiscard]] std::vector<Code> canonical_codes(const std::vector<std::uint8_t>& lengths);

// Adler-32 of two pieces from the Adler-32 of each (zlib's adler32_combine).
[[nodiscard]] std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second,
                                            std::size_t second_len);

}  // namespace morvane::kernels::deflate
