// Calendar dates as eight-digit YYYYMMDD numbers, the row labels of every
// dates x stocks matrix. Pure parsing and validation; no allocation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane::kernels {

// True for a real Gregorian date (years 1000 to 9999).
[[nodiscard]] bool is_valid_date(int year, int month, int day);

// Reads "YYYYMMDD", "YYYY-MM-DD" or "YYYY/MM/DD" (surrounding blanks allowed,
// and a trailing time such as " 00:00:00" or "T00:00:00" ignored). Returns the
// date as the number YYYYMMDD, or nothing when the text is not a real date.
[[nodiscard]] std::optional<std::int32_t> parse_date_text(std::string_view text);

// The number YYYYMMDD when it is a real date, else nothing.
[[nodiscard]] std::optional<std::int32_t> checked_date_number(std::int64_t number);

// "YYYYMMDD" of a valid date number.
[[nodiscard]] std::string format_date_number(std::int32_t yyyymmdd);

// "YYYY-MM-DD" of an eight-digit "YYYYMMDD" text.
[[nodiscard]] std::string dashed_date(std::string_view yyyymmdd);

}  // namespace morvane::kernels
