#include "dates.hpp"

#include <Python.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>

#include "args.hpp"
#include "arrays.hpp"
#include "frames.hpp"
#include "imports.hpp"
#include "kernels/dates.hpp"
#include "labels.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue {

namespace {

[[noreturn]] void raise_bad_date(nb::handle value) {
  raise_value_error("无法识别的日期: " + nb::cast<std::string>(nb::repr(value)) +
                    " (应为 YYYYMMDD 或 YYYY-MM-DD 的有效日期)");
}

[[noreturn]] void raise_bad_date_type(nb::handle value) {
  const std::string message = "日期类型错误: 期望 YYYYMMDD 文本、8 位整数或日期对象, 收到 " +
                              python_type_name(value) + " (" +
                              nb::cast<std::string>(nb::repr(value)) + ")";
  throw nb::type_error(message.c_str());
}

std::int32_t checked(std::optional<std::int32_t> date, nb::handle value) {
  if (!date) raise_bad_date(value);
  return *date;
}

std::int32_t from_calendar_fields(nb::handle value) {
  const int year = nb::cast<int>(value.attr("year"));
  const int month = nb::cast<int>(value.attr("month"));
  const int day = nb::cast<int>(value.attr("day"));
  if (!kernels::is_valid_date(year, month, day)) raise_bad_date(value);
  return year * 10000 + month * 100 + day;
}

[[noreturn]] void raise_bad_label(nb::handle label, const char* name) {
  raise_value_error(std::string("参数 ") + name + " 的行标签 " +
                    nb::cast<std::string>(nb::repr(label)) +
                    " 不是有效日期 (应为 YYYYMMDD、YYYY-MM-DD、8 位整数或时间戳)");
}

bool is_nat(nb::handle value) { return value.is(imports().nat); }

// Trading dates are Shanghai calendar dates: a time-zone-aware moment is read
// on the Shanghai clock, so that the same instants given in UTC or in Asia/
// Shanghai name the same dates. Naive values are taken as they are.
constexpr const char* kMarketTimeZone = "Asia/Shanghai";

nb::object on_market_clock(nb::handle value) {
  const nb::object tz = nb::getattr(value, "tzinfo", nb::none());
  if (tz.is_none()) return nb::borrow(value);
  return imports().timestamp(value).attr("tz_convert")(kMarketTimeZone);
}

}  // namespace

std::int32_t date_number(nb::handle value, FloatDates floats) {
  PyObject* const object = value.ptr();
  if (PyUnicode_Check(object)) {
    const std::optional<std::string> text = utf8_of(value);
    if (!text) raise_bad_date(value);
    return checked(kernels::parse_date_text(*text), value);
  }
  if (PyBool_Check(object)) raise_bad_date_type(value);
  if (PyLong_Check(object) || PyIndex_Check(object)) {
    const nb::object as_int = nb::steal(PyNumber_Index(object));
    if (!as_int.is_valid()) {
      PyErr_Clear();
      raise_bad_date(value);
    }
    long long number = PyLong_AsLongLong(as_int.ptr());
    if (number == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      raise_bad_date(value);
    }
    return checked(kernels::checked_date_number(number), value);
  }
  if (PyFloat_Check(object)) {
    if (floats == FloatDates::kReject) raise_bad_date_type(value);
    const double number = PyFloat_AS_DOUBLE(object);
    if (!std::isfinite(number) || std::floor(number) != number) raise_bad_date(value);
    return checked(kernels::checked_date_number(static_cast<std::int64_t>(number)), value);
  }
  if (nb::isinstance(value, imports().date)) {
    if (is_nat(value)) raise_bad_date(value);
    return from_calendar_fields(on_market_clock(value));
  }
  if (nb::isinstance(value, imports().datetime64)) {
    const nb::object stamp = imports().timestamp(value);
    if (is_nat(stamp)) raise_bad_date(value);
    return from_calendar_fields(stamp);
  }
  raise_bad_date_type(value);
}

std::vector<std::int32_t> index_date_numbers(nb::handle index, const char* name) {
  const std::size_t n = nb::len(index);
  std::vector<std::int32_t> dates(n);
  if (n == 0) return dates;
  if (nb::isinstance(index, imports().datetime_index)) {
    // An aware index as the times the Shanghai clock shows, naive.
    nb::object on_clock = nb::borrow(index);
    if (!index.attr("tz").is_none()) {
      on_clock = index.attr("tz_convert")(kMarketTimeZone).attr("tz_localize")(nb::none());
    }
    // Whole days since 1970-01-01 (NaT reads as the smallest int64), made
    // calendar dates here.
    const nb::object days =
        on_clock.attr("to_numpy")("dtype"_a = "datetime64[D]").attr("view")("int64");
    const std::span<const std::int64_t> counts = contiguous_span<const std::int64_t>(days);
    for (std::size_t i = 0; i < n; ++i) {
      if (counts[i] == std::numeric_limits<std::int64_t>::min()) {
        raise_value_error(std::string("参数 ") + name + " 的行标签含缺失日期 (NaT)");
      }
      const std::chrono::year_month_day day{std::chrono::sys_days{std::chrono::days{counts[i]}}};
      dates[i] = static_cast<int>(day.year()) * 10000 +
                 static_cast<int>(static_cast<unsigned>(day.month())) * 100 +
                 static_cast<int>(static_cast<unsigned>(day.day()));
    }
    return dates;
  }
  if (const std::optional<TextLabels> texts = text_labels(index)) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::optional<std::int32_t> date = kernels::parse_date_text(texts->texts[i]);
      if (!date) raise_bad_label(nb::str(texts->texts[i].data(), texts->texts[i].size()), name);
      dates[i] = *date;
    }
    return dates;
  }
  const Factorised factorized = factorize(index);
  // One Python list of the distinct labels: indexing the index label by label
  // costs a boxing step per label on arrow-backed indexes.
  const nb::list uniques = python_values(factorized.uniques);
  const std::size_t n_unique = nb::len(uniques);
  std::vector<std::int32_t> unique_dates(n_unique);
  for (std::size_t k = 0; k < n_unique; ++k) {
    const nb::handle label = uniques[k];
    try {
      unique_dates[k] = date_number(label, FloatDates::kWhole);
    } catch (const nb::builtin_exception&) {
      raise_bad_label(label, name);
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t code = factorized.codes[i];
    if (code < 0) raise_value_error(std::string("参数 ") + name + " 的行标签含缺失值");
    dates[i] = unique_dates[static_cast<std::size_t>(code)];
  }
  return dates;
}

nb::object date_span(nb::handle index) {
  if (nb::len(index) == 0) return nb::str("空");
  try {
    return nb::str("{} 至 {}").format(index.attr("min")(), index.attr("max")());
  } catch (const nb::python_error& error) {
    if (!error.matches(PyExc_TypeError)) throw;
    return nb::str("(日期无法比较)");  // labels of mixed types
  }
}

nb::object yyyymmdd_datetimes(nb::handle index) {
  return imports().to_datetime(index.attr("astype")("str"), "format"_a = "%Y%m%d");
}

nb::object date_text_index(const std::vector<std::int32_t>& dates) {
  nb::list labels;
  for (const std::int32_t date : dates) labels.append(kernels::format_date_number(date));
  return imports().index(labels);
}

nb::object now_text() { return imports().timestamp.attr("now")().attr("isoformat")(); }

std::string today_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) throw std::runtime_error("localtime_r failed");
  char text[9];
  (void)std::strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

}  // namespace morvane::pyglue
