// One dataset file of the prepared-data store: a dates x labels matrix,
// row-major, with spare capacity so that later dates and new columns are
// written without moving what is stored.
//
//   [header 128 B][row labels: row_capacity x 8 B "YYYYMMDD"]
//   [column labels: col_capacity x label_width B, UTF-8, zero-padded]
//   [row checksums: row_capacity x 8 B][pad to 4096]
//   [data: row_capacity x col_capacity cells, little-endian, row-major]
//
// Every stored row is written at full capacity width, spare cells holding
// the dataset's missing value, so a new column needs no write to old rows.
// Each row has its own checksum; the header checksum covers the header
// fields, the labels in use and the row checksums in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "files.hpp"

namespace morvane::kernels {

enum class Dtype : std::uint32_t { kFloat64 = 1, kBool = 2 };

[[nodiscard]] std::size_t item_size(Dtype dtype);

inline constexpr std::uint32_t kMatrixFormatVersion = 1;
inline constexpr std::size_t kHeaderBytes = 128;
inline constexpr std::size_t kDateBytes = 8;

struct MatrixHeader {
  Dtype dtype = Dtype::kFloat64;
  bool fill_true = false;         // bool datasets: the value of a missing cell
  std::uint32_t label_width = 0;  // bytes per column label slot
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::uint64_t row_capacity = 0;
  std::uint64_t col_capacity = 0;
  std::uint64_t checksum = 0;
};

struct MatrixLayout {
  std::uint64_t row_labels = 0;
  std::uint64_t col_labels = 0;
  std::uint64_t row_sums = 0;
  std::uint64_t data = 0;
  std::uint64_t row_bytes = 0;
  std::uint64_t file_size = 0;
};

[[nodiscard]] MatrixLayout layout_of(const MatrixHeader& header);

// Capacities for a dataset of this shape: room for about a year of trading
// days and a few hundred new codes before the file must be rewritten.
[[nodiscard]] MatrixHeader sized_header(Dtype dtype, bool fill_true, std::uint64_t rows,
                                        std::uint64_t cols, std::size_t longest_label);

// Raw label regions as stored (rows x 8 and cols x label_width bytes).
[[nodiscard]] std::string encode_dates(std::span<const std::int32_t> dates);
[[nodiscard]] std::string encode_labels(std::span<const std::string> labels, std::size_t width);

[[nodiscard]] std::uint64_t combined_checksum(const MatrixHeader& header,
                                              std::string_view row_labels,
                                              std::string_view col_labels,
                                              std::span<const std::uint64_t> row_sums);

[[nodiscard]] std::string encode_header(const MatrixHeader& header);

// A dataset file opened for reading, its header, labels and row checksums
// checked. `name` is how messages call the file.
struct OpenedMatrix {
  File file;
  MatrixHeader header;
  MatrixLayout layout;
  std::string row_labels;  // rows x 8 bytes
  std::string col_labels;  // cols x label_width bytes
  std::vector<std::uint64_t> row_sums;

  [[nodiscard]] std::vector<std::int32_t> dates() const;
  [[nodiscard]] std::vector<std::string> columns() const;
};

// Throws FormatError naming `name` for a file that is not a regular one, a
// short file, bad magic, version, shape or checksum, or a checksum other than
// `expected` (when non-zero).
[[nodiscard]] OpenedMatrix open_matrix(const std::string& path, const std::string& name,
                                       std::uint64_t expected);

// Fills `count` full-capacity rows starting at stored row `first` into `out`
// (count x col_capacity cells of the dataset's type).
using RowComposer =
    std::function<void(std::uint64_t first, std::uint64_t count, std::span<std::byte> out)>;

// Writes a new dataset file at `path` (which must not exist) and, with
// `sync`, syncs it (a writer of many files syncs them together instead).
// Returns the header with its checksum.
MatrixHeader write_matrix_file(const std::string& path, MatrixHeader header,
                               std::span<const std::int32_t> dates,
                               std::span<const std::string> columns, const RowComposer& compose,
                               bool sync = true);

// Byte ranges to write into an existing dataset file.
struct Patch {
  std::uint64_t offset = 0;
  std::string bytes;
};

struct InPlacePlan {
  MatrixHeader header;          // the new header, checksum included
  std::vector<Patch> fresh;     // regions no committed state reads: written at once
  std::vector<Patch> replaced;  // regions the committed state reads: through the journal
};

// Plans writing rows `rows` (stored positions, ascending) and the new labels
// into `old`, whose capacities must hold `dates` and `columns`.
[[nodiscard]] InPlacePlan plan_in_place(const OpenedMatrix& old,
                                        std::span<const std::int32_t> dates,
                                        std::span<const std::string> columns,
                                        std::span<const std::uint64_t> rows,
                                        const RowComposer& compose);

// Verifies the stored checksum of each row of `data` (full-capacity rows
// starting at stored row `first`).
void verify_rows(const OpenedMatrix& matrix, std::uint64_t first, std::uint64_t count,
                 std::span<const std::byte> data, const std::string& name);

// Verifies rows [first, first + count) of `matrix` where `mapping` (a
// mapping of its file) holds them, their pages brought in first: about the
// cost of reading them once.
void verify_mapped_rows(const OpenedMatrix& matrix, const Mapping& mapping, std::uint64_t first,
                        std::uint64_t count, const std::string& name);

}  // namespace morvane::kernels
