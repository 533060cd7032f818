#include "keys.hpp"

#include <cstdint>
#include <cstdio>

namespace morvane::kernels {

namespace {

// Decodes one UTF-8 sequence starting at `pos`; advances `pos` past it.
// The text comes from a Python str, so it is always well-formed.
std::uint32_t next_code_point(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos++]);
  if (lead < 0x80) return lead;
  const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  std::uint32_t code = lead & (0x3Fu >> extra);
  for (int k = 0; k < extra && pos < text.size(); ++k) {
    code = (code << 6) | (static_cast<unsigned char>(text[pos++]) & 0x3Fu);
  }
  return code;
}

}  // namespace

std::string dataset_key_fragment(std::string_view utf8_name) {
  std::string key;
  key.reserve(utf8_name.size());
  std::size_t pos = 0;
  while (pos < utf8_name.size()) {
    const std::uint32_t code = next_code_point(utf8_name, pos);
    if (code >= 'A' && code <= 'Z') {
      key += static_cast<char>(code - 'A' + 'a');
    } else if ((code >= 'a' && code <= 'z') || (code >= '0' && code <= '9')) {
      key += static_cast<char>(code);
    } else if (code < 0x80) {
      key += '_';
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "u%x_", static_cast<unsigned>(code));
      key += buffer;
    }
  }
  return key;
}

}  // namespace morvane::kernels
