#include "aligned.hpp"

#include <limits>

#include "kernels/gather.hpp"

namespace morvane::core {

AlignedMatrix align_to(nb::handle frame, const char* name, nb::handle dates, nb::handle stocks) {
  AlignedMatrix out{pyglue::read_float_frame(frame, name), {}, {}};
  const std::vector<std::int64_t> rows =
      pyglue::label_positions(out.source.index, dates, name, "行");
  const std::vector<std::int64_t> cols =
      pyglue::label_positions(out.source.columns, stocks, name, "列");
  const kernels::MatrixView<double>& src = out.source.view;
  if (!rows.empty() && !cols.empty() && kernels::is_consecutive(rows) &&
      kernels::is_consecutive(cols)) {
    out.view = src;
    out.view.data =
        &src(static_cast<std::size_t>(rows.front()), static_cast<std::size_t>(cols.front()));
    out.view.rows = rows.size();
    out.view.cols = cols.size();
    return out;
  }
  out.storage.resize(rows.size() * cols.size());
  {
    const nb::gil_scoped_release unlocked;
    kernels::gather_matrix<double>(src, rows, cols, std::numeric_limits<double>::quiet_NaN(),
                                   out.storage);
  }
  out.view = kernels::row_major_view(out.storage.data(), rows.size(), cols.size());
  return out;
}

}  // namespace morvane::core
