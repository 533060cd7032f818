#include "factor_read.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "imports.hpp"
#include "kernels/pivot.hpp"
#include "names.hpp"
#include "pyglue/args.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::prepare {

namespace {

namespace glue = morvane::pyglue;

// Stock code of a ukey: its first six characters; shorter all-digit codes
// (as CSV readers leave them) are padded with zeros, as the store writes them.
std::string stock_code(nb::handle label) {
  std::string text = nb::cast<std::string>(nb::str(label));
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t");
  text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  text = text.substr(0, 6);
  const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; });
  if (digits && text.size() < 6) text.insert(0, 6 - text.size(), '0');
  return text;
}

// Sorted distinct labels and, per factorisation code, the label's position.
struct LabelMap {
  std::vector<std::string> sorted;
  std::vector<std::int64_t> position;
};

LabelMap sorted_labels(std::vector<std::string>&& per_code, const std::vector<bool>& usable) {
  LabelMap out;
  for (std::size_t k = 0; k < per_code.size(); ++k) {
    if (usable[k]) out.sorted.push_back(per_code[k]);
  }
  std::sort(out.sorted.begin(), out.sorted.end());
  out.sorted.erase(std::unique(out.sorted.begin(), out.sorted.end()), out.sorted.end());
  std::unordered_map<std::string, std::int64_t> slot;
  for (std::size_t k = 0; k < out.sorted.size(); ++k) {
    slot.emplace(out.sorted[k], static_cast<std::int64_t>(k));
  }
  out.position.assign(per_code.size(), -1);
  for (std::size_t k = 0; k < per_code.size(); ++k) {
    if (usable[k]) out.position[k] = slot.at(per_code[k]);
  }
  return out;
}

LabelMap code_labels(nb::handle uniques) {
  std::vector<std::string> codes;
  std::vector<bool> usable;
  for (nb::handle label : uniques) {
    codes.push_back(stock_code(label));
    usable.push_back(true);
  }
  return sorted_labels(std::move(codes), usable);
}

// Each distinct date parsed once; unparseable dates drop their rows.
LabelMap date_labels(nb::handle uniques) {
  const nb::object texts = series_to_yyyymmdd(pyglue::imports().series(uniques));
  std::vector<std::string> dates;
  std::vector<bool> usable;
  for (nb::handle text : pyglue::python_values(texts)) {
    const bool ok = PyUnicode_Check(text.ptr());
    dates.push_back(ok ? nb::cast<std::string>(text) : std::string());
    usable.push_back(ok);
  }
  return sorted_labels(std::move(dates), usable);
}

struct Numbers {
  nb::object owner;
  std::span<const double> values;
};

Numbers numbers(nb::handle column) {
  const nb::object numeric = imports().to_numeric(column, "errors"_a = "coerce");
  Numbers out;
  out.owner = glue::contiguous_float64(numeric);
  out.values = glue::contiguous_span<const double>(out.owner);
  return out;
}

nb::object text_index(const std::vector<std::string>& labels,
                      const std::vector<std::int64_t>& kept) {
  nb::list out;
  for (const std::int64_t k : kept) out.append(labels[static_cast<std::size_t>(k)]);
  return pyglue::imports().index(out, "dtype"_a = "object");
}

// The shared labels of one raw table.
struct Labels {
  glue::Factorised dates;
  glue::Factorised codes;
  LabelMap date_map;
  LabelMap code_map;
};

nb::object pivot(const Labels& labels, const Numbers& values, std::span<const std::int64_t> groups,
                 std::int64_t group) {
  kernels::PivotInput input;
  input.row_codes = labels.dates.codes;
  input.col_codes = labels.codes.codes;
  input.values = values.values;
  input.row_map = labels.date_map.position;
  input.col_map = labels.code_map.position;
  input.group_codes = groups;
  input.group = group;
  input.n_rows = labels.date_map.sorted.size();
  input.n_cols = labels.code_map.sorted.size();
  kernels::PivotResult result;
  {
    const nb::gil_scoped_release release;
    result = kernels::pivot_last(input);
  }
  if (result.rows.empty()) return empty_table();
  const std::size_t n_rows = result.rows.size();
  const std::size_t n_cols = result.cols.size();
  return pyglue::imports().data_frame(glue::numpy_from(std::move(result.values), n_rows, n_cols),
                                      "index"_a = text_index(labels.date_map.sorted, result.rows),
                                      "columns"_a = text_index(labels.code_map.sorted, result.cols),
                                      "copy"_a = false);
}

nb::object renamed(nb::handle df) {
  nb::dict map;
  const nb::object columns = df.attr("columns");
  for (const auto& [from, to] :
       {std::pair{"date", "DataDate"}, std::pair{"value", "x"}, std::pair{"factor", "factorname"},
        std::pair{"factor_name", "factorname"}}) {
    if (pyglue::contains(columns, from)) map[from] = to;
  }
  if (nb::len(map) == 0) return nb::borrow(df);
  // Renaming shares the columns' data (no copy of the values).
  return df.attr("rename")("columns"_a = map);
}

using pyglue::contains;

}  // namespace

nb::object empty_table() { return pyglue::imports().data_frame(); }

bool has_rows(nb::handle table) {
  if (!table.is_valid() || table.is_none()) return false;
  if (!nb::isinstance(table, pyglue::imports().data_frame)) return false;
  return nb::len(table) > 0;  // a table's length is its number of rows
}

nb::dict factors_to_matrices(nb::handle df, nb::handle names) {
  if (!df.is_none()) glue::require_dataframe(df, "df");
  if (!PyList_Check(names.ptr())) glue::raise_type_error("names", "list[str]", names);
  nb::dict result;
  std::vector<std::string> wanted;
  for (nb::handle name : names) {
    wanted.push_back(glue::to_text(name, "names"));
    result[name] = empty_table();
  }
  if (!has_rows(df)) return result;

  const nb::object table = renamed(df);
  const nb::object columns = table.attr("columns");
  if (!contains(columns, "ukey") || !contains(columns, "DataDate")) {
    throw nb::key_error("因子查询返回结果缺少 ukey/date 列");
  }
  Labels labels{glue::factorize(table["DataDate"]), glue::factorize(table["ukey"]), {}, {}};
  labels.date_map = date_labels(labels.dates.uniques);
  labels.code_map = code_labels(labels.codes.uniques);

  if (contains(columns, "x")) {
    const Numbers values = numbers(table["x"]);
    if (contains(columns, "factorname")) {
      const glue::Factorised groups = glue::factorize(table["factorname"]);
      std::int64_t code = 0;
      for (nb::handle label : groups.uniques) {
        const std::string group = nb::cast<std::string>(nb::str(label));
        if (std::find(wanted.begin(), wanted.end(), group) != wanted.end()) {
          result[nb::str(group.c_str())] = pivot(labels, values, groups.codes, code);
        }
        ++code;
      }
    } else if (wanted.size() == 1) {
      result[nb::str(wanted[0].c_str())] = pivot(labels, values, {}, -1);
    }
    return result;
  }
  for (const std::string& name : wanted) {
    if (!contains(columns, name.c_str())) continue;
    const Numbers values = numbers(table[name.c_str()]);
    result[nb::str(name.c_str())] = pivot(labels, values, {}, -1);
  }
  return result;
}

}  // namespace morvane::prepare
