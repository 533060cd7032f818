#include <nanobind/stl/string.h>

#include <span>
#include <string>

#include "builder_parts.hpp"
#include "factor_read.hpp"
#include "imports.hpp"
#include "kernels/dates.hpp"
#include "kernels/derive.hpp"
#include "names.hpp"
#include "pyglue/args.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

// GroupPreparedDataBuilder's reads of factor tables through the data client,
// pivoted into date x stock matrices, and the index membership matrices.
namespace morvane::prepare::builder {

namespace {

namespace glue = morvane::pyglue;

nb::object query_factors(nb::handle self, nb::handle factor, const std::string& label) {
  nb::object answer = client().attr("get_factors")(
      "factor"_a = factor, "start_date"_a = mv_factor_date(self.attr("default_start")),
      "end_date"_a = mv_factor_date(self.attr("end_date")));
  return checked_answer(std::move(answer), label);
}

nb::object membership_matrix(nb::handle matrix) {
  const pyglue::FrameLabels labels = pyglue::labels_of(matrix);
  const nb::object values = pyglue::contiguous_float64(matrix);
  const nb::object out = pyglue::numpy_from(std::vector<double>(labels.rows() * labels.cols()),
                                            labels.rows(), labels.cols());
  {
    const auto source = pyglue::contiguous_span<const double>(values);
    const auto target = pyglue::contiguous_span<double>(out);
    const nb::gil_scoped_release release;
    kernels::membership(source, target);
  }
  return sorted_by_rows(pyglue::frame_on(out, labels));
}

}  // namespace

nb::object mv_factor_date(nb::handle date_value) {
  const nb::object date = normalized_date(date_value, "date_value");
  if (date.is_none()) return date;
  const std::string text = nb::cast<std::string>(date);
  return nb::str(kernels::dashed_date(text).c_str());
}

nb::object mv_factors_to_matrices(nb::handle, nb::handle df, nb::handle names) {
  return factors_to_matrices(df, names);
}

nb::object read_normal_factor_matrix(nb::handle self, nb::handle name) {
  const std::string text = glue::to_text(name, "name");
  nb::list names;
  names.append(name);
  nb::dict matrices;
  {
    // The raw table is freed as soon as it is pivoted.
    nb::object raw = query_factors(self, name, "get_factors(factor=" + text + ")");
    matrices = factors_to_matrices(raw, names);
  }
  const nb::object matrix = pyglue::get_item(matrices, name);
  return has_rows(matrix) ? matrix : empty_table();
}

nb::object read_normal_factor_batch(nb::handle self, nb::handle names) {
  if (!PyList_Check(names.ptr())) glue::raise_type_error("names", "list[str]", names);
  const nb::list parsed = parse_name_list(names);
  nb::dict result;
  if (nb::len(parsed) == 0) return result;
  try {
    nb::object raw = query_factors(self, parsed, "get_factors(factor=[...])");
    result = factors_to_matrices(raw, parsed);
  } catch (nb::python_error& error) {
    if (!is_network_error(error)) throw;
    result = nb::dict();
    for (nb::handle name : parsed) result[name] = empty_table();
  }
  for (nb::handle name : parsed) {
    if (!has_rows(pyglue::get_item(result, name)))
      result[name] = read_normal_factor_matrix(self, name);
  }
  return result;
}

nb::object read_or_empty(nb::handle self, nb::handle name, nb::handle reference, nb::handle batch) {
  (void)glue::to_text(name, "name");
  glue::require_dataframe(reference, "reference");
  glue::require_dict(batch, "batch", true);
  nb::object matrix;
  if (batch.is_none()) {
    matrix = read_normal_factor_matrix(self, name);
  } else {
    matrix = pyglue::get_item(batch, name);
    if (has_rows(matrix)) return sorted_by_rows(matrix);
  }
  if (has_rows(matrix)) return matrix;
  return empty_like(reference, pyglue::imports().nan);
}

nb::object batch_or_read(nb::handle self, nb::handle batch, nb::handle name) {
  glue::require_dict(batch, "batch", false);
  (void)glue::to_text(name, "name");
  const nb::object matrix = pyglue::get_item(batch, name);
  if (has_rows(matrix)) return sorted_by_rows(matrix);
  return read_normal_factor_matrix(self, name);
}

nb::object component_matrices(nb::handle self, nb::handle component_names, nb::handle batch) {
  if (!PyList_Check(component_names.ptr())) {
    glue::raise_type_error("component_names", "list[str]", component_names);
  }
  glue::require_dict(batch, "batch", true);
  nb::dict result;
  for (nb::handle name : component_names) {
    (void)glue::to_text(name, "component_names");
    nb::object matrix;
    try {
      if (!batch.is_none()) matrix = pyglue::get_item(batch, name);
      if (!has_rows(matrix)) matrix = read_normal_factor_matrix(self, name);
    } catch (nb::python_error& error) {
      if (!is_network_error(error)) throw;
      continue;
    }
    if (!has_rows(matrix)) continue;
    result[name] = membership_matrix(matrix);
  }
  return result;
}

}  // namespace morvane::prepare::builder
