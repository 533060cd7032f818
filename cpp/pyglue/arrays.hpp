// numpy arrays <-> native buffers: new arrays that take over a buffer or
// view memory kept alive by an owner (no copy), native spans over an array's
// own memory and native copies of one-dimensional arrays. The modules convert
// through these rather than through nb::ndarray themselves. Need the GIL.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace morvane::pyglue {

namespace nb = nanobind;

// A capsule that owns `owned` and deletes it when Python releases the last
// array made over it.
template <class U>
[[nodiscard]] nb::capsule owner_of(std::unique_ptr<U> owned) {
  nb::capsule owner(owned.get(), [](void* p) noexcept { delete static_cast<U*>(p); });
  (void)owned.release();
  return owner;
}

// A new numpy array of shape `shape` that takes over `values` (no copy).
template <class T, std::size_t Dims>
[[nodiscard]] nb::object numpy_owning(std::vector<T>&& values, const std::size_t (&shape)[Dims]) {
  auto owned = std::make_unique<std::vector<T>>(std::move(values));
  T* const data = owned->data();
  return nb::ndarray<nb::numpy, T, nb::ndim<Dims>>(data, Dims, shape, owner_of(std::move(owned)))
      .cast();
}

// A rows x cols numpy array over memory kept alive by `owner` (no copy),
// rows `row_stride` elements apart. A const T makes the array read-only.
template <class T>
[[nodiscard]] nb::object numpy_rows(T* data, std::size_t rows, std::size_t cols,
                                    std::int64_t row_stride, const nb::capsule& owner) {
  const std::size_t shape[2] = {rows, cols};
  const std::int64_t strides[2] = {row_stride, 1};
  return nb::ndarray<nb::numpy, T, nb::ndim<2>>(data, 2, shape, owner, strides).cast();
}

// The elements of a C-contiguous numpy array of T, read (or, for a non-const
// T, written) in place; the caller keeps the array alive while the span is
// used. No conversion is made, so the span always points into `array`: an
// array of another type or layout is a TypeError.
template <class T>
[[nodiscard]] std::span<T> contiguous_span(nb::handle array) {
  nb::ndarray<T, nb::c_contig> view;
  if (!nb::try_cast(array, view, false)) {
    throw nb::type_error("内部错误: 需要元素类型相符的 C 连续 numpy 数组");
  }
  return {view.data(), view.size()};
}

// A new one-dimensional numpy array that takes over `values` (no copy).
template <class T>
[[nodiscard]] nb::object numpy_from(std::vector<T>&& values) {
  const std::size_t shape[1] = {values.size()};
  return numpy_owning(std::move(values), shape);
}

// A new rows x cols numpy array over `values`, row after row (no copy).
[[nodiscard]] inline nb::object numpy_from(std::vector<double>&& values, std::size_t rows,
                                           std::size_t cols) {
  const std::size_t shape[2] = {rows, cols};
  return numpy_owning(std::move(values), shape);
}

// A flat boolean array over `values` (std::vector<bool> packs its bits, so
// flags travel as bytes and are reinterpreted here), shaped rows x cols.
[[nodiscard]] nb::object numpy_flags(std::vector<std::uint8_t>&& flags, std::size_t rows,
                                     std::size_t cols);

// The pixels of an RGBA image, read in place: a C-contiguous height x width
// x 4 uint8 numpy array, which the caller keeps alive while they are read.
// Another type is a TypeError naming `name` (no silent conversion); a last
// dimension other than 4 or an empty image a ValueError.
struct RgbaPixels {
  std::span<const std::uint8_t> bytes;
  std::size_t width = 0;
  std::size_t height = 0;
};
[[nodiscard]] RgbaPixels read_rgba_pixels(nb::handle array, const char* name);

// A read-only numpy view of `array`'s memory (no copy), so that nothing
// handed on can write through it into the array it came from.
[[nodiscard]] nb::object read_only_view(nb::handle array);

// numpy.ascontiguousarray(values, dtype): the values as a C-contiguous numpy
// array of `dtype` (of their own type when none is given), without a copy
// when they already are one.
[[nodiscard]] nb::object contiguous_array(nb::handle values, const char* dtype = nullptr);

// The values of a one-dimensional array-like, converted to float64 and
// copied out.
[[nodiscard]] std::vector<double> float64_values(nb::handle values);

}  // namespace morvane::pyglue
