#include "update_tail.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "datasets.hpp"
#include "kernels/journal.hpp"
#include "metadata.hpp"
#include "payload.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/log.hpp"
#include "session.hpp"
#include "tail_merge.hpp"

namespace morvane::store {

namespace {

namespace k = morvane::kernels;

// Why an update was refused, or nothing when it may go on.
using Refusal = std::optional<std::string>;

bool is_dict(nb::handle value) { return value.is_valid() && PyDict_Check(value.ptr()); }

// The stored metadata an update builds on.
struct Stored {
  nb::object metadata;
  nb::dict datasets;
  nb::dict benchmarks;
};

// The stored metadata is complete and of this store's version.
Refusal check_metadata(const nb::object& metadata, std::int64_t version) {
  const nb::object datasets = pyglue::get_item(metadata, "datasets");
  const nb::object benchmarks = pyglue::get_item(metadata, "benchmarks");
  if (!is_dict(datasets) || !is_dict(benchmarks)) {
    return "元信息缺少 datasets 或 benchmarks 映射";
  }
  if (!PyDict_Contains(datasets.ptr(), nb::str("close_price").ptr())) {
    return "元信息的 datasets 中没有 close_price";
  }
  const nb::object stored_version = pyglue::get_item(metadata, "version");
  if (!PyLong_CheckExact(stored_version.ptr()) ||
      nb::cast<std::int64_t>(stored_version) != version) {
    return "元信息的版本 " + nb::cast<std::string>(nb::repr(stored_version)) + " 不是存储的版本 " +
           std::to_string(version);
  }
  return std::nullopt;
}

// The payload has close rows and a non-empty series for every stored
// benchmark, each of which the metadata lists as a dataset.
Refusal check_payload(const Payload& given, const Stored& stored) {
  const auto close = std::find_if(given.tables.begin(), given.tables.end(),
                                  [](const Table& t) { return t.key == "close_price"; });
  if (close == given.tables.end() || close->rows() == 0) return "payload 中 close_price 没有行";
  std::unordered_map<std::string, const Benchmark*> given_benchmarks;
  for (const Benchmark& benchmark : given.benchmarks) given_benchmarks[benchmark.code] = &benchmark;
  for (auto [code, key] : stored.benchmarks) {
    if (!PyUnicode_Check(code.ptr()) || !PyUnicode_Check(key.ptr()) ||
        !PyDict_Contains(stored.datasets.ptr(), key.ptr())) {
      return "元信息中基准 " + nb::cast<std::string>(nb::repr(code)) + " 的数据集登记不完整";
    }
    const std::string text = nb::cast<std::string>(code);
    const auto found = given_benchmarks.find(text);
    if (found == given_benchmarks.end() || found->second->series.rows() == 0) {
      return "payload 中没有基准 " + text + " 的日收益";
    }
  }
  return std::nullopt;
}

// One merge per payload table and benchmark, planned against the stored
// files. New benchmarks are listed in `new_benchmarks` (code, dataset key).
std::vector<Merge> plan_merges(const StorePaths& paths, const Payload& given, const Stored& stored,
                               std::vector<std::pair<std::string, std::string>>& new_benchmarks) {
  std::vector<Merge> merges;
  for (const Table& table : given.tables) merges.emplace_back(table.key, &table);
  for (const Benchmark& benchmark : given.benchmarks) {
    const nb::object stored_key = pyglue::get_item(stored.benchmarks, benchmark.code);
    Merge merge(stored_key.is_none() ? benchmark.series.key : nb::cast<std::string>(stored_key),
                &benchmark.series);
    if (stored_key.is_none()) new_benchmarks.emplace_back(benchmark.code, merge.key);
    merges.push_back(std::move(merge));
  }
  for (Merge& merge : merges) {
    const nb::object description = pyglue::get_item(stored.datasets, merge.key);
    if (description.is_none()) continue;
    const DatasetRef ref = read_description(description, merge.key, paths.metadata());
    if (ref.dtype != merge.table->dtype) {
      pyglue::raise_value_error("数据集 " + merge.key + " 的存储类型为 " + dtype_text(ref.dtype) +
                                ", payload 中为 " + dtype_text(merge.table->dtype));
    }
    merge.file = ref.file;
    const nb::gil_scoped_release released;
    merge.old.emplace(open_dataset(paths.dir, ref));
    plan_merge(merge);
  }
  return merges;
}

// Merged datasets and new ones written and synced, not yet referenced.
void write_merges(const std::string& dir, std::vector<Merge>& merges) {
  const nb::gil_scoped_release released;
  std::vector<k::File> written;
  bool new_files = false;
  for (Merge& merge : merges) {
    new_files = new_files || !merge.old || !merge.in_place;
    if (merge.old) {
      if (std::optional<k::File> file = write_merge(dir, merge)) {
        written.push_back(std::move(*file));
      }
    } else {
      merge.file = new_data_file_name(merge.key);
      merge.header = write_table_file(dir, merge.file, *merge.table);
    }
  }
  // Durable before the journal is: a replayed journal must find them.
  std::vector<const k::File*> to_sync;
  for (const k::File& file : written) to_sync.push_back(&file);
  k::sync_files(to_sync);
  if (new_files) k::sync_directory(dir);
}

nb::object merged_meta(nb::handle stored, nb::handle given) {
  nb::dict meta = is_dict(stored) ? dict_copy(stored) : nb::dict();
  const nb::object first_date = pyglue::get_item(meta, "start_date");
  for (auto [key, value] : nb::borrow<nb::dict>(given)) meta[key] = value;
  // The payload covers a window; the store still begins where it began.
  if (!first_date.is_none()) meta["start_date"] = first_date;
  return meta;
}

// The new metadata: stored order kept, new datasets appended.
nb::dict next_metadata(const Stored& stored, const std::vector<Merge>& merges,
                       const std::vector<std::pair<std::string, std::string>>& new_benchmarks,
                       nb::handle given_meta) {
  DateLists lists;
  nb::dict new_datasets;
  std::unordered_map<std::string, const Merge*> by_key;
  for (const Merge& merge : merges) by_key[merge.key] = &merge;
  const auto describe = [&](const Merge& merge) {
    return describe_dataset(merge.file, merge.header,
                            lists.get(merge.old ? merge.dates : merge.table->dates));
  };
  for (auto [key, description] : stored.datasets) {
    const auto found =
        PyUnicode_Check(key.ptr()) ? by_key.find(nb::cast<std::string>(key)) : by_key.end();
    new_datasets[key] = found == by_key.end() ? nb::object(nb::borrow(description))
                                              : nb::object(describe(*found->second));
  }
  for (const Merge& merge : merges) {
    if (!merge.old) new_datasets[merge.key.c_str()] = describe(merge);
  }
  nb::dict new_benchmark_map = dict_copy(stored.benchmarks);
  for (const auto& [code, key] : new_benchmarks) new_benchmark_map[code.c_str()] = key;
  nb::dict new_metadata = dict_copy(stored.metadata);
  new_metadata["datasets"] = new_datasets;
  new_metadata["benchmarks"] = new_benchmark_map;
  new_metadata["meta"] = merged_meta(pyglue::get_item(stored.metadata, "meta"), given_meta);
  new_metadata["updated_at"] = pyglue::now_text();
  return new_metadata;
}

// Makes the new metadata the store's: directly when no committed byte
// changed, else through the journal (replayed at once, and again by the
// next writer should this one die half-way).
void commit(const StorePaths& paths, const std::vector<Merge>& merges,
            const nb::dict& new_metadata) {
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
}

// A refusal leaves the store as it was; the caller sees False, the log why.
bool refuse(const StorePaths& paths, const std::string& reason) {
  pyglue::log_message("warning", "存储 %s 未做增量更新: %s", paths.dir, reason);
  return false;
}

}  // namespace

bool update_tail(nb::handle self, nb::handle payload) {
  const StorePaths paths = paths_of(self);
  const std::int64_t version = store_version(self);
  const Payload given = read_store_payload(payload, self, version);
  if (!k::path_exists(paths.metadata()) && !k::path_exists(paths.journal())) {
    return refuse(paths, "存储尚未写入(没有元信息文件)");
  }
  const WriterSession session(paths);
  if (!k::path_exists(paths.metadata())) {
    return refuse(paths, "重放日志后仍没有元信息文件");
  }
  const nb::object metadata = read_metadata(paths.metadata());
  // Everything is checked before anything is written.
  if (const Refusal refusal = check_metadata(metadata, version)) return refuse(paths, *refusal);
  const Stored stored{metadata, nb::borrow<nb::dict>(pyglue::get_item(metadata, "datasets")),
                      nb::borrow<nb::dict>(pyglue::get_item(metadata, "benchmarks"))};
  if (const Refusal refusal = check_payload(given, stored)) return refuse(paths, *refusal);

  std::vector<std::pair<std::string, std::string>> new_benchmarks;  // code, key
  std::vector<Merge> merges = plan_merges(paths, given, stored, new_benchmarks);
  write_merges(paths.dir, merges);
  commit(paths, merges, next_metadata(stored, merges, new_benchmarks, given.meta));
  return true;
}

}  // namespace morvane::store
