// One dataset of a tail update: how the payload's rows and labels merge with
// the stored file, and writing the merged dataset (in place where the file
// has room, else as a new file). Touches no Python object: the GIL may be
// released around every function here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kernels/files.hpp"
#include "kernels/matrix_file.hpp"
#include "payload.hpp"

namespace morvane::store {

struct Merge {
  Merge(std::string key_, const Table* table_) : key(std::move(key_)), table(table_) {}

  std::string key;
  const Table* table = nullptr;
  std::optional<kernels::OpenedMatrix> old;  // the stored file, when the dataset is stored
  std::vector<std::int32_t> dates;           // merged row dates
  std::vector<std::string> columns;          // stored columns, then the payload's new ones
  std::vector<std::int64_t> payload_row;     // per merged row: payload row or -1
  std::vector<std::int64_t> old_row;         // per merged row: stored row or -1
  std::vector<std::uint64_t> rows_to_write;
  std::vector<std::int64_t> payload_col_of;  // per merged column: payload column or -1
  std::vector<std::int64_t> old_col_of;      // per merged column: stored column or -1
  bool stored_prefix = true;  // the stored columns lead, in their order (no code placed among them)
  bool in_place = false;
  std::string file;  // the file of the merged dataset
  kernels::MatrixHeader header;
  kernels::InPlacePlan plan;
};

// Rows and columns of the merged dataset, and whether it fits in place
// (`merge.old` must be open).
void plan_merge(Merge& merge);

// Writes the merged dataset: new rows and labels into its file (returned,
// still to be synced), or a new file (synced).
[[nodiscard]] std::optional<kernels::File> write_merge(const std::string& dir, Merge& merge);

}  // namespace morvane::store
