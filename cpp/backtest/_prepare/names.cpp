#include "names.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <optional>

#include "imports.hpp"
#include "kernels/dates.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::prepare {

namespace {

struct Entry {
  const char* key;
  const char* dtype;
};

constexpr std::array<Entry, 12> kBaseMatrixDtype = {{
    {"industry_matrix", kFloatStorageDtype},
    {"close_price", kFloatStorageDtype},
    {"open_price", kFloatStorageDtype},
    {"close_price_valid", kFloatStorageDtype},
    {"prev_close", kFloatStorageDtype},
    {"buy_price", kFloatStorageDtype},
    {"sell_price", kFloatStorageDtype},
    {"rq_get_split", kFloatStorageDtype},
    {"rq_get_dividend", kFloatStorageDtype},
    {"can_buy_stock", kBoolStorageDtype},
    {"cant_sell_stock", kBoolStorageDtype},
    {"forward_return_rank_cache", kFloatStorageDtype},
}};

constexpr std::array<const char*, 7> kRequiredFactorNames = {"rq_industry_exposure_new",
                                                             "limit_down",
                                                             "limit_up",
                                                             "Close",
                                                             "Open",
                                                             "tick_vwap_price_935_1005",
                                                             "tick_vwap_price_925_1000"};
constexpr std::array<const char*, 3> kOptionalFactorNames = {"split_coefficient_to",
                                                             "rq_get_dividend", "rq_is_suspended"};

template <std::size_t N>
nb::list list_of(const std::array<const char*, N>& names) {
  nb::list out;
  for (const char* name : names) out.append(name);
  return out;
}

nb::dict base_matrix_dtype() {
  nb::dict out;
  for (const Entry& entry : kBaseMatrixDtype) out[entry.key] = entry.dtype;
  return out;
}

// A value read as the date YYYYMMDD: an eight-digit integer or a whole float
// of eight digits (as CSV readers give dates). Anything else: nothing.
std::optional<std::int32_t> integer_date(nb::handle value) {
  PyObject* const object = value.ptr();
  if (PyBool_Check(object) || PyUnicode_Check(object)) return std::nullopt;
  if (nb::isinstance(value, imports().np_bool)) return std::nullopt;
  double number = 0;
  if (PyLong_Check(object) || nb::isinstance(value, imports().np_integer)) {
    const nb::object as_int = nb::steal(PyNumber_Index(object));
    if (!as_int.is_valid()) {
      PyErr_Clear();
      return std::nullopt;
    }
    long long whole = PyLong_AsLongLong(as_int.ptr());
    if (whole == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return std::nullopt;
    }
    number = static_cast<double>(whole);
  } else if (PyFloat_Check(object) || nb::isinstance(value, imports().np_floating)) {
    number = nb::cast<double>(nb::float_(value));
    if (!(number == std::floor(number))) return std::nullopt;  // NaN included
  } else {
    return std::nullopt;
  }
  if (number < 10000000.0 || number > 99999999.0) return std::nullopt;
  return static_cast<std::int32_t>(number);
}

}  // namespace

void define_constants(nb::module_& m) {
  m.attr("FLOAT_STORAGE_DTYPE") = kFloatStorageDtype;
  m.attr("BOOL_STORAGE_DTYPE") = kBoolStorageDtype;
  m.attr("TAIL_RELOAD_ROWS") = kTailReloadRows;
  m.attr("PREPARED_DATA_VERSION") = kPreparedDataVersion;
  m.attr("COMPONENT_FACTOR_NAMES") = list_of(kComponentFactorNames);
  nb::dict benchmarks;
  benchmarks["000852"] = "000852.XSHG";
  benchmarks["000300"] = "000300.XSHG";
  benchmarks["000905"] = "000905.XSHG";
  m.attr("BENCHMARK_INDEX_CODES") = benchmarks;
  m.attr("REQUIRED_FACTOR_NAMES") = list_of(kRequiredFactorNames);
  m.attr("OPTIONAL_FACTOR_NAMES") = list_of(kOptionalFactorNames);
  nb::list build_inputs = list_of(kRequiredFactorNames);
  for (const char* name : kOptionalFactorNames) build_inputs.append(name);
  m.attr("BUILD_INPUT_NAMES") = build_inputs;
  m.attr("BASE_MATRIX_DTYPE") = base_matrix_dtype();
}

nb::list parse_name_list(nb::handle raw_values) {
  nb::list out;
  if (raw_values.is_none()) return out;
  nb::object items;
  if (PyUnicode_Check(raw_values.ptr())) {
    nb::object text = nb::borrow(raw_values);
    for (const char* separator : {"，", "；", ";", "\n"}) {
      text = pyglue::replace_text(text, separator, ",");
    }
    items = pyglue::split_text(text, ",");
  } else {
    PyObject* const iterator = PyObject_GetIter(raw_values.ptr());
    if (iterator == nullptr) {
      PyErr_Clear();
      pyglue::raise_type_error("raw_values", "None | str | 可迭代对象", raw_values);
    }
    items = nb::steal(iterator);
  }
  for (nb::handle item : items) {
    nb::object name = pyglue::strip_text(nb::str(item));
    if (nb::len(name) > 0) out.append(name);
  }
  return out;
}

nb::list get_component_factor_names() { return parse_name_list(list_of(kComponentFactorNames)); }

nb::dict build_matrix_dtype(nb::handle component_names) {
  if (!component_names.is_none() && !PyList_Check(component_names.ptr())) {
    pyglue::raise_type_error("component_names", "list[str] | None", component_names);
  }
  nb::dict out = base_matrix_dtype();
  const nb::list names =
      component_names.is_none() ? get_component_factor_names() : parse_name_list(component_names);
  const nb::object& key_of = imports().component_dataset_key;
  for (nb::handle name : names) out[key_of(name)] = kFloatStorageDtype;
  return out;
}

nb::object series_to_yyyymmdd(nb::handle values) {
  const nb::object& series_type = pyglue::imports().series;
  const nb::object series =
      nb::isinstance(values, series_type) ? nb::borrow(values) : series_type(values);
  // pandas reads integers as nanoseconds since 1970, so 20240102 would become
  // 1970-01-01: eight-digit numbers are dates written YYYYMMDD.
  const nb::list items = pyglue::python_values(series);
  nb::list prepared;
  bool changed = false;
  for (nb::handle item : items) {
    const std::optional<std::int32_t> number = integer_date(item);
    if (!number) {
      prepared.append(item);
      continue;
    }
    changed = true;
    const std::optional<std::int32_t> date = kernels::checked_date_number(*number);
    if (date) {
      prepared.append(pyglue::imports().date(*date / 10000, *date / 100 % 100, *date % 100));
    } else {
      prepared.append(nb::none());
    }
  }
  const nb::object source =
      changed ? series_type(prepared, "index"_a = series.attr("index"), "dtype"_a = "object")
              : series;
  const nb::object parsed = pyglue::imports().to_datetime(source, "errors"_a = "coerce");
  return parsed.attr("dt").attr("strftime")("%Y%m%d");
}

}  // namespace morvane::prepare
