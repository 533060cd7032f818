#include "tail_merge.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "datasets.hpp"
#include "kernels/checksum.hpp"

namespace morvane::store {

namespace {

namespace k = morvane::kernels;

// Bytes that may go through the journal before a whole new file is cheaper.
constexpr std::uint64_t kJournalFloor = std::uint64_t{1} << 20;

template <class T>
void fill_cells(std::byte* out, std::size_t count, T value) {
  T* const cells = reinterpret_cast<T*>(out);
  std::fill(cells, cells + count, value);
}

void fill_missing(k::Dtype dtype, bool fill_true, std::byte* out, std::size_t count) {
  if (dtype == k::Dtype::kBool) {
    fill_cells<bool>(out, count, fill_true);
  } else {
    fill_cells<double>(out, count, std::nan(""));
  }
}

// One stored row `stored` into `dst` (a full row at capacity `width`), its
// cells moved to their merged columns.
void compose_stored_row(const Merge& merge, std::uint64_t width, std::uint64_t stored,
                        std::vector<std::byte>& old_row, std::byte* dst) {
  const k::Dtype dtype = merge.table->dtype;
  const std::size_t item = k::item_size(dtype);
  const k::OpenedMatrix& old = *merge.old;
  old_row.resize(old.layout.row_bytes);
  old.file.read_exact(old.layout.data + stored * old.layout.row_bytes, old_row);
  // A damaged stored row must not be copied under a fresh checksum.
  k::verify_rows(old, stored, 1, old_row, old.file.path());
  if (merge.stored_prefix) {
    const std::size_t kept = old.header.cols;
    std::memcpy(dst, old_row.data(), kept * item);
    fill_missing(dtype, old.header.fill_true, dst + kept * item, width - kept);
    return;
  }
  fill_missing(dtype, old.header.fill_true, dst, width);
  for (std::size_t c = 0; c < merge.old_col_of.size(); ++c) {
    const std::int64_t from = merge.old_col_of[c];
    if (from >= 0) {
      std::memcpy(dst + c * item, old_row.data() + static_cast<std::size_t>(from) * item, item);
    }
  }
}

// Full rows of the merged dataset at capacity `width`.
void compose(const Merge& merge, std::uint64_t width, std::uint64_t first, std::uint64_t count,
             std::span<std::byte> out) {
  const std::size_t item = k::item_size(merge.table->dtype);
  std::vector<std::int64_t> source_cols(width, -1);
  std::copy(merge.payload_col_of.begin(), merge.payload_col_of.end(), source_cols.begin());
  std::vector<std::byte> old_row;
  for (std::uint64_t row = first; row < first + count; ++row) {
    std::byte* const dst = out.data() + (row - first) * width * item;
    if (merge.payload_row[row] >= 0) {
      merge.table->compose(static_cast<std::uint64_t>(merge.payload_row[row]), 1, source_cols,
                           std::span(dst, width * item));
    } else {
      compose_stored_row(merge, width, static_cast<std::uint64_t>(merge.old_row[row]), old_row,
                         dst);
    }
  }
}

// The merged dates (payload rows win on equal dates) and the rows to write:
// rows that keep their date and content stay untouched.
void merge_rows(Merge& merge, const std::vector<std::int32_t>& stored) {
  const std::vector<std::int32_t>& given = merge.table->dates;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < stored.size() || j < given.size()) {
    const bool take_payload = j < given.size() && (i >= stored.size() || given[j] <= stored[i]);
    if (take_payload) {
      const bool same = i < stored.size() && given[j] == stored[i];
      merge.dates.push_back(given[j]);
      merge.payload_row.push_back(static_cast<std::int64_t>(j));
      merge.old_row.push_back(-1);
      ++j;
      if (same) ++i;
    } else {
      merge.dates.push_back(stored[i]);
      merge.payload_row.push_back(-1);
      merge.old_row.push_back(static_cast<std::int64_t>(i));
      ++i;
    }
  }
  std::size_t first_moved = 0;
  while (first_moved < stored.size() && merge.dates[first_moved] == stored[first_moved]) {
    ++first_moved;
  }
  for (std::size_t row = 0; row < merge.dates.size(); ++row) {
    if (row >= first_moved || merge.payload_row[row] >= 0) merge.rows_to_write.push_back(row);
  }
}

bool ascending(const std::vector<std::string>& labels) {
  return std::adjacent_find(labels.begin(), labels.end(), std::greater_equal<>()) == labels.end();
}

// The merged columns and where each comes from. True when the new labels fit
// the stored file's label width.
bool merge_columns(Merge& merge, const std::vector<std::string>& stored_columns) {
  const k::OpenedMatrix& old = *merge.old;
  merge.columns = stored_columns;
  std::unordered_map<std::string, std::int64_t> stored_position;
  for (std::size_t c = 0; c < stored_columns.size(); ++c) {
    stored_position.emplace(stored_columns[c], static_cast<std::int64_t>(c));
  }
  bool labels_fit = true;
  for (const std::string& code : merge.table->columns) {
    if (stored_position.count(code) == 0) {
      stored_position.emplace(code, -1);
      merge.columns.push_back(code);
      labels_fit = labels_fit && code.size() <= old.header.label_width;
    }
  }
  // A dataset stored in code order (as every build writes it) stays in code
  // order, so that a refreshed store equals a rebuilt one column for column:
  // a new code that sorts among the stored ones is placed there, at the cost
  // of a new file (the stored cells move). Codes that sort after all the
  // stored ones are appended in place.
  if (merge.columns.size() > stored_columns.size() && ascending(stored_columns) &&
      !ascending(merge.columns)) {
    std::sort(merge.columns.begin(), merge.columns.end());
    merge.stored_prefix = false;
  }
  std::unordered_map<std::string, std::int64_t> position;
  for (std::size_t c = 0; c < merge.columns.size(); ++c) {
    position.emplace(merge.columns[c], static_cast<std::int64_t>(c));
  }
  merge.old_col_of.assign(merge.columns.size(), -1);
  for (std::size_t c = 0; c < merge.columns.size(); ++c) {
    merge.old_col_of[c] = stored_position.at(merge.columns[c]);
  }
  merge.payload_col_of.assign(merge.columns.size(), -1);
  for (std::size_t c = 0; c < merge.table->columns.size(); ++c) {
    merge.payload_col_of[static_cast<std::size_t>(position.at(merge.table->columns[c]))] =
        static_cast<std::int64_t>(c);
  }
  return labels_fit;
}

std::size_t longest(const std::vector<std::string>& labels) {
  std::size_t n = 0;
  for (const std::string& label : labels) n = std::max(n, label.size());
  return n;
}

}  // namespace

void plan_merge(Merge& merge) {
  const k::OpenedMatrix& old = *merge.old;
  const std::vector<std::int32_t> stored = old.dates();
  merge_rows(merge, stored);
  const bool labels_fit = merge_columns(merge, old.columns());
  std::uint64_t journaled_rows = 0;
  for (const std::uint64_t row : merge.rows_to_write) journaled_rows += row < stored.size() ? 1 : 0;
  const std::uint64_t row_bytes = old.layout.row_bytes;
  merge.in_place =
      merge.stored_prefix && labels_fit && merge.dates.size() <= old.header.row_capacity &&
      merge.columns.size() <= old.header.col_capacity &&
      journaled_rows * row_bytes <= std::max(kJournalFloor, stored.size() * row_bytes / 4);
}

std::optional<k::File> write_merge(const std::string& dir, Merge& merge) {
  if (merge.in_place) {
    merge.plan =
        k::plan_in_place(*merge.old, merge.dates, merge.columns, merge.rows_to_write,
                         [&](std::uint64_t first, std::uint64_t count, std::span<std::byte> out) {
                           compose(merge, merge.old->header.col_capacity, first, count, out);
                         });
    merge.header = merge.plan.header;
    if (merge.plan.fresh.empty()) return std::nullopt;
    k::File file = k::File::open_write(dir + "/" + merge.file);
    for (const k::Patch& patch : merge.plan.fresh) {
      file.write_all(patch.offset,
                     std::as_bytes(std::span(patch.bytes.data(), patch.bytes.size())));
    }
    return file;
  }
  const k::MatrixHeader sized =
      k::sized_header(merge.table->dtype, merge.old->header.fill_true, merge.dates.size(),
                      merge.columns.size(), longest(merge.columns));
  merge.file = new_data_file_name(merge.key);
  merge.header =
      k::write_matrix_file(dir + "/" + merge.file, sized, merge.dates, merge.columns,
                           [&](std::uint64_t first, std::uint64_t count, std::span<std::byte> out) {
                             compose(merge, sized.col_capacity, first, count, out);
                           });
  return std::nullopt;
}

}  // namespace morvane::store
