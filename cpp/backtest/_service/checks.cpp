// The completeness probe, the strict check of a freshly unpacked package and
// the summary log of the latest date of every dataset.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"
#include "imports.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/log.hpp"
#include "service.hpp"

namespace morvane::service {

namespace {

constexpr const char* kRequiredKeys[] = {"close_price", "open_price", "can_buy_stock",
                                         "cant_sell_stock"};

nb::object get_or_empty(nb::handle mapping, const char* key) {
  return pyglue::get_item(mapping, key, nb::dict());
}

// A store's metadata, read anew, and its "datasets" entry (empty when absent).
struct Metadata {
  nb::object all;
  nb::object datasets;
};

Metadata read_metadata(nb::handle store) {
  nb::object all = store.attr("load_metadata")();
  nb::object datasets = get_or_empty(all, "datasets");
  return {std::move(all), std::move(datasets)};
}

using pyglue::contains;

nb::object prefixed(const char* prefix, nb::handle text) {
  return pyglue::concat(nb::str(prefix), nb::str(text));
}

// Terminal columns of a label: East Asian wide and full-width characters
// (the Chinese of "成分股", "基准") take two, so that padding by this width
// lines up the dates after them.
std::size_t display_width(nb::handle text) {
  const nb::object& width_of = imports().east_asian_width;
  std::size_t width = 0;
  for (nb::handle character : nb::iter(text)) {
    const std::string kind = nb::cast<std::string>(width_of(character));
    width += kind == "W" || kind == "F" ? 2 : 1;
  }
  return width;
}

bool benchmarks_missing(nb::handle metadata) {
  const nb::object benchmarks = pyglue::get_item(metadata, "benchmarks");
  return benchmarks.is_none() || !nb::cast<bool>(nb::bool_(benchmarks));
}

}  // namespace

nb::list missing_datasets(nb::handle store) {
  const auto [metadata, datasets] = read_metadata(store);
  nb::list missing;
  if (!nb::cast<bool>(nb::bool_(index_of(datasets, nb::str("close_price"))))) {
    missing.append("close_price 索引为空");
  }
  for (const char* key : kRequiredKeys) {
    if (!contains(datasets, key)) missing.append(key);
  }
  if (benchmarks_missing(metadata)) missing.append("benchmarks");
  const nb::object key_of = imports().prepare.attr("component_dataset_key");
  for (nb::handle name : imports().component_names) {
    const nb::object key = key_of(name);
    if (!pyglue::contains(datasets, key)) missing.append(key);
  }
  return missing;
}

nb::list damaged_datasets(nb::handle store) {
  return pyglue::list_of(store.attr("damaged_datasets")());
}

nb::list find_missing_datasets(nb::handle store) {
  nb::list problems = missing_datasets(store);
  for (nb::handle text : damaged_datasets(store)) problems.append(text);
  return problems;
}

void validate_metadata(nb::handle store) {
  if (!has_metadata(store)) {
    raise_morvane("回测基准数据包解压后缺少元信息文件");
  }
  const auto [metadata, datasets] = read_metadata(store);
  if (!nb::cast<bool>(nb::bool_(index_of(datasets, nb::str("close_price"))))) {
    raise_morvane(kIncompleteMessage);
  }
  bool absent = false;
  for (const char* key : kRequiredKeys) absent = absent || !contains(datasets, key);
  if (absent || benchmarks_missing(metadata)) raise_morvane(kIncompleteMessage);
}

void log_dataset_summary(nb::handle store, nb::handle action) {
  const auto [metadata, datasets] = read_metadata(store);
  const nb::object benchmarks = get_or_empty(metadata, "benchmarks");
  const nb::object benchmark_keys = pyglue::set_of(pyglue::dict_of(benchmarks).values());
  const auto latest = [&](nb::handle key) -> nb::object {
    const nb::object index = index_of(datasets, key);
    if (nb::cast<bool>(nb::bool_(index))) return index[nb::int_(-1)];
    return nb::str("(空)");
  };

  std::vector<std::pair<nb::object, nb::object>> rows;
  for (nb::handle key : datasets) {
    const nb::str text = nb::str(key);
    if (nb::cast<std::string>(text).starts_with("component__")) {
      rows.emplace_back(prefixed("成分股 ", pyglue::replace_text(text, "component__", "")),
                        latest(key));
    } else if (!pyglue::contains(benchmark_keys, key)) {
      rows.emplace_back(nb::borrow(key), latest(key));
    }
  }
  const nb::object benchmark_items = pyglue::dict_of(benchmarks);
  for (auto [code, key] : nb::borrow<nb::dict>(benchmark_items)) {
    rows.emplace_back(prefixed("基准 ", code), latest(key));
  }

  pyglue::log_message("info", "回测基准数据%s,各数据集最新日期:", action);
  std::size_t name_width = 0;
  for (const auto& [label, date] : rows) name_width = std::max(name_width, display_width(label));
  for (const auto& [label, date] : rows) {
    // %-*s pads by characters: a wide character's second column comes off the padding.
    const std::size_t padded = nb::len(label) + (name_width - display_width(label));
    pyglue::log_message("info", "  %-*s  %s", padded, label, date);
  }
}

}  // namespace morvane::service
