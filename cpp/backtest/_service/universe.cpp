// The universe filter: a factor backtest restricted to the members of some
// stock indices. Membership is already part of the loaded data (the
// component datasets), so the filter narrows the sliced "close_price_valid"
// and needs no disk access.
#include <nanobind/stl/string.h>

#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "imports.hpp"
#include "kernels/matrix_view.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"
#include "service.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace glue = morvane::pyglue;

nb::object service_attr(const char* name) { return imports().module.attr(name); }

[[noreturn]] void raise_with_code(const char* before, nb::handle code, const char* after) {
  // Built by Python: a code is whatever text the caller gave, surrogates included.
  const nb::object message =
      pyglue::concat(pyglue::concat(nb::str(before), nb::str(code)), nb::str(after));
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw nb::python_error();
}

// The component factor name of an accepted index code; ValueError otherwise.
nb::object component_of(nb::handle code) {
  const nb::object table = service_attr("_UNIVERSE_TO_COMPONENT");
  if (!pyglue::contains(table, code)) {
    raise_with_code("不支持的选股范围: ", code, "");
  }
  return table[code];
}

// The membership table of one index code, read from the (sliced) data mapping.
nb::object membership_of(nb::handle data, nb::handle code) {
  const nb::object key = service_attr("component_dataset_key")(component_of(code));
  const nb::object matrix = pyglue::get_item(data, key);
  if (matrix.is_none() || nb::len(matrix) == 0) {
    raise_with_code("选股范围 ", code, " 无成分股数据,请重新准备数据");
  }
  return matrix;
}

// Adds one index's aligned membership into the running sum, as pandas'
// add(fill_value=0) does: a cell missing on one side counts as "not a
// member" there; only a cell missing in every chosen index stays missing.
void add_memberships(std::span<const double> member, std::vector<double>& summed) {
  for (std::size_t cell = 0; cell < summed.size(); ++cell) {
    double& total = summed[cell];
    const double value = member[cell];
    if (std::isnan(total)) {
      total = value;
    } else if (!std::isnan(value)) {
      total += value;
    }
  }
}

// The mask kept where the stock is a member of at least one chosen index on
// that date (a positive, finite sum), NaN elsewhere: the mask times the
// factor members.where(members > 0) * 0 + 1, which is 1.0 or NaN.
std::vector<double> keep_members(const kernels::MatrixView<double>& mask,
                                 const std::vector<double>& summed) {
  std::vector<double> out(mask.rows * mask.cols);
  for (std::size_t i = 0; i < mask.rows; ++i) {
    for (std::size_t j = 0; j < mask.cols; ++j) {
      const std::size_t cell = i * mask.cols + j;
      out[cell] = summed[cell] > 0.0 && std::isfinite(summed[cell])
                      ? mask(i, j)
                      : std::numeric_limits<double>::quiet_NaN();
    }
  }
  return out;
}

}  // namespace

nb::dict universe_to_component(nb::handle component_names) {
  nb::dict table;
  for (nb::handle name : component_names) {
    // "rq_index_components_new_000300.XSHG" -> "000300": after the last "_",
    // before the first "." that follows it.
    const std::string text = nb::cast<std::string>(nb::str(name));
    const std::size_t underscore = text.rfind('_');
    const std::string tail = underscore == std::string::npos ? text : text.substr(underscore + 1);
    const std::string code = tail.substr(0, tail.find('.'));
    table[nb::str(code.c_str(), code.size())] = name;
  }
  return table;
}

nb::list parse_universe(nb::handle universe) {
  nb::list codes;
  if (universe.is_none()) return codes;
  const auto add_stripped = [&codes](nb::handle item) {
    const nb::object code = glue::strip_text(nb::str(item));
    if (nb::len(code) > 0) codes.append(code);
  };
  if (PyUnicode_Check(universe.ptr())) {
    add_stripped(universe);
    return codes;
  }
  // A number (300) or bytes would be iterated into nonsense or fail deep
  // inside; the argument must be a text or a list of texts.
  const nb::object items = nb::steal(PyObject_GetIter(universe.ptr()));
  if (!items.is_valid()) PyErr_Clear();
  if (!items.is_valid() || PyBytes_Check(universe.ptr()) || PyByteArray_Check(universe.ptr())) {
    glue::raise_type_error("universe", "str | list[str] | None", universe);
  }
  for (nb::handle item : nb::iter(universe)) add_stripped(item);
  return codes;
}

void check_universe_codes(nb::handle codes, nb::handle data) {
  for (nb::handle code : codes) {
    if (data.is_none()) {
      (void)component_of(code);
    } else {
      (void)membership_of(data, code);
    }
  }
}

void apply_universe_filter(nb::handle self, nb::handle data, nb::handle universe,
                           nb::handle start_date, nb::handle end_date) {
  glue::require_dict(data, "data", false);
  (void)glue::to_text(start_date, "start_date");
  (void)glue::to_text(end_date, "end_date");
  const nb::object codes = self.attr("_parse_universe")(universe);
  if (nb::len(codes) == 0) return;

  const nb::object valid = data["close_price_valid"];  // KeyError when absent
  const glue::FrameLabels labels = glue::labels_of(valid);
  // Every code is checked before the mask is replaced, so a bad code leaves
  // the mapping as it was. The memberships are summed as they are aligned,
  // so only one aligned copy is alive at a time.
  std::vector<double> summed(labels.rows() * labels.cols(),
                             std::numeric_limits<double>::quiet_NaN());
  for (nb::handle code : codes) {
    const nb::object aligned = glue::float64_on(membership_of(data, code), labels);
    add_memberships(glue::contiguous_span<const double>(aligned), summed);
  }
  const glue::LabelledMatrix<double> mask = glue::read_float_frame(valid, "close_price_valid");
  data["close_price_valid"] = glue::frame_on(
      glue::numpy_from(keep_members(mask.view, summed), mask.view.rows, mask.view.cols), labels);
}

}  // namespace morvane::service
