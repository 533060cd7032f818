// Text labels of a pandas Index read natively, without a Python object per
// label where the index allows it, and matched by their UTF-8 bytes.
//
// Stock codes and "YYYYMMDD" dates are texts, and every backtest aligns a
// dozen tables by them. pandas does that through a hash engine it builds anew
// for every freshly sliced index, and arrow-backed text indexes convert their
// labels to Python objects on each operation; on a sweep of backtests that
// work held the GIL longer than the numerics ran. Comparing UTF-8 bytes is
// comparing the texts, and their byte order is Python's order of the texts,
// so the native path gives what pandas gives; an index holding anything but
// texts is left to pandas.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace morvane::pyglue {

namespace nb = nanobind;

struct TextLabels {
  std::vector<std::string_view> texts;
  nb::object owner;  // keeps the bytes the views point into alive

  [[nodiscard]] std::size_t size() const { return texts.size(); }
  [[nodiscard]] bool ascending() const;           // each label >= the one before
  [[nodiscard]] bool strictly_ascending() const;  // each label > the one before
  [[nodiscard]] bool same_as(const TextLabels& other) const;
};

// The labels of `index` when every one is a text (str, or a pandas text
// array without missing values); nullopt otherwise. Arrow-backed indexes are
// read from their buffers in place.
[[nodiscard]] std::optional<TextLabels> text_labels(nb::handle index);

// Position in `source` of each label of `target`, -1 where absent; nullopt
// when `source` repeats a label (and the two differ), which the caller reports.
[[nodiscard]] std::optional<std::vector<std::int64_t>> text_positions(const TextLabels& source,
                                                                      const TextLabels& target);

}  // namespace morvane::pyglue
