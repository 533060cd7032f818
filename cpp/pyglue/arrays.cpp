#include "arrays.hpp"

#include "imports.hpp"

using namespace nanobind::literals;

namespace morvane::pyglue {

namespace {

template <class T>
std::vector<T> copied_values(nb::handle values, const char* dtype) {
  const nb::object array = imports().np.attr("ascontiguousarray")(values, "dtype"_a = dtype);
  const auto view =
      nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(array);
  return {view.data(), view.data() + view.shape(0)};
}

}  // namespace

nb::object numpy_flags(std::vector<std::uint8_t>&& flags, std::size_t rows, std::size_t cols) {
  auto owned = std::make_unique<std::vector<std::uint8_t>>(std::move(flags));
  // numpy reads the bytes as its bool type (one byte, 0 or 1); C++ never
  // reads them through the bool pointer.
  bool* const data = reinterpret_cast<bool*>(owned->data());
  nb::capsule owner(owned.get(),
                    [](void* p) noexcept { delete static_cast<std::vector<std::uint8_t>*>(p); });
  owned.release();
  const std::size_t shape[2] = {rows, cols};
  return nb::ndarray<nb::numpy, bool, nb::ndim<2>>(data, 2, shape, owner).cast();
}

std::vector<std::int64_t> int64_values(nb::handle values) {
  return copied_values<std::int64_t>(values, "int64");
}

std::vector<double> float64_values(nb::handle values) {
  return copied_values<double>(values, "float64");
}

}  // namespace morvane::pyglue
