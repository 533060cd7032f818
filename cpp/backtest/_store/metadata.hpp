// The metadata file: an ordinary pickle of plain values, read back with an
// unpickler that resolves no global at all, so that a file from elsewhere
// (the downloaded reference package) cannot run code.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace morvane::store {

namespace nb = nanobind;

// The unpickler class: pickle.Unpickler whose find_class refuses every name.
// Built once when the module loads.
[[nodiscard]] nb::object make_restricted_unpickler();

// Reads the metadata file at `path`. A missing file is FileNotFoundError
// naming it; a file that does not unpickle, names a global or holds a value
// other than dict, list, tuple, str, int, float, bool or None is MorvaneError
// naming it.
[[nodiscard]] nb::object read_metadata(const std::string& path);

// The pickle (highest protocol) of `metadata`. A value of another type than
// the plain ones above is a TypeError naming where it sits.
[[nodiscard]] std::string pickle_metadata(nb::handle metadata);

// The first problem of a value tree that should hold only plain values:
// where a value of another type sits, or why the tree is malformed (nested
// beyond 64 levels, more than four million values once shared ones are
// counted each time they appear, or holding itself). Linear in the number
// of distinct containers and their items, however they are shared.
struct TreeProblem {
  enum Kind { kNone, kForeign, kMalformed } kind = kNone;
  std::string text;
};
[[nodiscard]] TreeProblem check_tree(nb::handle value, const std::string& where);

// TypeError naming `where` when a value under `value` is not one of the
// plain types the metadata may hold; ValueError when the tree is malformed.
void require_plain_values(nb::handle value, const std::string& where);

// A new dict with the items of `mapping` (a shallow copy).
[[nodiscard]] nb::dict dict_copy(nb::handle mapping);

// The manifest: JSON of the metadata with each dataset's date list replaced
// by its length and first and last date.
[[nodiscard]] std::string manifest_json(nb::handle metadata);

}  // namespace morvane::store
