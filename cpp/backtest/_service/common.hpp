// What every part of the service shares: its error helpers, the places of
// the prepared-data folder and today's date, both read from the module at
// call time so that a caller (a test) may redirect them.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace morvane::service {

namespace nb = nanobind;

inline constexpr const char* kIncompleteMessage =
    "回测基准数据包不完整,请删除回测数据目录后重新准备";
inline constexpr const char* kNotFoundMessage =
    "未找到回测基准数据,请先调用 morvane.prepare_backtest_data()";

[[noreturn]] void raise_morvane(const std::string& message);
[[noreturn]] void raise_file_not_found(const std::string& message);

// A prepared-data folder and its neighbours. The locks, the staging folders,
// the backup and the record of the installed package live beside the
// folder, never inside it, so that a swap of the folder leaves them in
// place. The package's own folder keeps the lock names it has always had;
// any other folder (the command line's --store) has its own, named after it,
// so that two folders side by side do not hold each other up.
struct DataPaths {
  std::string store;  // .../backtest_data/enviroment_data
  std::string root;   // .../backtest_data
  std::string name;   // enviroment_data
  bool package = true;
  [[nodiscard]] std::string prepare_lock() const {
    return package ? root + "/prepare.lock" : root + "/." + name + ".prepare.lock";
  }
  [[nodiscard]] std::string data_lock() const {
    return package ? root + "/data.lock" : root + "/." + name + ".data.lock";
  }
  [[nodiscard]] std::string backup() const { return root + "/." + name + ".backup"; }
  [[nodiscard]] std::string staging_prefix() const { return "." + name + ".staging-"; }
  [[nodiscard]] std::string record() const { return root + "/installed_package.json"; }
};

// The module's `_DEFAULT_DATA_DIR` as a path object, and its places.
[[nodiscard]] nb::object default_data_dir();
[[nodiscard]] DataPaths data_paths();
// The places of any store folder (text or path); `package` tells whether it
// is the package's own.
[[nodiscard]] DataPaths data_paths_of(nb::handle dir);

// The module's `_today()`: today's local date as "YYYYMMDD".
[[nodiscard]] std::string today_text();

// The rows of a table or series whose label lies in [start, end]. An
// ascending index (the prepared data's) is cut by position, which costs two
// binary searches and no copy; any other index by a mask of the labels.
[[nodiscard]] nb::object rows_between(nb::handle table, nb::handle start, nb::handle end);

// A new BinaryPreparedDataStore on `dir` (text or path).
[[nodiscard]] nb::object open_store(nb::handle dir);

// Whether a store's metadata file exists (a store never written has none).
[[nodiscard]] bool has_metadata(nb::handle store);

// The "index" entry of dataset `key` in a metadata's datasets (an empty list
// when either is absent).
[[nodiscard]] nb::object index_of(nb::handle datasets, nb::handle key);

}  // namespace morvane::service
