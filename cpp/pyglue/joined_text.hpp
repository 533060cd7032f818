// Texts joined at compile time, for documentation that shares a passage (the
// Raises section of sibling functions) without writing it twice.
#pragma once

#include <array>
#include <cstddef>

namespace morvane::pyglue {

namespace detail {

template <const auto&... Parts>
struct JoinedText {
  static constexpr std::size_t size = ((sizeof(Parts) - 1) + ... + 0);
  static constexpr std::array<char, size + 1> text = [] {
    std::array<char, size + 1> out{};
    std::size_t at = 0;
    const auto append = [&](const auto& part) {
      for (std::size_t i = 0; i + 1 < sizeof(part); ++i) out[at++] = part[i];
    };
    (append(Parts), ...);
    return out;
  }();
};

}  // namespace detail

// The character arrays `Parts` (string literals held in `constexpr char[]`)
// one after the other, as one NUL-terminated text with static storage.
template <const auto&... Parts>
inline constexpr const char* joined_text = detail::JoinedText<Parts...>::text.data();

}  // namespace morvane::pyglue
