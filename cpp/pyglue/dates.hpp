// Dates as the system writes them: eight-digit "YYYYMMDD" texts. Reads the
// forms users and data files bring: such texts, dashed texts, integers of the
// same digits, datetime.date / datetime / pandas.Timestamp / numpy.datetime64.
// A time-zone-aware moment names its calendar date in Asia/Shanghai, the
// market's clock; naive values name their own. All functions need the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

namespace morvane::pyglue {

namespace nb = nanobind;

enum class FloatDates {
  kReject,  // a float is not a date (public date arguments)
  kWhole,   // a whole float such as 20240102.0 is one (labels read from CSV)
};

// The date as the number YYYYMMDD. An impossible date is a ValueError, a value
// of another type a TypeError; both name the value.
[[nodiscard]] std::int32_t date_number(nb::handle value, FloatDates floats);

// Date numbers of every label of a pandas Index, parsing each distinct label
// once (and DatetimeIndex values without a Python call per label).
[[nodiscard]] std::vector<std::int32_t> index_date_numbers(nb::handle index, const char* name);

// "first 至 last" of a non-empty date index (its minimum and maximum), or "空",
// for messages that show where two tables' dates lie.
[[nodiscard]] nb::object date_span(nb::handle index);

// The labels of `index` read as "YYYYMMDD" dates: a DatetimeIndex
// (pandas.to_datetime of their texts). Labels that are no such dates raise
// pandas' own error.
[[nodiscard]] nb::object yyyymmdd_datetimes(nb::handle index);

// A pandas Index of "YYYYMMDD" texts.
[[nodiscard]] nb::object date_text_index(const std::vector<std::int32_t>& dates);

// The local time now, as the stores' and payloads' time stamps record it
// (pandas.Timestamp.now().isoformat()).
[[nodiscard]] nb::object now_text();

// Today's local date as "YYYYMMDD" (pandas.Timestamp.today(), on the clock
// Python's time module reads).
[[nodiscard]] std::string today_text();

}  // namespace morvane::pyglue
