#pragma once

#include <string>
#include <string_view>

namespace morvane::kernels {

// Turns a data-service field name into the lower-case file-safe part of a
// dataset key: ASCII letters are lower-cased, digits kept, other ASCII
// characters become "_", and every other character becomes "u<hex code
// point>_" so that names in other scripts keep distinct keys.
[[nodiscard]] std::string dataset_key_fragment(std::string_view utf8_name);

}  // namespace morvane::kernels
