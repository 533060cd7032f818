// DataFrame <-> labelled matrix: reads a pandas table as a strided native view
// of its values (no copy when the table already holds one float64 block or
// one bool block) and builds pandas results from native buffers.
//
// The owner objects keep the numpy arrays alive; views are read-only, which
// respects pandas' copy-on-write views. All functions need the GIL.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "kernels/matrix_view.hpp"

namespace morvane::pyglue {

namespace nb = nanobind;

// Two pandas Indexes hold the same labels in the same order (pandas' equals).
[[nodiscard]] bool equal_labels(nb::handle left, nb::handle right);

// The row and column labels of a table, read once.
struct FrameLabels {
  nb::object index;    // row labels (pandas Index)
  nb::object columns;  // column labels (pandas Index)
  [[nodiscard]] std::size_t rows() const { return nb::len(index); }
  [[nodiscard]] std::size_t cols() const { return nb::len(columns); }
  // Both axes hold the same labels in the same order (pandas' equals).
  [[nodiscard]] bool equals(const FrameLabels& other) const;
  // Each axis joined with the other's (pandas' union, which sorts texts).
  [[nodiscard]] FrameLabels united(const FrameLabels& other) const;
};
[[nodiscard]] FrameLabels labels_of(nb::handle frame);

// A DataFrame over `labels` holding the two-dimensional array `values` as it
// is (no copy).
[[nodiscard]] nb::object frame_on(nb::handle values, const FrameLabels& labels);

// The values of `frame` placed on `labels` (reindexed when its own differ, NaN
// where a label is absent; all NaN when `frame` is empty) as a C-contiguous
// row-major float64 array, to be read in place.
[[nodiscard]] nb::object float64_on(nb::handle frame, const FrameLabels& labels);

template <class T>
struct LabelledMatrix {
  nb::object index;    // row labels (pandas Index)
  nb::object columns;  // column labels (pandas Index)
  nb::object owner;    // numpy array the view points into
  kernels::MatrixView<T> view;
};

// Values of `frame` as float64. Numeric and bool columns convert; a column
// that cannot (text, objects) raises ValueError naming `name` and the column,
// and one whose values are dates, durations, periods, intervals or complex
// numbers (which would convert to numbers that mean nothing) a TypeError.
[[nodiscard]] LabelledMatrix<double> read_float_frame(nb::handle frame, const char* name);

// Values of a Series (or any one-dimensional array-like) as contiguous
// float64, kept alive by `owner`. Missing values read as NaN; values that
// cannot be numbers raise ValueError naming `name`.
struct FloatVector {
  nb::object owner;
  std::span<const double> values;
};
[[nodiscard]] FloatVector read_float_vector(nb::handle series, const std::string& name);

// Column `column` of `frame` as float64. A missing column raises the table's
// own KeyError; a duplicated or non-numeric one a ValueError naming it.
[[nodiscard]] FloatVector read_float_column(nb::handle frame, const char* column);

// A DataFrame over `index` with the given float64 columns, in order, all of
// one length, held as a single block.
[[nodiscard]] nb::object make_float_frame(
    std::vector<std::pair<const char*, std::vector<double>>>&& columns, nb::handle index);

// Values of `frame` as bool. A non-bool table is read as numbers: non-zero is
// true, and a missing value takes `missing_value`.
[[nodiscard]] LabelledMatrix<bool> read_bool_frame(nb::handle frame, const char* name,
                                                   bool missing_value);

// A strided view of a two-dimensional numpy array of the given element type.
template <class T>
[[nodiscard]] kernels::MatrixView<T> view_of(nb::handle array, const char* name);

// Positions of `target` labels in `source` (pandas get_indexer), -1 where
// absent. Duplicate source labels raise ValueError naming `name`.
[[nodiscard]] std::vector<std::int64_t> label_positions(nb::handle source, nb::handle target,
                                                        const char* name, const char* axis);

// The float64 values of `series` placed on the row labels `rows` (a Series'
// reindex): NaN where a label is absent. A series that cannot be read, or
// with repeated labels, raises ValueError naming `name`.
[[nodiscard]] std::vector<double> float64_on_rows(nb::handle series, nb::handle rows,
                                                  const std::string& name);

// The labels of `index` at `rows`: `index` itself when `rows` is every row in
// order, which keeps what pandas cached about it and costs nothing, and a
// slice of it when `rows` is a run of consecutive rows.
[[nodiscard]] nb::object take_labels(nb::handle index, const std::vector<std::size_t>& rows);

// A new frame: `frame` with column `name` set to `values` (DataFrame.assign).
// Setting a column in place from C++ looks like chained assignment to pandas
// 2, which judges by the frame's reference count (a frame only C++ holds has
// few) and warns; assign sets the column on its own shallow copy, in Python.
[[nodiscard]] nb::object with_column(nb::handle frame, const char* name, nb::handle values);

// A Python `slice(start, stop)`; nanobind's own constructor wants matching handle types.
[[nodiscard]] nb::object py_slice(std::size_t start, std::size_t stop);

// A float64 pandas Series over `index` holding `values` (taken over, no copy),
// named `name` when one is given.
[[nodiscard]] nb::object make_series(std::vector<double>&& values, nb::handle index,
                                     const char* name = nullptr);

// An int64 pandas Index of `values` named `name` (years, horizons).
[[nodiscard]] nb::object int64_index(std::vector<std::int64_t>&& values, const char* name);

// The int64 pandas Index start, start + 1, ..., stop - 1 (group numbers,
// months), named `name` when one is given.
[[nodiscard]] nb::object int_range_index(std::int64_t start, std::int64_t stop,
                                         const char* name = nullptr);

// pandas.factorize(values): per value the code of its distinct value (-1 for
// a missing one), read in place, and the distinct values in order of first
// appearance.
struct Factorised {
  nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> owner;
  std::span<const std::int64_t> codes;
  nb::object uniques;
};
[[nodiscard]] Factorised factorize(nb::handle values);

// An empty float64 pandas Series.
[[nodiscard]] nb::object empty_float_series();

// `values.tolist()`: a pandas or numpy object's values as a list of Python
// objects (numpy scalars become int, float or bool), to be walked natively.
[[nodiscard]] nb::list python_values(nb::handle values);

// The dtype of each column of a pandas table, in order (`frame.dtypes`).
[[nodiscard]] nb::list column_dtypes(nb::handle frame);

// A pandas table's or Series' values as a float64 numpy array, missing values
// as NaN: `values.to_numpy(dtype="float64", na_value=numpy.nan)`. Values that
// cannot be numbers raise the Python error.
[[nodiscard]] nb::object float64_numpy(nb::handle values);

// Any array-like's values as a float64 numpy array: a pandas object's as
// float64_numpy gives them, anything else through numpy.asarray. Values that
// cannot be numbers raise the Python error.
[[nodiscard]] nb::object float64_array(nb::handle values);

// The same, C-contiguous (numpy.ascontiguousarray), to be read in place.
[[nodiscard]] nb::object contiguous_float64(nb::handle values);

}  // namespace morvane::pyglue
