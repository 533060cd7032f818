#include "png_encode.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "deflate.hpp"
#include "parallel.hpp"

namespace morvane::kernels {

namespace {

using namespace deflate;

// ---- Tokens ----------------------------------------------------------------------

// A literal byte (< 256) or a match: kMatchFlag | distance slot << 16 | length.
constexpr std::uint32_t kMatchFlag = 0x8000'0000U;

// How many leading bytes of `a` and `b` agree, up to `most`.
std::size_t common_prefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t most) {
  std::size_t n = 0;
  while (n + 8 <= most) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) {
      const std::uint64_t diff = x ^ y;
      if constexpr (std::endian::native == std::endian::little) {
        return n + static_cast<std::size_t>(std::countr_zero(diff)) / 8;
      } else {
        return n + static_cast<std::size_t>(std::countl_zero(diff)) / 8;
      }
    }
    n += 8;
  }
  while (n < most && a[n] == b[n]) ++n;
  return n;
}

struct Image {
  const std::uint8_t* rgba;
  std::size_t width;
  std::size_t height;
  std::size_t channels;  // 3 or 4 in the file
  std::size_t stride;    // filter byte + a row's pixel bytes in the file
};

// Row `row` as the file stores it: filter byte 0 (none), then its pixels.
// An RGB row is written four bytes a pixel, each store's alpha overwritten by
// the next pixel: the last one spills a byte past the row, onto the next
// row's filter byte (written after) or the one byte of slack after the rows.
void file_row(const Image& image, std::size_t row, std::uint8_t* out) {
  out[0] = 0;
  const std::uint8_t* src = image.rgba + row * image.width * 4;
  std::uint8_t* px = out + 1;
  if (image.channels == 4) {
    std::memcpy(px, src, image.width * 4);
    return;
  }
  for (std::size_t x = 0; x < image.width; ++x) std::memcpy(px + 3 * x, src + 4 * x, 4);
}

struct Band {
  std::vector<std::uint8_t> chunk;  // a complete IDAT chunk
  std::uint32_t adler = 1;          // of the band's uncompressed bytes
  std::size_t length = 0;           // uncompressed bytes
};

class BandEncoder {
 public:
  BandEncoder(const Image& image, std::array<std::size_t, 2> distances)
      : image_(image), distances_(distances) {
    for (std::size_t slot = 0; slot < distances_.size(); ++slot) {
      dist_code_[slot] = distance_code(distances_[slot]);
    }
  }

  // Rows [first, last) as deflate blocks that end on a byte boundary, not
  // final; the stream before them is the file's rows before `first`.
  Band encode(std::size_t first, std::size_t last, bool with_zlib_header) const {
    // The row before the band too: matches reach back into it.
    const std::size_t lead = first > 0 ? 1 : 0;
    std::vector<std::uint8_t> bytes((last - first + lead) * image_.stride + 1);
    for (std::size_t row = first - lead; row < last; ++row) {
      file_row(image_, row, bytes.data() + (row - first + lead) * image_.stride);
    }
    bytes.pop_back();  // the slack
    const std::size_t begin = lead * image_.stride;

    std::vector<std::uint32_t> tokens;
    tokens.reserve(bytes.size() / 4);
    std::vector<std::uint64_t> lit_freq(kLitLenCodes, 0);
    std::vector<std::uint64_t> dist_freq(kDistCodes, 0);
    tokenize(bytes, begin, tokens, lit_freq, dist_freq);

    Band band;
    band.length = bytes.size() - begin;
    band.adler = adler32({bytes.data() + begin, band.length});
    std::vector<std::uint8_t>& out = band.chunk;
    out = {0, 0, 0, 0, 'I', 'D', 'A', 'T'};  // the length is filled in last
    if (with_zlib_header) {
      out.push_back(0x78);  // deflate, 32K window
      out.push_back(0x01);  // no preset dictionary, check bits
    }
    {
      BitWriter bits(out);
      write_block(bits, tokens, lit_freq, dist_freq);
      // An empty stored block: the band ends on a byte boundary (a sync flush).
      bits.put(0, 3);
      bits.align();
      bits.bytes({0x00, 0x00, 0xFF, 0xFF});
    }
    finish_chunk(out);
    return band;
  }

  // Big-endian length in front, CRC of type and data behind.
  static void finish_chunk(std::vector<std::uint8_t>& chunk) {
    const auto length = static_cast<std::uint32_t>(chunk.size() - 8);
    for (int k = 0; k < 4; ++k)
      chunk[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(length >> (24 - 8 * k));
    const std::uint32_t crc = crc32({chunk.data() + 4, chunk.size() - 4});
    for (int k = 0; k < 4; ++k) chunk.push_back(static_cast<std::uint8_t>(crc >> (24 - 8 * k)));
  }

 private:
  void tokenize(const std::vector<std::uint8_t>& bytes, std::size_t begin,
                std::vector<std::uint32_t>& tokens, std::vector<std::uint64_t>& lit_freq,
                std::vector<std::uint64_t>& dist_freq) const {
    const std::uint8_t* data = bytes.data();
    const std::size_t end = bytes.size();
    std::size_t p = begin;
    while (p < end) {
      const std::size_t most = std::min(kMaxMatch, end - p);
      std::size_t best = 0;
      std::size_t slot = 0;
      // The pixel to the left first: in flat areas it runs to the longest
      // match, in fewer bits than the row above, which is not tried then.
      for (std::size_t s = 0; s < distances_.size() && best < most; ++s) {
        const std::size_t d = distances_[s];
        if (d == 0 || d > p || data[p] != data[p - d]) continue;
        const std::size_t len = common_prefix(data + p, data + p - d, most);
        if (len > best) {
          best = len;
          slot = s;
        }
      }
      if (best >= kMinMatch) {
        tokens.push_back(kMatchFlag | static_cast<std::uint32_t>(slot << 16) |
                         static_cast<std::uint32_t>(best));
        ++lit_freq[257 + kLengthCode[best]];
        ++dist_freq[dist_code_[slot]];
        p += best;
      } else {
        tokens.push_back(data[p]);
        ++lit_freq[data[p]];
        ++p;
      }
    }
  }

  void write_block(BitWriter& bits, const std::vector<std::uint32_t>& tokens,
                   std::vector<std::uint64_t> lit_freq,
                   std::vector<std::uint64_t> dist_freq) const {
    lit_freq[kEndOfBlock] = 1;
    ensure_two_codes(lit_freq);
    ensure_two_codes(dist_freq);
    const std::vector<std::uint8_t> lit_len = code_lengths(lit_freq, kMaxBits);
    const std::vector<std::uint8_t> dist_len = code_lengths(dist_freq, kMaxBits);
    const std::size_t runs = write_header(bits, lit_len, dist_len);
    // A block header is at most 3 + 14 + 19 * 3 + 316 * 14 bits; a literal
    // takes at most 15 bits, a match 15 + 5 + 15 + 13.
    bits.reserve(600 + runs * 2 + tokens.size() * 6);
    write_tokens(bits, tokens, canonical_codes(lit_len), canonical_codes(dist_len));
  }

  // The dynamic block's header: the code lengths of both alphabets,
  // run-length coded with a code of their own. Returns the number of runs.
  static std::size_t write_header(BitWriter& bits, const std::vector<std::uint8_t>& lit_len,
                                  const std::vector<std::uint8_t>& dist_len) {
    std::size_t hlit = kLitLenCodes;
    while (hlit > 257 && lit_len[hlit - 1] == 0) --hlit;
    std::size_t hdist = kDistCodes;
    while (hdist > 1 && dist_len[hdist - 1] == 0) --hdist;
    std::vector<std::uint8_t> all(lit_len.begin(),
                                  lit_len.begin() + static_cast<std::ptrdiff_t>(hlit));
    all.insert(all.end(), dist_len.begin(), dist_len.begin() + static_cast<std::ptrdiff_t>(hdist));
    const std::vector<LengthRun> runs = length_runs(all);
    std::vector<std::uint64_t> cl_freq(kCodeLengthCodes, 0);
    for (const LengthRun& r : runs) ++cl_freq[r.symbol];
    ensure_two_codes(cl_freq);
    const std::vector<std::uint8_t> cl_len = code_lengths(cl_freq, kMaxCodeLengthBits);
    std::size_t hclen = kCodeLengthCodes;
    while (hclen > 4 && cl_len[kCodeLengthOrder[hclen - 1]] == 0) --hclen;
    const std::vector<Code> cl = canonical_codes(cl_len);
    bits.reserve(600 + runs.size() * 2);
    bits.put(0, 1);  // not the final block
    bits.put(2, 2);  // dynamic Huffman codes
    bits.put(static_cast<std::uint32_t>(hlit - 257), 5);
    bits.put(static_cast<std::uint32_t>(hdist - 1), 5);
    bits.put(static_cast<std::uint32_t>(hclen - 4), 4);
    for (std::size_t k = 0; k < hclen; ++k) bits.put(cl_len[kCodeLengthOrder[k]], 3);
    for (const LengthRun& r : runs) {
      bits.put(cl[r.symbol].bits, cl[r.symbol].length);
      if (r.symbol == 16) bits.put(r.extra, 2);
      if (r.symbol == 17) bits.put(r.extra, 3);
      if (r.symbol == 18) bits.put(r.extra, 7);
    }
    return runs.size();
  }

  // The tokens in the block's codes, then its end.
  void write_tokens(BitWriter& bits, const std::vector<std::uint32_t>& tokens,
                    const std::vector<Code>& lit, const std::vector<Code>& dist) const {
    std::array<Code, 2> dist_codes{};
    std::array<std::uint32_t, 2> dist_extra_bits{};
    std::array<int, 2> dist_extra_count{};
    for (std::size_t slot = 0; slot < 2; ++slot) {
      dist_codes[slot] = dist[dist_code_[slot]];
      dist_extra_bits[slot] =
          static_cast<std::uint32_t>(distances_[slot] - kDistBase[dist_code_[slot]]);
      dist_extra_count[slot] = kDistExtra[dist_code_[slot]];
    }
    for (const std::uint32_t token : tokens) {
      if ((token & kMatchFlag) == 0) {
        bits.put(lit[token].bits, lit[token].length);
        continue;
      }
      const std::size_t len = token & 0xFFFFU;
      const std::size_t slot = (token >> 16) & 1U;
      const std::size_t code = kLengthCode[len];
      const Code& c = lit[257 + code];
      bits.put(c.bits, c.length);
      if (kLengthExtra[code] > 0) {
        bits.put(static_cast<std::uint32_t>(len - kLengthBase[code]), kLengthExtra[code]);
      }
      bits.put(dist_codes[slot].bits, dist_codes[slot].length);
      if (dist_extra_count[slot] > 0) bits.put(dist_extra_bits[slot], dist_extra_count[slot]);
    }
    bits.put(lit[kEndOfBlock].bits, lit[kEndOfBlock].length);
  }

  const Image& image_;
  std::array<std::size_t, 2> distances_;  // the pixel to the left, the row above
  std::array<std::size_t, 2> dist_code_{};
};

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(value >> (24 - 8 * k)));
}

void put_chunk(std::vector<std::uint8_t>& out, const char* type,
               const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> chunk(4, 0);  // the length, filled in below
  chunk.insert(chunk.end(), type, type + 4);
  chunk.insert(chunk.end(), data.begin(), data.end());
  BandEncoder::finish_chunk(chunk);
  out.insert(out.end(), chunk.begin(), chunk.end());
}

}  // namespace

std::vector<std::uint8_t> encode_png(std::span<const std::uint8_t> rgba, std::size_t width,
                                     std::size_t height, double dpi, std::size_t threads) {
  if (width == 0 || height == 0 || width > 0x7FFF'FFFFU || height > 0x7FFF'FFFFU) {
    throw std::invalid_argument("a PNG image needs 1 to 2^31-1 pixels a side, got " +
                                std::to_string(width) + " x " + std::to_string(height));
  }
  if (rgba.size() != width * height * 4) {
    throw std::invalid_argument("RGBA pixels of a " + std::to_string(width) + " x " +
                                std::to_string(height) + " image take " +
                                std::to_string(width * height * 4) + " bytes, got " +
                                std::to_string(rgba.size()));
  }
  // Two pixels at a time: both alpha bytes 0xFF, whatever the byte order.
  constexpr std::uint64_t kAlphas = 0xFF000000'FF000000ULL;
  constexpr std::uint64_t kAlphasBigEndian = 0x000000FF'000000FFULL;
  const std::uint64_t alphas =
      std::endian::native == std::endian::little ? kAlphas : kAlphasBigEndian;
  bool opaque = true;
  std::size_t k = 0;
  for (; k + 8 <= rgba.size() && opaque; k += 8) {
    std::uint64_t two;
    std::memcpy(&two, rgba.data() + k, 8);
    opaque = (two & alphas) == alphas;
  }
  for (k += 3; k < rgba.size() && opaque; k += 4) opaque = rgba[k] == 0xFF;
  const std::size_t channels = opaque ? 3 : 4;
  const Image image{rgba.data(), width, height, channels, 1 + width * channels};
  // Matches reach the pixel to the left and the same byte one row up, when
  // a row fits deflate's window.
  const BandEncoder encoder(image, {channels, image.stride <= kWindow ? image.stride : 0});

  const std::size_t bands = (height + kPngBandRows - 1) / kPngBandRows;
  std::vector<Band> encoded(bands);
  parallel_blocks(bands, 1, threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t b = begin; b < end; ++b) {
      encoded[b] =
          encoder.encode(b * kPngBandRows, std::min(height, (b + 1) * kPngBandRows), b == 0);
    }
  });

  std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  put_u32(header, static_cast<std::uint32_t>(width));
  put_u32(header, static_cast<std::uint32_t>(height));
  for (const std::uint8_t b : {std::uint8_t{8}, static_cast<std::uint8_t>(opaque ? 2 : 6),
                               std::uint8_t{0}, std::uint8_t{0}, std::uint8_t{0}}) {
    header.push_back(b);
  }
  put_chunk(out, "IHDR", header);
  const auto per_metre = static_cast<std::uint32_t>(std::lround(dpi / 0.0254));
  std::vector<std::uint8_t> physical;
  put_u32(physical, per_metre);
  put_u32(physical, per_metre);
  physical.push_back(1);  // unit: metre
  put_chunk(out, "pHYs", physical);

  std::uint32_t adler = 1;
  std::size_t total = 0;
  for (const Band& band : encoded) {
    out.insert(out.end(), band.chunk.begin(), band.chunk.end());
    adler = total == 0 ? band.adler : deflate::adler32_combine(adler, band.adler, band.length);
    total += band.length;
  }
  // The final block (empty, fixed codes) and the stream's checksum.
  std::vector<std::uint8_t> tail{0x03, 0x00};
  put_u32(tail, adler);
  put_chunk(out, "IDAT", tail);
  put_chunk(out, "IEND", {});
  return out;
}

}  // namespace morvane::kernels
