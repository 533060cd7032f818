#include "arrays.hpp"

#include <nanobind/stl/string.h>

#include <string>

#include "args.hpp"
#include "imports.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue {

namespace {

template <class T>
std::vector<T> copied_values(nb::handle values, const char* dtype) {
  const nb::object array = contiguous_array(values, dtype);
  const auto view =
      nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(array);
  return {view.data(), view.data() + view.shape(0)};
}

}  // namespace

nb::object contiguous_array(nb::handle values, const char* dtype) {
  const nb::object make = imports().np.attr("ascontiguousarray");
  if (dtype == nullptr) return make(values);
  return make(values, "dtype"_a = dtype);
}

nb::object read_only_view(nb::handle array) {
  nb::object view = array.attr("view")();
  view.attr("flags").attr("writeable") = false;
  return view;
}

nb::object numpy_flags(std::vector<std::uint8_t>&& flags, std::size_t rows, std::size_t cols) {
  auto owned = std::make_unique<std::vector<std::uint8_t>>(std::move(flags));
  // numpy reads the bytes as its bool type (one byte, 0 or 1); C++ never
  // reads them through the bool pointer.
  bool* const data = reinterpret_cast<bool*>(owned->data());
  const std::size_t shape[2] = {rows, cols};
  return nb::ndarray<nb::numpy, bool, nb::ndim<2>>(data, 2, shape, owner_of(std::move(owned)))
      .cast();
}

RgbaPixels read_rgba_pixels(nb::handle array, const char* name) {
  using Pixels = nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
  Pixels rgba;
  if (!nb::try_cast(array, rgba, false)) {  // no silent conversion of other types
    raise_type_error(name, "C-contiguous numpy.ndarray of uint8 (height x width x 4)", array);
  }
  if (rgba.shape(2) != 4) {
    raise_value_error(std::string("参数 ") + name + " 的最后一维应为 4 (RGBA), 收到 " +
                      std::to_string(rgba.shape(2)));
  }
  if (rgba.shape(0) == 0 || rgba.shape(1) == 0) {
    raise_value_error(std::string("参数 ") + name + " 不能是空图像, 收到 " +
                      std::to_string(rgba.shape(0)) + " x " + std::to_string(rgba.shape(1)) +
                      " 像素");
  }
  return {{rgba.data(), rgba.size()}, rgba.shape(1), rgba.shape(0)};
}

std::vector<double> float64_values(nb::handle values) {
  return copied_values<double>(values, "float64");
}

}  // namespace morvane::pyglue
