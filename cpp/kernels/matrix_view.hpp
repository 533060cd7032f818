// A read-only, strided view of a dates x stocks matrix owned elsewhere.
//
// pandas hands out float blocks column-major (each column contiguous) while
// numpy arrays built by hand are row-major; kernels read both through this view
// so that neither needs a copy. Strides are counted in elements, not bytes.
#pragma once

#include <cstddef>

namespace morvane::kernels {

template <class T>
struct MatrixView {
  const T* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;

  [[nodiscard]] const T& operator()(std::size_t row, std::size_t col) const {
    return data[static_cast<std::ptrdiff_t>(row) * row_stride +
                static_cast<std::ptrdiff_t>(col) * col_stride];
  }

  // Rows [first, first + count) of this view; no data is touched.
  [[nodiscard]] MatrixView row_slice(std::size_t first, std::size_t count) const {
    MatrixView out = *this;
    out.data = rows == 0 ? data : &(*this)(first, 0);
    out.rows = count;
    return out;
  }

  [[nodiscard]] bool row_major() const { return cols <= 1 || col_stride == 1; }
};

// A view of a contiguous row-major buffer.
template <class T>
[[nodiscard]] MatrixView<T> row_major_view(const T* data, std::size_t rows, std::size_t cols) {
  return MatrixView<T>{data, rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
}

}  // namespace morvane::kernels
