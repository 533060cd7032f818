#include "frames.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>

#include "args.hpp"
#include "builtins.hpp"
#include "imports.hpp"
#include "labels.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue {

nb::object with_column(nb::handle frame, const char* name, nb::handle values) {
  nb::dict column;
  column[name] = values;
  return frame.attr("assign")(**column);
}

nb::object py_slice(std::size_t start, std::size_t stop) {
  return slice_of(nb::int_(start), nb::int_(stop));
}

FrameLabels labels_of(nb::handle frame) { return {frame.attr("index"), frame.attr("columns")}; }

bool equal_labels(nb::handle left, nb::handle right) {
  return nb::cast<bool>(left.attr("equals")(right));
}

bool FrameLabels::equals(const FrameLabels& other) const {
  return equal_labels(index, other.index) && equal_labels(columns, other.columns);
}

FrameLabels FrameLabels::united(const FrameLabels& other) const {
  return {index.attr("union")(other.index), columns.attr("union")(other.columns)};
}

nb::object frame_on(nb::handle values, const FrameLabels& labels) {
  return imports().data_frame(values, "index"_a = labels.index, "columns"_a = labels.columns,
                              "copy"_a = false);
}

nb::object float64_on(nb::handle frame, const FrameLabels& labels) {
  const FrameLabels own = labels_of(frame);
  if (own.rows() == 0 || own.cols() == 0) {
    const std::size_t rows = labels.rows(), cols = labels.cols();
    return numpy_from(std::vector<double>(rows * cols, std::numeric_limits<double>::quiet_NaN()),
                      rows, cols);
  }
  if (own.equals(labels)) return contiguous_float64(frame);
  return contiguous_float64(
      frame.attr("reindex")("index"_a = labels.index, "columns"_a = labels.columns));
}

namespace {

const nb::object& numpy() { return imports().np; }

// The element type of a numpy array of numbers or flags; nothing for arrays
// of other things (objects, dates), which nanobind does not read.
std::optional<nb::dlpack::dtype> element_type(nb::handle array) {
  nb::ndarray<nb::ro> view;
  if (!nb::try_cast(array, view, false)) return std::nullopt;
  return view.dtype();
}

bool holds(nb::handle array, nb::dlpack::dtype type) { return element_type(array) == type; }

// The array of an empty table: nothing to read, only its shape.
nb::object empty_values(const FrameLabels& labels, bool flags) {
  if (flags) return numpy_flags({}, labels.rows(), labels.cols());
  return numpy_from(std::vector<double>{}, labels.rows(), labels.cols());
}

// The first column of `frame` (its labels `columns`) that cannot be read as
// numbers, for the message.
[[noreturn]] void raise_first_non_numeric(nb::handle frame, nb::handle columns, const char* name) {
  const std::size_t n = nb::len(columns);
  for (std::size_t k = 0; k < n; ++k) {
    const nb::object column =
        frame.attr("iloc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), k)];
    try {
      (void)float64_numpy(column);
    } catch (const nb::python_error&) {
      raise_value_error(std::string("参数 ") + name + " 含非数值数据: 列 " +
                        nb::cast<std::string>(nb::repr(columns[k])) + " 无法转换为数值");
    }
  }
  raise_value_error(std::string("参数 ") + name + " 含无法转换为数值的数据");
}

// Values that convert to numbers without meaning any: dates and durations
// (their nanosecond counts), periods, intervals and complex numbers. A
// TypeError naming the first such column (`columns` are the frame's labels).
void refuse_non_numeric_kinds(nb::handle frame, nb::handle columns, const char* name) {
  const nb::list dtypes = column_dtypes(frame);
  const nb::object& pd = imports().pd;
  const nb::object period = pd.attr("PeriodDtype");
  const nb::object interval = pd.attr("IntervalDtype");
  for (std::size_t k = 0; k < nb::len(dtypes); ++k) {
    const nb::handle dtype = dtypes[k];
    const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    if (kind == "M" || kind == "m" || kind == "c" || nb::isinstance(dtype, period) ||
        nb::isinstance(dtype, interval)) {
      const std::string message = std::string("参数 ") + name + " 的值须为数值: 列 " +
                                  nb::cast<std::string>(nb::repr(columns[k])) + " 的类型是 " +
                                  nb::cast<std::string>(nb::str(dtype));
      throw nb::type_error(message.c_str());
    }
  }
}

template <class T>
LabelledMatrix<T> labelled(const FrameLabels& labels, nb::object owner, const char* name) {
  LabelledMatrix<T> out;
  out.index = labels.index;
  out.columns = labels.columns;
  out.view = view_of<T>(owner, name);
  out.owner = std::move(owner);
  return out;
}

}  // namespace

template <class T>
kernels::MatrixView<T> view_of(nb::handle array, const char* name) {
  using Array = nb::ndarray<const T, nb::ndim<2>, nb::device::cpu>;
  Array view;
  if (!nb::try_cast<Array>(array, view, false)) {
    raise_value_error(std::string("参数 ") + name + " 无法读取为二维数组");
  }
  kernels::MatrixView<T> out;
  out.data = view.data();
  out.rows = view.shape(0);
  out.cols = view.shape(1);
  out.row_stride = view.stride(0);
  out.col_stride = view.stride(1);
  return out;
}

template kernels::MatrixView<double> view_of<double>(nb::handle, const char*);
template kernels::MatrixView<bool> view_of<bool>(nb::handle, const char*);

namespace {

// The values of a non-empty table as one array: a view of pandas' block when
// it holds one, else a new array.
nb::object frame_values(nb::handle frame) { return frame.attr("to_numpy")("copy"_a = false); }

// The values of the non-empty table `frame` as float64, `values` being what
// frame_values gave.
LabelledMatrix<double> float_values(nb::handle frame, const FrameLabels& labels, nb::object values,
                                    const char* name) {
  const std::optional<nb::dlpack::dtype> type = element_type(values);
  if (type == nb::dtype<double>()) return labelled<double>(labels, std::move(values), name);
  using Code = nb::dlpack::dtype_code;
  if (type && (type->code == static_cast<std::uint8_t>(Code::Bool) ||
               type->code == static_cast<std::uint8_t>(Code::Int) ||
               type->code == static_cast<std::uint8_t>(Code::UInt) ||
               type->code == static_cast<std::uint8_t>(Code::Float))) {
    return labelled<double>(labels, values.attr("astype")("float64"), name);
  }
  refuse_non_numeric_kinds(frame, labels.columns, name);
  try {
    return labelled<double>(labels, float64_numpy(frame), name);
  } catch (const nb::python_error&) {
    raise_first_non_numeric(frame, labels.columns, name);
  }
}

}  // namespace

LabelledMatrix<double> read_float_frame(nb::handle frame, const char* name) {
  require_dataframe(frame, name);
  const FrameLabels labels = labels_of(frame);
  if (labels.rows() * labels.cols() == 0) {
    return labelled<double>(labels, empty_values(labels, false), name);
  }
  return float_values(frame, labels, frame_values(frame), name);
}

LabelledMatrix<bool> read_bool_frame(nb::handle frame, const char* name, bool missing_value) {
  require_dataframe(frame, name);
  const FrameLabels labels = labels_of(frame);
  if (labels.rows() * labels.cols() == 0) {
    return labelled<bool>(labels, empty_values(labels, true), name);
  }
  nb::object values = frame_values(frame);
  if (holds(values, nb::dtype<bool>())) return labelled<bool>(labels, std::move(values), name);
  // Numbers (0/1 flags, possibly with NaN holes): non-zero is true, a hole is
  // the caller's "no trading" value. The matrix keeps the array it views alive
  // while it is read (a converted one has no other owner).
  const LabelledMatrix<double> read = float_values(frame, labels, std::move(values), name);
  const kernels::MatrixView<double>& numbers = read.view;
  std::vector<std::uint8_t> flags(numbers.rows * numbers.cols);
  for (std::size_t row = 0; row < numbers.rows; ++row) {
    for (std::size_t col = 0; col < numbers.cols; ++col) {
      const double value = numbers(row, col);
      flags[row * numbers.cols + col] = std::isnan(value) ? missing_value : value != 0.0;
    }
  }
  return labelled<bool>(labels, numpy_flags(std::move(flags), numbers.rows, numbers.cols), name);
}

std::vector<std::int64_t> label_positions(nb::handle source, nb::handle target, const char* name,
                                          const char* axis) {
  const std::size_t n = nb::len(target);
  std::vector<std::int64_t> positions(n);
  if (source.is(target)) {
    std::iota(positions.begin(), positions.end(), std::int64_t{0});
    return positions;
  }
  if (const std::optional<TextLabels> from = text_labels(source)) {
    if (const std::optional<TextLabels> to = text_labels(target)) {
      std::optional<std::vector<std::int64_t>> found;
      {
        // The views point into buffers `from` and `to` keep alive.
        const nb::gil_scoped_release unlocked;
        found = text_positions(*from, *to);
      }
      if (!found) {
        raise_value_error(std::string("参数 ") + name + " 的" + axis +
                          "标签有重复, 无法按标签对齐");
      }
      return std::move(*found);
    }
  }
  if (equal_labels(source, target)) {
    std::iota(positions.begin(), positions.end(), std::int64_t{0});
    return positions;
  }
  nb::object found;
  try {
    found = source.attr("get_indexer")(target);
  } catch (const nb::python_error& error) {
    if (error.matches(imports().invalid_index_error)) {
      raise_value_error(std::string("参数 ") + name + " 的" + axis + "标签有重复, 无法按标签对齐");
    }
    throw;
  }
  using Positions = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::device::cpu>;
  // get_indexer answers in numpy's intp, converted here where it is not int64.
  const Positions view = nb::cast<Positions>(found);
  for (std::size_t i = 0; i < n; ++i) positions[i] = view(i);
  return positions;
}

std::vector<double> float64_on_rows(nb::handle series, nb::handle rows, const std::string& name) {
  const FloatVector values = read_float_vector(series, name);
  const std::vector<std::int64_t> at =
      label_positions(series.attr("index"), rows, name.c_str(), "行");
  std::vector<double> placed(at.size(), std::numeric_limits<double>::quiet_NaN());
  for (std::size_t i = 0; i < at.size(); ++i) {
    if (at[i] >= 0) placed[i] = values.values[static_cast<std::size_t>(at[i])];
  }
  return placed;
}

nb::object take_labels(nb::handle index, const std::vector<std::size_t>& rows) {
  bool run = !rows.empty();
  for (std::size_t i = 1; run && i < rows.size(); ++i) run = rows[i] == rows[0] + i;
  if (run) {
    if (rows.front() == 0 && rows.size() == nb::len(index)) return nb::borrow(index);
    // A run of rows is a slice, which pandas makes without copying labels.
    return index[py_slice(rows.front(), rows.front() + rows.size())];
  }
  nb::list positions;
  for (const std::size_t row : rows) positions.append(row);
  return index.attr("take")(positions);
}

nb::object make_series(std::vector<double>&& values, nb::handle index, const char* name) {
  const nb::object numbers = numpy_from(std::move(values));
  if (name == nullptr) return imports().series(numbers, "index"_a = index, "copy"_a = false);
  return imports().series(numbers, "index"_a = index, "name"_a = name, "copy"_a = false);
}

nb::object int64_index(std::vector<std::int64_t>&& values, const char* name) {
  return imports().index(numpy_from(std::move(values)), "name"_a = name, "copy"_a = false);
}

nb::object int_range_index(std::int64_t start, std::int64_t stop, const char* name) {
  const nb::object labels = imports().range(start, stop);
  if (name == nullptr) return imports().index(labels, "dtype"_a = "int64");
  return imports().index(labels, "dtype"_a = "int64", "name"_a = name);
}

Factorised factorize(nb::handle values) {
  const nb::tuple pair = nb::cast<nb::tuple>(imports().pd.attr("factorize")(values));
  Factorised out;
  // The codes come in numpy's intp, converted where it is not int64.
  out.owner = nb::cast<decltype(out.owner)>(pair[0]);
  out.codes = {out.owner.data(), out.owner.shape(0)};
  out.uniques = pair[1];
  return out;
}

nb::object empty_float_series() { return imports().series("dtype"_a = "float64"); }

nb::list python_values(nb::handle values) { return nb::cast<nb::list>(values.attr("tolist")()); }

nb::list column_dtypes(nb::handle frame) { return python_values(frame.attr("dtypes")); }

nb::object float64_numpy(nb::handle values) {
  return values.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = imports().nan);
}

nb::object float64_array(nb::handle values) {
  if (nb::hasattr(values, "to_numpy")) return float64_numpy(values);
  return numpy().attr("asarray")(values, "dtype"_a = "float64");
}

nb::object contiguous_float64(nb::handle values) { return contiguous_array(float64_numpy(values)); }

}  // namespace morvane::pyglue

namespace morvane::pyglue {

FloatVector read_float_vector(nb::handle series, const std::string& name) {
  nb::object values;
  try {
    values = float64_array(series);
  } catch (const nb::python_error&) {
    raise_value_error("参数 " + name + " 含无法转换为数值的数据");
  }
  nb::ndarray<nb::ro> shape_only;
  if (!nb::try_cast(values, shape_only, false) || shape_only.ndim() != 1) {
    raise_value_error("参数 " + name + " 必须是一维序列");
  }
  values = contiguous_array(values);
  using Values = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
  const Values view = nb::cast<Values>(values);
  return {std::move(values), {view.data(), view.shape(0)}};
}

FloatVector read_float_column(nb::handle frame, const char* column) {
  const nb::object values = frame[column];
  if (!nb::isinstance(values, imports().series)) {
    raise_value_error(std::string("列 ") + column + " 重复出现, 无法作为单列读取");
  }
  return read_float_vector(values, std::string("列 ") + column);
}

nb::object make_float_frame(std::vector<std::pair<const char*, std::vector<double>>>&& columns,
                            nb::handle index) {
  // One block, column after column, which pandas takes as it is: building the
  // frame from a dict of arrays would consolidate them, a copy and far more
  // Python work under the GIL.
  const std::size_t n = columns.empty() ? 0 : columns.front().second.size();
  std::vector<double> block(columns.size() * n);
  nb::list names;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const std::vector<double>& values = columns[c].second;
    if (values.size() != n)
      throw std::invalid_argument("make_float_frame: columns differ in length");
    std::copy(values.begin(), values.end(), block.begin() + static_cast<std::ptrdiff_t>(c * n));
    names.append(columns[c].first);
  }
  // columns x n row after row, transposed: an n x columns view laid out
  // column after column (Fortran order), no copy.
  const nb::object by_column = numpy_from(std::move(block), columns.size(), n).attr("T");
  return imports().data_frame(by_column, "index"_a = index, "columns"_a = names, "copy"_a = false);
}

}  // namespace morvane::pyglue
