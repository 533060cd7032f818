// Merging a payload into a stored store by date (the tail update).
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::store {

namespace nb = nanobind;

// Payload rows replace stored rows of the same dates, later dates are
// appended, new labels become new columns; datasets the payload lacks are
// kept. Writes only the changed rows and labels where the files have room,
// through the journal where committed bytes change. False, with nothing
// written, when the payload's "close_price" has no rows, a stored benchmark
// has no series in it, or the stored metadata is incomplete.
[[nodiscard]] bool update_tail(nb::handle self, nb::handle payload);

}  // namespace morvane::store
