// PNG files of chart pixels, written fast: charts are large (up to 11 million
// pixels) and mostly flat colour, so instead of a general-purpose compressor
// the pixels are deflated with matches against only the pixel to the left and
// the row above, which is where a chart's repetition lies, and with Huffman
// codes fitted to each band of rows. Bands are encoded on several threads; the
// file does not depend on how many.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace morvane::kernels {

// Rows encoded together (one deflate block, one IDAT chunk each).
inline constexpr std::size_t kPngBandRows = 64;

// The PNG file of an image given as rows of RGBA bytes (height x width x 4,
// row after row): RGB when every pixel is opaque, RGBA otherwise, 8 bits a
// channel, with `dpi` recorded as pixels per metre. `threads` 0 means one per
// usable CPU. Throws std::invalid_argument when the sizes disagree.
[[nodiscard]] std::vector<std::uint8_t> encode_png(std::span<const std::uint8_t> rgba,
                                                   std::size_t width, std::size_t height,
                                                   double dpi, std::size_t threads = 0);

// zlib's Adler-32 and the CRC-32 of PNG chunks, exposed for tests.
[[nodiscard]] std::uint32_t adler32(std::span<const std::uint8_t> bytes, std::uint32_t start = 1);
[[nodiscard]] std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t start = 0);

}  // namespace morvane::kernels
