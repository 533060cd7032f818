#include "payload.hpp"

#include <nanobind/stl/string.h>

#include <cstring>
#include <numeric>
#include <unordered_set>

#include "imports.hpp"
#include "kernels/dates.hpp"
#include "kernels/gather.hpp"
#include "metadata.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::store {

namespace {

namespace glue = morvane::pyglue;

constexpr std::size_t kMaxLabelBytes = 1024;

std::string repr_of(nb::handle value) { return nb::cast<std::string>(nb::repr(value)); }

bool is_mapping(nb::handle value) {
  return PyDict_Check(value.ptr()) || nb::isinstance(value, imports().mapping);
}

// Row labels: eight-digit "YYYYMMDD" texts of real dates, strictly ascending.
std::vector<std::int32_t> check_dates(nb::handle index, const std::string& what) {
  const nb::list labels = pyglue::python_values(index);
  const std::size_t n = nb::len(labels);
  std::vector<std::int32_t> dates(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* const label = PyList_GET_ITEM(labels.ptr(), static_cast<Py_ssize_t>(i));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(label) ? PyUnicode_AsUTF8AndSize(label, &size) : nullptr;
    std::int64_t number = 0;
    bool digits = text != nullptr && size == 8;
    for (Py_ssize_t k = 0; digits && k < size; ++k) {
      digits = text[k] >= '0' && text[k] <= '9';
      number = number * 10 + (text[k] - '0');
    }
    const auto date = digits ? kernels::checked_date_number(number) : std::nullopt;
    if (!date) {
      glue::raise_value_error("数据集 " + what + " 的行标签 " + repr_of(nb::handle(label)) +
                              " 不是 8 位 \"YYYYMMDD\" 日期文本");
    }
    if (i > 0 && *date <= dates[i - 1]) {
      glue::raise_value_error("数据集 " + what +
                              " 的行标签必须严格升序且不重复: " + repr_of(nb::handle(label)) +
                              " 位于 " + kernels::format_date_number(dates[i - 1]) + " 之后");
    }
    dates[i] = *date;
  }
  return dates;
}

std::vector<std::string> check_columns(nb::handle columns, const std::string& what,
                                       std::size_t& longest) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  longest = 0;
  // A list, not the Index itself: iterating a pandas Index costs a Python
  // call per label.
  const nb::list labels = pyglue::python_values(columns);
  for (nb::handle label : labels) {
    if (!PyUnicode_Check(label.ptr())) {
      const std::string message = "数据集 " + what + " 的列标签 " + repr_of(label) +
                                  " 不是 str (类型 " + glue::python_type_name(label) +
                                  "), 股票代码应为文本";
      throw nb::type_error(message.c_str());
    }
    std::string text = nb::cast<std::string>(label);
    if (text.size() > kMaxLabelBytes || text.find('\0') != std::string::npos) {
      glue::raise_value_error("数据集 " + what + " 的列标签 " + repr_of(label) +
                              " 过长或含 NUL 字符");
    }
    if (!seen.insert(text).second) {
      glue::raise_value_error("数据集 " + what + " 的列标签重复: " + repr_of(label));
    }
    longest = std::max(longest, text.size());
    out.push_back(std::move(text));
  }
  return out;
}

// Every column of `frame` (its labels `columns`) holds bools.
void require_bool_columns(nb::handle frame, nb::handle columns, const std::string& what) {
  const nb::object& bool_dtype = imports().bool_dtype;
  const nb::list types = pyglue::column_dtypes(frame);
  for (std::size_t k = 0; k < nb::len(types); ++k) {
    if (!types[k].equal(bool_dtype)) {
      const nb::list names = pyglue::python_values(columns);
      const std::string message = "数据集 " + what + " 应为 bool 矩阵, 但列 " + repr_of(names[k]) +
                                  " 的类型为 " +
                                  nb::cast<std::string>(nb::str(nb::handle(types[k])));
      throw nb::type_error(message.c_str());
    }
  }
}

Table series_table(nb::handle series, const std::string& code, const std::string& what,
                   nb::object& name) {
  if (!nb::isinstance(series, pyglue::imports().series)) {
    glue::raise_type_error(what.c_str(), "pandas.Series", series);
  }
  name = series.attr("name");
  if (!name.is_none() && !PyUnicode_Check(name.ptr())) {
    const std::string message =
        "基准序列 " + what + " 的名称应为 str 或 None, 收到 " + repr_of(name);
    throw nb::type_error(message.c_str());
  }
  Table table;
  table.key = benchmark_key(code);
  table.dates = check_dates(series.attr("index"), what);
  table.columns = {name.is_none() ? std::string() : nb::cast<std::string>(name)};
  table.longest_label = table.columns[0].size();
  const nb::object frame = series.attr("to_frame")("name"_a = "v");
  glue::LabelledMatrix<double> values = glue::read_float_frame(frame, what.c_str());
  table.owner = values.owner;
  table.floats = values.view;
  return table;
}

}  // namespace

void Table::compose(std::uint64_t first, std::uint64_t count,
                    std::span<const std::int64_t> source_cols, std::span<std::byte> out) const {
  std::vector<std::int64_t> rows(count);
  std::iota(rows.begin(), rows.end(), static_cast<std::int64_t>(first));
  const std::size_t cells = count * source_cols.size();
  if (dtype == kernels::Dtype::kBool) {
    kernels::gather_matrix<bool>(bools, rows, source_cols, fill_true,
                                 std::span(reinterpret_cast<bool*>(out.data()), cells));
  } else {
    kernels::gather_matrix<double>(floats, rows, source_cols, std::nan(""),
                                   std::span(reinterpret_cast<double*>(out.data()), cells));
  }
}

kernels::Dtype parse_dtype(nb::handle dtype, const char* what) {
  if (PyUnicode_Check(dtype.ptr())) {
    const std::string text = nb::cast<std::string>(dtype);
    if (text == "float64") return kernels::Dtype::kFloat64;
    if (text == "bool") return kernels::Dtype::kBool;
  }
  glue::raise_value_error(std::string(what) + " 的存储类型应为 \"float64\" 或 \"bool\", 收到 " +
                          repr_of(dtype));
}

const char* dtype_text(kernels::Dtype dtype) {
  return dtype == kernels::Dtype::kBool ? "bool" : "float64";
}

kernels::Dtype dataset_dtype(nb::handle matrix_dtype, const std::string& key,
                             const std::string& default_dtype) {
  const nb::object entry = pyglue::get_item(matrix_dtype, key);
  const std::string what = "数据集 " + key;
  return entry.is_none() ? parse_dtype(nb::str(default_dtype.c_str()), what.c_str())
                         : parse_dtype(entry, what.c_str());
}

bool bool_fill_of(const std::string& key) { return key.rfind("cant_", 0) == 0; }

std::string benchmark_key(const std::string& code) { return "benchmark__" + code; }

namespace {

bool same_labels(nb::handle labels, const nb::object& cached) {
  return cached.is_valid() && (labels.is(cached) || pyglue::equal_labels(labels, cached));
}

}  // namespace

Table read_table(nb::handle frame, const std::string& key, kernels::Dtype dtype,
                 const std::string& what, LabelCache* cache) {
  glue::require_dataframe(frame, what.c_str());
  Table table;
  table.key = key;
  table.dtype = dtype;
  table.fill_true = dtype == kernels::Dtype::kBool && bool_fill_of(key);
  const auto [index, columns] = glue::labels_of(frame);
  if (cache != nullptr && same_labels(index, cache->index)) {
    table.dates = cache->dates;
  } else {
    table.dates = check_dates(index, what);
    if (cache != nullptr) {
      cache->index = index;
      cache->dates = table.dates;
    }
  }
  if (cache != nullptr && same_labels(columns, cache->columns)) {
    table.columns = cache->labels;
    table.longest_label = cache->longest;
  } else {
    table.columns = check_columns(columns, what, table.longest_label);
    if (cache != nullptr) {
      cache->columns = columns;
      cache->labels = table.columns;
      cache->longest = table.longest_label;
    }
  }
  if (dtype == kernels::Dtype::kBool) {
    require_bool_columns(frame, columns, what);
    glue::LabelledMatrix<bool> values = glue::read_bool_frame(frame, what.c_str(), table.fill_true);
    table.owner = values.owner;
    table.bools = values.view;
  } else {
    glue::LabelledMatrix<double> values = glue::read_float_frame(frame, what.c_str());
    table.owner = values.owner;
    table.floats = values.view;
  }
  return table;
}

Payload read_payload(nb::handle payload, nb::handle matrix_dtype, const std::string& default_dtype,
                     std::int64_t version) {
  if (!is_mapping(payload)) glue::raise_type_error("payload", "dict", payload);
  if (!pyglue::contains(payload, "version")) {
    glue::raise_value_error("payload 缺少 \"version\"");
  }
  const nb::object given = payload["version"];
  if (!PyLong_CheckExact(given.ptr()) || nb::cast<std::int64_t>(given) != version) {
    glue::raise_value_error("payload 的 \"version\" 为 " + repr_of(given) + ", 本存储为 " +
                            std::to_string(version));
  }
  if (!pyglue::contains(payload, "data")) {
    glue::raise_value_error("payload 缺少 \"data\"");
  }
  const nb::object data = payload["data"];
  if (!is_mapping(data)) glue::raise_type_error("payload[\"data\"]", "dict", data);

  Payload out;
  const nb::object meta = pyglue::get_item(payload, "meta");
  if (meta.is_none()) {
    out.meta = nb::dict();
  } else {
    if (!is_mapping(meta)) glue::raise_type_error("payload[\"meta\"]", "dict", meta);
    out.meta = dict_copy(meta);
    require_plain_values(out.meta, "payload[\"meta\"]");
  }

  std::unordered_set<std::string> keys;
  LabelCache cache;
  for (nb::handle key : data) {
    if (!PyUnicode_Check(key.ptr())) glue::raise_type_error("payload[\"data\"] 的键", "str", key);
    const std::string name = nb::cast<std::string>(key);
    const nb::object value = data[key];
    if (name == "benchmark_dict") {
      if (!is_mapping(value))
        glue::raise_type_error("payload[\"data\"][\"benchmark_dict\"]", "dict", value);
      for (nb::handle code : value) {
        if (!PyUnicode_Check(code.ptr())) {
          glue::raise_type_error("benchmark_dict 的键", "str", code);
        }
        Benchmark benchmark;
        benchmark.code = nb::cast<std::string>(code);
        const std::string what = "benchmark_dict[" + repr_of(code) + "]";
        benchmark.series = series_table(value[code], benchmark.code, what, benchmark.name);
        if (!keys.insert(benchmark.series.key).second) {
          glue::raise_value_error("数据集键重复: " + benchmark.series.key);
        }
        out.benchmarks.push_back(std::move(benchmark));
      }
      continue;
    }
    if (!keys.insert(name).second) glue::raise_value_error("数据集键重复: " + name);
    const kernels::Dtype dtype = dataset_dtype(matrix_dtype, name, default_dtype);
    out.tables.push_back(read_table(value, name, dtype, name, &cache));
  }
  return out;
}

std::int64_t store_version(nb::handle store) {
  return glue::to_int(store.attr("version"), "version");
}

Payload read_store_payload(nb::handle payload, nb::handle store, std::int64_t version) {
  return read_payload(payload, store.attr("matrix_dtype"),
                      glue::to_text(store.attr("default_dtype"), "default_dtype"), version);
}

}  // namespace morvane::store
