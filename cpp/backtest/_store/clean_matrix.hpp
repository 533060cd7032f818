// Normalisation of user and source tables to the dates x stocks convention.
#pragma once

#include <nanobind/nanobind.h>

namespace morvane::store {

namespace nb = nanobind;

// Stock code text of a column label: integers zero-padded to six digits,
// exchange suffixes dropped, other texts kept.
[[nodiscard]] std::string stock_code_label(nb::handle label);

[[nodiscard]] nb::object clean_matrix(nb::handle table);

}  // namespace morvane::store
