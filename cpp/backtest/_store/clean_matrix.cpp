#include "clean_matrix.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "imports.hpp"
#include "kernels/dates.hpp"
#include "kernels/gather.hpp"
#include "pyglue/args.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/frames.hpp"
#include "pyglue/labels.hpp"

using namespace nanobind::literals;

namespace morvane::store {

namespace {

namespace glue = morvane::pyglue;

std::string zero_padded(long long code) {
  std::string digits = std::to_string(code);
  if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
  return digits;
}

bool all_digits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Rows to keep, in output order: sorted by date (stable), the last row of a
// repeated date winning.
std::vector<std::size_t> kept_rows(const std::vector<std::int32_t>& dates) {
  std::vector<std::size_t> order(dates.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return dates[a] < dates[b]; });
  std::vector<std::size_t> kept;
  kept.reserve(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k + 1 < order.size() && dates[order[k + 1]] == dates[order[k]]) continue;
    kept.push_back(order[k]);
  }
  return kept;
}

bool all_bool_columns(nb::handle table) {
  const nb::list dtypes = glue::column_dtypes(table);
  if (nb::len(dtypes) == 0) return false;
  const nb::object& bool_dtype = imports().bool_dtype;
  for (nb::handle dtype : dtypes) {
    if (!dtype.equal(bool_dtype)) return false;
  }
  return true;
}

// Whether cleaning changes none of the table's labels: the rows already
// ascend without repeats, each date is already its "YYYYMMDD" text and each
// column already its stock code.
bool already_clean(const glue::FrameLabels& labels, const std::vector<std::int32_t>& dates) {
  for (std::size_t i = 1; i < dates.size(); ++i) {
    if (dates[i] <= dates[i - 1]) return false;
  }
  const std::optional<glue::TextLabels> date_texts = glue::text_labels(labels.index);
  if (!date_texts) return false;
  for (std::size_t i = 0; i < dates.size(); ++i) {
    if (date_texts->texts[i] != kernels::format_date_number(dates[i])) return false;
  }
  const std::optional<glue::TextLabels> codes = glue::text_labels(labels.columns);
  if (!codes) return false;
  std::unordered_set<std::string_view> seen;
  for (const std::string_view code : codes->texts) {
    if (stock_code_text(std::string(code)) != code || !seen.insert(code).second) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string stock_code_text(std::string text) {
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t");
  text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  const auto dot = text.find('.');
  if (dot == 6) return text.substr(0, 6);
  if (all_digits(text) && text.size() < 6) return std::string(6 - text.size(), '0') + text;
  return text;
}

namespace {

// The UTF-8 of a text label; a lone surrogate (what a mis-decoded file name or
// a broken header leaves) has none and is refused naming the table.
std::string label_text(nb::handle text, const char* name) {
  std::optional<std::string> utf8 = glue::utf8_of(text);
  if (!utf8) {
    glue::raise_value_error(std::string("参数 ") + name + " 的列标签 " +
                            nb::cast<std::string>(nb::repr(text)) +
                            " 不是有效的文本 (含无法编码为 UTF-8 的字符), 应为股票代码");
  }
  return std::move(*utf8);
}

}  // namespace

std::string stock_code_label(nb::handle label, const char* name) {
  PyObject* const object = label.ptr();
  if (PyLong_Check(object) && !PyBool_Check(object)) {
    const long long code = nb::cast<long long>(label);
    if (code >= 0) return zero_padded(code);
  } else if (PyFloat_Check(object)) {
    const double code = PyFloat_AS_DOUBLE(object);
    if (std::isfinite(code) && code >= 0 && std::floor(code) == code && code < 1e15) {
      return zero_padded(static_cast<long long>(code));
    }
  } else if (PyUnicode_Check(object)) {
    return stock_code_text(label_text(label, name));
  } else if (PyIndex_Check(object)) {  // numpy integers
    return stock_code_label(nb::steal(PyNumber_Index(object)), name);
  }
  return label_text(nb::str(label), name);
}

nb::object clean_matrix(nb::handle table, bool copy, const std::string& name_text) {
  const char* const name = name_text.c_str();
  glue::require_dataframe(table, name);

  const glue::FrameLabels labels = glue::labels_of(table);
  const std::vector<std::int32_t> dates = glue::index_date_numbers(labels.index, name);
  const bool bool_cells = all_bool_columns(table);
  if (!copy && !bool_cells) {
    if (already_clean(labels, dates)) {
      // Nothing to clean: the same cells, as a read-only view, so that no
      // later step can write through it into the caller's table.
      const glue::LabelledMatrix<double> values = glue::read_float_frame(table, name);
      return glue::frame_on(glue::read_only_view(values.owner), labels);
    }
  }
  const std::vector<std::size_t> rows = kept_rows(dates);

  nb::list codes;
  std::unordered_set<std::string> seen;
  for (nb::handle label : labels.columns) {
    std::string code = stock_code_label(label, name);
    if (!seen.insert(code).second) {
      glue::raise_value_error(std::string("参数 ") + name + " 的列标签整理后重复: " + code +
                              " (同一股票代码出现在多列)");
    }
    codes.append(code);
  }

  // The values, as one float64 (or bool) array; a text column fails here with
  // its name.
  std::vector<std::int64_t> positions(rows.begin(), rows.end());
  nb::object picked;
  if (bool_cells) {
    const nb::object values = table.attr("to_numpy")("dtype"_a = "bool");
    // take() copies, so the result never shares memory with the caller's table.
    picked = imports().take(values, glue::numpy_from(std::move(positions)), "axis"_a = 0);
  } else {
    // A new row-major copy of the picked rows, gathered with the GIL released
    // (loaded tables are read by other threads meanwhile).
    const glue::LabelledMatrix<double> values = glue::read_float_frame(table, name);
    std::vector<std::int64_t> all_cols(values.view.cols);
    std::iota(all_cols.begin(), all_cols.end(), std::int64_t{0});
    std::vector<double> out(positions.size() * values.view.cols);
    {
      const nb::gil_scoped_release unlocked;
      kernels::gather_matrix<double>(values.view, positions, all_cols, 0.0, out);
    }
    picked = glue::numpy_from(std::move(out), positions.size(), values.view.cols);
  }

  std::vector<std::int32_t> kept_dates;
  kept_dates.reserve(rows.size());
  for (const std::size_t row : rows) kept_dates.push_back(dates[row]);
  return pyglue::imports().data_frame(picked, "index"_a = glue::date_text_index(kept_dates),
                                      "columns"_a = pyglue::imports().index(codes),
                                      "copy"_a = false);
}

}  // namespace morvane::store
