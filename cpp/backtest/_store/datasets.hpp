// Dataset files of a store: writing a checked table as a new file, the
// description the metadata keeps of it, and building tables on stored files.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kernels/matrix_file.hpp"
#include "payload.hpp"

namespace morvane::store {

namespace nb = nanobind;

inline constexpr const char* kDataSuffix = ".mvd";

// A fresh, unique file name for dataset `key`.
[[nodiscard]] std::string new_data_file_name(const std::string& key);
[[nodiscard]] bool is_data_file_name(const std::string& name);

// Writes `table` as the new file `dir`/`name`, synced with `sync` (the
// directory is not). Touches no Python object: call it with the GIL released.
[[nodiscard]] kernels::MatrixHeader write_table_file(const std::string& dir,
                                                     const std::string& name, const Table& table,
                                                     bool sync = true);

[[nodiscard]] std::string checksum_text(std::uint64_t checksum);

// Python lists of date texts, one object per distinct list, so that equal
// indexes are pickled once.
class DateLists {
 public:
  nb::object get(const std::vector<std::int32_t>& dates);

 private:
  std::map<std::vector<std::int32_t>, nb::object> lists_;
};

// The metadata description of a dataset file.
[[nodiscard]] nb::dict describe_dataset(const std::string& file,
                                        const kernels::MatrixHeader& header, nb::handle index);

// A description as read from metadata, checked: a plain file name and a
// well-formed shape and checksum, else MorvaneError naming the metadata file.
struct DatasetRef {
  std::string key;
  std::string file;
  kernels::Dtype dtype = kernels::Dtype::kFloat64;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::uint64_t checksum = 0;
};

[[nodiscard]] DatasetRef read_description(nb::handle description, const std::string& key,
                                          const std::string& metadata_path);

// Opens the file of `ref` in `dir` and checks it against the description.
// A missing file is IoError (ENOENT) saying so.
[[nodiscard]] kernels::OpenedMatrix open_dataset(const std::string& dir, const DatasetRef& ref);

// Opens the file of `ref` and verifies every stored row. Releases nothing:
// call it with the GIL released.
void verify_dataset(const std::string& dir, const DatasetRef& ref);

// Builds tables on stored files for one load: dates cut to [start, end]
// (inclusive, by binary search), labels shared between tables that store
// the same ones. With `verify`, every row in the cut is checked against its
// checksum, mapped or read.
class TableLoader {
 public:
  TableLoader(std::string dir, bool mmap, bool verify, std::optional<std::int32_t> start,
              std::optional<std::int32_t> end)
      : dir_(std::move(dir)), mmap_(mmap), verify_(verify), start_(start), end_(end) {}

  [[nodiscard]] nb::object frame(const DatasetRef& ref);
  [[nodiscard]] nb::object series(const DatasetRef& ref);

 private:
  struct Loaded {
    nb::object values;  // 2-D numpy array (rows in the cut, stored columns)
    nb::object index;
    nb::object columns;
  };
  [[nodiscard]] Loaded load(const DatasetRef& ref);
  [[nodiscard]] nb::object labels(const std::string& raw, std::size_t width, bool dates);

  std::string dir_;
  bool mmap_;
  bool verify_;
  std::optional<std::int32_t> start_;
  std::optional<std::int32_t> end_;
  std::map<std::string, nb::object> label_cache_;
};

}  // namespace morvane::store
