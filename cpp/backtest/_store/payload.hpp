// A payload checked and read into native form before any file is touched:
// every table's dates, labels and a read-only view of its values.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/matrix_file.hpp"
#include "kernels/matrix_view.hpp"

namespace morvane::store {

namespace nb = nanobind;

struct Table {
  std::string key;  // dataset key
  kernels::Dtype dtype = kernels::Dtype::kFloat64;
  bool fill_true = false;  // bool tables: the value of a cell the table lacks
  std::vector<std::int32_t> dates;
  std::vector<std::string> columns;
  std::size_t longest_label = 0;
  nb::object owner;  // keeps the viewed array alive
  kernels::MatrixView<double> floats;
  kernels::MatrixView<bool> bools;

  [[nodiscard]] std::size_t rows() const { return dates.size(); }
  // Writes rows [first, first + count) of this table as full-capacity rows
  // into `out`: cell k of a row takes column source_cols[k] of the table, or
  // the missing value where that is -1.
  void compose(std::uint64_t first, std::uint64_t count, std::span<const std::int64_t> source_cols,
               std::span<std::byte> out) const;
};

struct Benchmark {
  std::string code;
  Table series;     // one column, labelled with the series name
  nb::object name;  // the series name (None allowed)
};

struct Payload {
  nb::object meta;  // dict of plain values
  std::vector<Table> tables;
  std::vector<Benchmark> benchmarks;
};

// The dtype of `key` in a store: its entry in `matrix_dtype`, else the
// default. ValueError for a dtype the store cannot hold.
[[nodiscard]] kernels::Dtype dataset_dtype(nb::handle matrix_dtype, const std::string& key,
                                           const std::string& default_dtype);

// Parses a dtype text: "float64" or "bool", else ValueError naming `what`.
[[nodiscard]] kernels::Dtype parse_dtype(nb::handle dtype, const char* what);
[[nodiscard]] const char* dtype_text(kernels::Dtype dtype);

// A missing cell of a bool dataset: True for the "cannot trade" masks (keys
// beginning with "cant_"), False for the others.
[[nodiscard]] bool bool_fill_of(const std::string& key);

// The labels last checked in one payload: the tables of a payload mostly
// carry equal indexes, which are then checked once.
struct LabelCache {
  nb::object index;
  std::vector<std::int32_t> dates;
  nb::object columns;
  std::vector<std::string> labels;
  std::size_t longest = 0;
};

// Checks and reads one date x label table. `what` names it in messages.
[[nodiscard]] Table read_table(nb::handle frame, const std::string& key, kernels::Dtype dtype,
                               const std::string& what, LabelCache* cache = nullptr);

// Checks and reads a whole payload (see the store's docs for the rules).
[[nodiscard]] Payload read_payload(nb::handle payload, nb::handle matrix_dtype,
                                   const std::string& default_dtype, std::int64_t version);

// A store object's `version` attribute, which must be an integer.
[[nodiscard]] std::int64_t store_version(nb::handle store);

// Checks and reads a payload given to `store` (an object of the store class)
// against its `matrix_dtype`, its `default_dtype` and `version`, the store's
// version read by the caller.
[[nodiscard]] Payload read_store_payload(nb::handle payload, nb::handle store,
                                         std::int64_t version);

// Dataset key of a benchmark series.
[[nodiscard]] std::string benchmark_key(const std::string& code);

}  // namespace morvane::store
