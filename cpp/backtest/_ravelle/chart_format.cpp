#include "chart_format.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <string>
#include <vector>

#include "kernels/format.hpp"
#include "pyglue/args.hpp"
#include "pyglue/imports.hpp"

namespace morvane::ravelle {

namespace {

namespace glue = morvane::pyglue;

int checked_digits(nb::handle digits) {
  const std::int64_t value = glue::to_int(digits, "digits");
  if (value < 0 || value > 30) {
    glue::raise_value_error("参数 digits 取值范围 [0, 30], 收到 " + std::to_string(value));
  }
  return static_cast<int>(value);
}

// The double of a present value; text and other non-numbers are a TypeError.
double number_of(nb::handle value) { return glue::to_float(value, "value"); }

std::string year_text(nb::handle label) { return nb::cast<std::string>(nb::str(label)); }

}  // namespace

bool is_missing(nb::handle value) {
  if (value.is_none()) return true;
  if (PyFloat_Check(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
  if (PyLong_Check(value.ptr())) return false;
  const nb::object result = pyglue::imports().isna(value);
  // pandas.isna of a list or an array is an array: such a value is not a
  // missing scalar (and fails the number conversion later).
  const bool scalar =
      !nb::hasattr(result, "shape") || nb::len(nb::object(result.attr("shape"))) == 0;
  return scalar && PyObject_IsTrue(result.ptr()) == 1;
}

std::string format_num(nb::handle value, int digits) {
  if (is_missing(value)) return "--";
  return kernels::format_fixed(number_of(value), digits);
}

std::string format_pct(nb::handle value, int digits) {
  if (is_missing(value)) return "--";
  return kernels::format_fixed(number_of(value) * 100.0, digits) + "%";
}

std::string format_pct_points(nb::handle value, int digits) {
  if (is_missing(value)) return "--";
  return kernels::format_fixed(number_of(value), digits) + "%";
}

std::string format_num(nb::handle value, nb::handle digits) {
  return format_num(value, checked_digits(digits));
}

std::string format_pct(nb::handle value, nb::handle digits) {
  return format_pct(value, checked_digits(digits));
}

std::string format_pct_points(nb::handle value, nb::handle digits) {
  return format_pct_points(value, checked_digits(digits));
}

std::string format_annual_excess(nb::handle annual_excess) {
  if (annual_excess.is_none() || nb::len(annual_excess) == 0) return "--";
  // A Series and a plain mapping both walk their (year, value) pairs in order.
  const nb::object pairs = annual_excess.attr("items")();
  std::string out;
  for (nb::handle pair : pairs) {
    const nb::object year = pair[0];
    const nb::object value = pair[1];
    if (is_missing(value)) continue;
    if (!out.empty()) out += " | ";
    out += year_text(year) + ": " + format_pct(value);
  }
  return out.empty() ? "--" : out;
}

}  // namespace morvane::ravelle
