#include "dates.hpp"

#include <array>
#include <cctype>

namespace morvane::kernels {

namespace {

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool all_digits(std::string_view text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

int to_int(std::string_view digits) {
  int value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  return value;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// Drops a midnight time part, as text dumps of timestamps carry it.
std::string_view drop_midnight(std::string_view text) {
  for (const std::string_view suffix : {" 00:00:00", "T00:00:00"}) {
    if (text.size() > suffix.size() && text.ends_with(suffix)) {
      text.remove_suffix(suffix.size());
      return text;
    }
  }
  return text;
}

}  // namespace

bool is_valid_date(int year, int month, int day) {
  static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1000 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const int limit = kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && is_leap(year));
  return day <= limit;
}

std::optional<std::int32_t> parse_date_text(std::string_view text) {
  text = drop_midnight(trim(text));
  int year = 0;
  int month = 0;
  int day = 0;
  if (text.size() == 8 && all_digits(text)) {
    year = to_int(text.substr(0, 4));
    month = to_int(text.substr(4, 2));
    day = to_int(text.substr(6, 2));
  } else if (text.size() == 10 && (text[4] == '-' || text[4] == '/') && text[7] == text[4] &&
             all_digits(text.substr(0, 4)) && all_digits(text.substr(5, 2)) &&
             all_digits(text.substr(8, 2))) {
    year = to_int(text.substr(0, 4));
    month = to_int(text.substr(5, 2));
    day = to_int(text.substr(8, 2));
  } else {
    return std::nullopt;
  }
  if (!is_valid_date(year, month, day)) return std::nullopt;
  return year * 10000 + month * 100 + day;
}

std::optional<std::int32_t> checked_date_number(std::int64_t number) {
  if (number < 10000101 || number > 99991231) return std::nullopt;
  const int year = static_cast<int>(number / 10000);
  const int month = static_cast<int>(number / 100 % 100);
  const int day = static_cast<int>(number % 100);
  if (!is_valid_date(year, month, day)) return std::nullopt;
  return static_cast<std::int32_t>(number);
}

std::string format_date_number(std::int32_t yyyymmdd) {
  std::string out(8, '0');
  for (int pos = 7; pos >= 0; --pos) {
    out[static_cast<std::size_t>(pos)] = static_cast<char>('0' + yyyymmdd % 10);
    yyyymmdd /= 10;
  }
  return out;
}

std::string dashed_date(std::string_view yyyymmdd) {
  std::string out;
  out.reserve(10);
  out.append(yyyymmdd.substr(0, 4)).append("-").append(yyyymmdd.substr(4, 2)).append("-");
  out.append(yyyymmdd.substr(6, 2));
  return out;
}

}  // namespace morvane::kernels
