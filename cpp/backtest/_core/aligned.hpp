// A float table aligned by label to the backtest's dates and stocks, as a
// native view: the table's own values when the labels line up (no copy),
// otherwise one gathered row-major copy, made with the GIL released.
#pragma once

#include <vector>

#include "pyglue/frames.hpp"

namespace morvane::core {

namespace nb = nanobind;

struct AlignedMatrix {
  pyglue::LabelledMatrix<double> source;  // keeps the table's array alive
  std::vector<double> storage;            // the gathered copy, when one was needed
  kernels::MatrixView<double> view;
};

// `frame` (a DataFrame, already checked) aligned to `dates` x `stocks`;
// missing labels read as NaN.
[[nodiscard]] AlignedMatrix align_to(nb::handle frame, const char* name, nb::handle dates,
                                     nb::handle stocks);

}  // namespace morvane::core
