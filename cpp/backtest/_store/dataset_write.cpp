#include <nanobind/stl/string.h>

#include <cstdio>
#include <numeric>

#include "datasets.hpp"
#include "kernels/files.hpp"
#include "kernels/keys.hpp"

namespace morvane::store {

std::string new_data_file_name(const std::string& key) {
  std::string stem = kernels::dataset_key_fragment(key);
  if (stem.size() > 120) stem.resize(120);
  return stem + "." + kernels::random_hex(16) + kDataSuffix;
}

bool is_data_file_name(const std::string& name) {
  const std::string suffix = kDataSuffix;
  return name.size() > suffix.size() && !kernels::is_temporary_name(name) &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

kernels::MatrixHeader write_table_file(const std::string& dir, const std::string& name,
                                       const Table& table, bool sync) {
  const kernels::MatrixHeader sized = kernels::sized_header(
      table.dtype, table.fill_true, table.rows(), table.columns.size(), table.longest_label);
  std::vector<std::int64_t> source_cols(sized.col_capacity, -1);
  std::iota(source_cols.begin(), source_cols.begin() + static_cast<std::ptrdiff_t>(sized.cols),
            std::int64_t{0});
  return kernels::write_matrix_file(
      dir + "/" + name, sized, table.dates, table.columns,
      [&](std::uint64_t first, std::uint64_t count, std::span<std::byte> out) {
        table.compose(first, count, source_cols, out);
      },
      sync);
}

std::string checksum_text(std::uint64_t checksum) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(checksum));
  return text;
}

nb::object DateLists::get(const std::vector<std::int32_t>& dates) {
  auto found = lists_.find(dates);
  if (found != lists_.end()) return found->second;
  const std::string raw = kernels::encode_dates(dates);
  nb::list list;
  for (std::size_t i = 0; i < dates.size(); ++i) {
    list.append(nb::str(raw.data() + i * kernels::kDateBytes, kernels::kDateBytes));
  }
  return lists_.emplace(dates, list).first->second;
}

nb::dict describe_dataset(const std::string& file, const kernels::MatrixHeader& header,
                          nb::handle index) {
  nb::dict description;
  description["file"] = file;
  description["dtype"] = dtype_text(header.dtype);
  nb::list shape;
  shape.append(header.rows);
  shape.append(header.cols);
  description["shape"] = shape;
  description["checksum"] = checksum_text(header.checksum);
  description["index"] = index;
  return description;
}

}  // namespace morvane::store
