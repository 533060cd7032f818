#include "chart_png.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>
#include <vector>

#include "doc.hpp"
#include "kernels/png_encode.hpp"
#include "pyglue/args.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvane::core {

namespace {

using Pixels = nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

nb::bytes encode_png(nb::handle pixels, nb::handle dpi) {
  Pixels rgba;
  if (!nb::try_cast(pixels, rgba, false)) {  // no silent conversion of other types
    pyglue::raise_type_error("rgba", "C-contiguous numpy.ndarray of uint8 (height x width x 4)",
                             pixels);
  }
  if (rgba.shape(2) != 4) {
    pyglue::raise_value_error("参数 rgba 的最后一维应为 4 (RGBA), 收到 " +
                              std::to_string(rgba.shape(2)));
  }
  if (rgba.shape(0) == 0 || rgba.shape(1) == 0) {
    pyglue::raise_value_error("参数 rgba 不能是空图像, 收到 " + std::to_string(rgba.shape(0)) +
                              " x " + std::to_string(rgba.shape(1)) + " 像素");
  }
  const double dots = pyglue::to_float(dpi, "dpi");
  if (!(dots > 0.0)) pyglue::raise_value_error("参数 dpi 应为正数, 收到 " + std::to_string(dots));
  std::vector<std::uint8_t> file;
  {
    // The pixels are read only, and the caller keeps them alive.
    const nb::gil_scoped_release unlocked;
    file = kernels::encode_png({rgba.data(), rgba.size()}, rgba.shape(1), rgba.shape(0), dots);
  }
  return nb::bytes(file.data(), file.size());
}

}  // namespace

void define_chart_png(nb::module_& m) {
  m.def("_encode_png", &encode_png, "rgba"_a, "dpi"_a,
        nb::sig("def _encode_png(rgba: numpy.ndarray, dpi: float) -> bytes"), doc::kEncodePng);
}

}  // namespace morvane::core
