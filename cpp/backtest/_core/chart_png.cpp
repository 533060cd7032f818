#include "chart_png.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "doc.hpp"
#include "kernels/png_encode.hpp"
#include "pyglue/args.hpp"
#include "pyglue/arrays.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvane::core {

namespace {

nb::bytes encode_png(nb::handle pixels, nb::handle dpi) {
  const pyglue::RgbaPixels rgba = pyglue::read_rgba_pixels(pixels, "rgba");
  const double dots = pyglue::to_float(dpi, "dpi");
  if (!(dots > 0.0)) pyglue::raise_value_error("参数 dpi 应为正数, 收到 " + std::to_string(dots));
  std::vector<std::uint8_t> file;
  {
    // The pixels are read only, and the caller keeps them alive.
    const nb::gil_scoped_release unlocked;
    file = kernels::encode_png(rgba.bytes, rgba.width, rgba.height, dots);
  }
  return nb::bytes(file.data(), file.size());
}

}  // namespace

void define_chart_png(nb::module_& m) {
  m.def("_encode_png", &encode_png, "rgba"_a, "dpi"_a,
        nb::sig("def _encode_png(rgba: numpy.ndarray, dpi: float) -> bytes"), doc::kEncodePng);
}

}  // namespace morvane::core
