#include "update_tail.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <unordered_map>

#include "datasets.hpp"
#include "kernels/checksum.hpp"
#include "kernels/journal.hpp"
#include "kernels/store_errors.hpp"
#include "metadata.hpp"
#include "payload.hpp"
#include "pyglue/args.hpp"
#include "session.hpp"

namespace morvane::store {

namespace {

namespace k = morvane::kernels;

// Bytes that may go through the journal before a whole new file is cheaper.
constexpr std::uint64_t kJournalFloor = std::uint64_t{1} << 20;

struct Merge {
  Merge(std::string key_, const Table* table_) : key(std::move(key_)), table(table_) {}

  std::string key;
  const Table* table = nullptr;
  std::optional<k::OpenedMatrix> old;     // the stored file, when the dataset is stored
  std::vector<std::int32_t> dates;        // merged row dates
  std::vector<std::string> columns;       // stored columns, then the payload's new ones
  std::vector<std::int64_t> payload_row;  // per merged row: payload row or -1
  std::vector<std::int64_t> old_row;      // per merged row: stored row or -1
  std::vector<std::uint64_t> rows_to_write;
  std::vector<std::int64_t> payload_col_of;  // per merged column: payload column or -1
  std::vector<std::int64_t> old_col_of;      // per merged column: stored column or -1
  bool stored_prefix = true;  // the stored columns lead, in their order (no code placed among them)
  bool in_place = false;
  std::string file;  // the file of the merged dataset
  k::MatrixHeader header;
  k::InPlacePlan plan;
};

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

// Full rows of the merged dataset at capacity `width`.
void compose(const Merge& merge, std::uint64_t width, std::uint64_t first, std::uint64_t count,
             std::span<std::byte> out) {
  const k::Dtype dtype = merge.table->dtype;
  const std::size_t item = k::item_size(dtype);
  std::vector<std::int64_t> source_cols(width, -1);
  std::copy(merge.payload_col_of.begin(), merge.payload_col_of.end(), source_cols.begin());
  std::vector<std::byte> old_row;
  for (std::uint64_t r = first; r < first + count; ++r) {
    std::byte* const dst = out.data() + (r - first) * width * item;
    if (merge.payload_row[r] >= 0) {
      merge.table->compose(static_cast<std::uint64_t>(merge.payload_row[r]), 1, source_cols,
                           std::span(dst, width * item));
      continue;
    }
    const k::OpenedMatrix& old = *merge.old;
    const auto stored = static_cast<std::uint64_t>(merge.old_row[r]);
    old_row.resize(old.layout.row_bytes);
    old.file.read_exact(old.layout.data + stored * old.layout.row_bytes, old_row);
    // A damaged stored row must not be copied under a fresh checksum.
    k::verify_rows(old, stored, 1, old_row, old.file.path());
    if (merge.stored_prefix) {
      const std::size_t kept = old.header.cols;
      std::memcpy(dst, old_row.data(), kept * item);
      fill_missing(dtype, old.header.fill_true, dst + kept * item, width - kept);
      continue;
    }
    fill_missing(dtype, old.header.fill_true, dst, width);
    for (std::size_t c = 0; c < merge.old_col_of.size(); ++c) {
      const std::int64_t from = merge.old_col_of[c];
      if (from >= 0) {
        std::memcpy(dst + c * item, old_row.data() + static_cast<std::size_t>(from) * item, item);
      }
    }
  }
}

// Rows and columns of the merged dataset, and whether it fits in place.
void plan_merge(Merge& merge) {
  const Table& table = *merge.table;
  const k::OpenedMatrix& old = *merge.old;
  const std::vector<std::int32_t> stored = old.dates();
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < stored.size() || j < table.dates.size()) {
    const bool take_payload =
        j < table.dates.size() && (i >= stored.size() || table.dates[j] <= stored[i]);
    if (take_payload) {
      const bool same = i < stored.size() && table.dates[j] == stored[i];
      merge.dates.push_back(table.dates[j]);
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
  // Rows that keep their date and content stay untouched.
  std::size_t first_moved = 0;
  while (first_moved < stored.size() && merge.dates[first_moved] == stored[first_moved]) {
    ++first_moved;
  }
  for (std::size_t r = 0; r < merge.dates.size(); ++r) {
    if (r >= first_moved || merge.payload_row[r] >= 0) merge.rows_to_write.push_back(r);
  }

  const std::vector<std::string> stored_columns = old.columns();
  merge.columns = stored_columns;
  std::unordered_map<std::string, std::int64_t> stored_position;
  for (std::size_t c = 0; c < stored_columns.size(); ++c) {
    stored_position.emplace(stored_columns[c], static_cast<std::int64_t>(c));
  }
  bool labels_fit = true;
  for (const std::string& code : table.columns) {
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
  const auto ascending = [](const std::vector<std::string>& v) {
    return std::adjacent_find(v.begin(), v.end(), std::greater_equal<>()) == v.end();
  };
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
  for (std::size_t c = 0; c < table.columns.size(); ++c) {
    merge.payload_col_of[static_cast<std::size_t>(position.at(table.columns[c]))] =
        static_cast<std::int64_t>(c);
  }

  std::uint64_t journaled_rows = 0;
  for (const std::uint64_t r : merge.rows_to_write) journaled_rows += r < stored.size() ? 1 : 0;
  const std::uint64_t row_bytes = old.layout.row_bytes;
  merge.in_place =
      merge.stored_prefix && labels_fit && merge.dates.size() <= old.header.row_capacity &&
      merge.columns.size() <= old.header.col_capacity &&
      journaled_rows * row_bytes <= std::max(kJournalFloor, stored.size() * row_bytes / 4);
}

std::size_t longest(const std::vector<std::string>& labels) {
  std::size_t n = 0;
  for (const std::string& label : labels) n = std::max(n, label.size());
  return n;
}

// Writes the merged dataset: new rows and labels into its file (returned,
// still to be synced), or a new file (synced).
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

bool is_dict(nb::handle value) { return value.is_valid() && PyDict_Check(value.ptr()); }

nb::object merged_meta(nb::handle stored, nb::handle given) {
  nb::dict meta = is_dict(stored) ? dict_copy(stored) : nb::dict();
  const nb::object first_date = meta.attr("get")("start_date");
  for (auto [key, value] : nb::borrow<nb::dict>(given)) meta[key] = value;
  // The payload covers a window; the store still begins where it began.
  if (!first_date.is_none()) meta["start_date"] = first_date;
  return meta;
}

}  // namespace

bool update_tail(nb::handle self, nb::handle payload) {
  const StorePaths paths = paths_of(self);
  const std::int64_t version = pyglue::to_int(self.attr("version"), "version");
  const Payload given =
      read_payload(payload, self.attr("matrix_dtype"),
                   pyglue::to_text(self.attr("default_dtype"), "default_dtype"), version);
  if (!k::path_exists(paths.metadata()) && !k::path_exists(paths.journal())) return false;
  const WriterSession session(paths);
  if (!k::path_exists(paths.metadata())) return false;
  const nb::object metadata = read_metadata(paths.metadata());
  const nb::object datasets = metadata.attr("get")("datasets");
  const nb::object benchmarks = metadata.attr("get")("benchmarks");
  if (!is_dict(datasets) || !is_dict(benchmarks) ||
      !nb::cast<bool>(datasets.attr("__contains__")("close_price"))) {
    return false;
  }
  const nb::object stored_version = metadata.attr("get")("version");
  if (!PyLong_CheckExact(stored_version.ptr()) ||
      nb::cast<std::int64_t>(stored_version) != version) {
    return false;
  }

  // Everything is checked before anything is written.
  const auto close = std::find_if(given.tables.begin(), given.tables.end(),
                                  [](const Table& t) { return t.key == "close_price"; });
  if (close == given.tables.end() || close->rows() == 0) return false;
  std::unordered_map<std::string, const Benchmark*> given_benchmarks;
  for (const Benchmark& benchmark : given.benchmarks) given_benchmarks[benchmark.code] = &benchmark;
  std::vector<Merge> merges;
  std::vector<std::pair<std::string, std::string>> new_benchmarks;  // code, key
  for (auto [code, key] : nb::borrow<nb::dict>(benchmarks)) {
    if (!PyUnicode_Check(code.ptr()) || !PyUnicode_Check(key.ptr()) ||
        !nb::cast<bool>(datasets.attr("__contains__")(key))) {
      return false;
    }
    const auto found = given_benchmarks.find(nb::cast<std::string>(code));
    if (found == given_benchmarks.end() || found->second->series.rows() == 0) return false;
  }
  for (const Table& table : given.tables) merges.emplace_back(table.key, &table);
  for (const Benchmark& benchmark : given.benchmarks) {
    const nb::object stored_key = benchmarks.attr("get")(benchmark.code);
    Merge merge(stored_key.is_none() ? benchmark.series.key : nb::cast<std::string>(stored_key),
                &benchmark.series);
    if (stored_key.is_none()) new_benchmarks.emplace_back(benchmark.code, merge.key);
    merges.push_back(std::move(merge));
  }
  for (Merge& merge : merges) {
    const nb::object description = datasets.attr("get")(merge.key);
    if (description.is_none()) continue;
    const DatasetRef ref = read_description(description, merge.key, paths.metadata());
    if (ref.dtype != merge.table->dtype) {
      pyglue::raise_value_error("数据集 " + merge.key + " 的存储类型为 " + dtype_text(ref.dtype) +
                                ", payload 中为 " + dtype_text(merge.table->dtype));
    }
    merge.file = ref.file;
    {
      const nb::gil_scoped_release released;
      merge.old.emplace(open_dataset(paths.dir, ref));
      plan_merge(merge);
    }
  }

  // Files first: merged datasets and new ones, synced, not yet referenced.
  {
    const nb::gil_scoped_release released;
    std::vector<k::File> written;
    bool new_files = false;
    for (Merge& merge : merges) {
      new_files = new_files || !merge.old || !merge.in_place;
      if (merge.old) {
        if (std::optional<k::File> file = write_merge(paths.dir, merge)) {
          written.push_back(std::move(*file));
        }
      } else {
        merge.file = new_data_file_name(merge.key);
        merge.header = write_table_file(paths.dir, merge.file, *merge.table);
      }
    }
    // Durable before the journal is: a replayed journal must find them.
    std::vector<const k::File*> to_sync;
    for (const k::File& file : written) to_sync.push_back(&file);
    k::sync_files(to_sync);
    if (new_files) k::sync_directory(paths.dir);
  }

  // The new metadata: stored order kept, new datasets appended.
  DateLists lists;
  nb::dict new_datasets;
  std::unordered_map<std::string, const Merge*> by_key;
  for (const Merge& merge : merges) by_key[merge.key] = &merge;
  const auto describe = [&](const Merge& merge) {
    return describe_dataset(merge.file, merge.header,
                            lists.get(merge.old ? merge.dates : merge.table->dates));
  };
  for (auto [key, description] : nb::borrow<nb::dict>(datasets)) {
    const auto found =
        PyUnicode_Check(key.ptr()) ? by_key.find(nb::cast<std::string>(key)) : by_key.end();
    new_datasets[key] = found == by_key.end() ? nb::object(nb::borrow(description))
                                              : nb::object(describe(*found->second));
  }
  for (const Merge& merge : merges) {
    if (!merge.old) new_datasets[merge.key.c_str()] = describe(merge);
  }
  nb::dict new_benchmark_map = dict_copy(benchmarks);
  for (const auto& [code, key] : new_benchmarks) new_benchmark_map[code.c_str()] = key;
  nb::dict new_metadata = dict_copy(metadata);
  new_metadata["datasets"] = new_datasets;
  new_metadata["benchmarks"] = new_benchmark_map;
  new_metadata["meta"] = merged_meta(metadata.attr("get")("meta"), given.meta);
  new_metadata["updated_at"] =
      nb::module_::import_("pandas").attr("Timestamp").attr("now")().attr("isoformat")();

  k::Journal journal;
  for (const Merge& merge : merges) {
    if (!merge.in_place) continue;
    for (const k::Patch& patch : merge.plan.replaced) {
      journal.entries.push_back({merge.file, patch.offset, patch.bytes});
    }
  }
  if (journal.entries.empty()) {
    commit_metadata(paths, new_metadata);
  } else {
    journal.metadata = pickle_metadata(new_metadata);
    journal.manifest = manifest_json(new_metadata);
    const nb::gil_scoped_release released;
    k::write_file_atomic(paths.dir, kJournalName, k::encode_journal(journal));
    k::replay_journal(paths.dir, journal, kJournalName, kMetadataName, kManifestName);
  }
  remove_unreferenced_files(paths, new_metadata);
  return true;
}

}  // namespace morvane::store
