// The parts of GroupPreparedDataBuilder's methods shared by its files: the
// data client, the answers' checks and the method implementations each file
// defines. Internal to _prepare.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace morvane::prepare::builder {

namespace nb = nanobind;

// The data client (morvane.singleton.get_instance(), looked up per call).
[[nodiscard]] nb::object client();
[[nodiscard]] bool is_network_error(const nb::python_error& error);
// The client's answer must be a table or None; anything else would fail later
// with an unrelated message.
[[nodiscard]] nb::object checked_answer(nb::object answer, const std::string& query);
[[nodiscard]] nb::object sorted_by_rows(nb::handle matrix);
// A text date in "YYYYMMDD" form or None, else a type error naming `name`.
[[nodiscard]] nb::object normalized_date(nb::handle value, const char* name);
[[nodiscard]] nb::object empty_like(nb::handle reference, nb::handle fill_value);

// Factor reads (builder_reads.cpp).
[[nodiscard]] nb::object mv_factor_date(nb::handle date_value);
[[nodiscard]] nb::object mv_factors_to_matrices(nb::handle self, nb::handle df, nb::handle names);
[[nodiscard]] nb::object read_normal_factor_matrix(nb::handle self, nb::handle name);
[[nodiscard]] nb::object read_normal_factor_batch(nb::handle self, nb::handle names);
[[nodiscard]] nb::object read_or_empty(nb::handle self, nb::handle name, nb::handle reference,
                                       nb::handle batch);
[[nodiscard]] nb::object batch_or_read(nb::handle self, nb::handle batch, nb::handle name);
[[nodiscard]] nb::object component_matrices(nb::handle self, nb::handle component_names,
                                            nb::handle batch);

// Benchmarks (builder_benchmarks.cpp).
[[nodiscard]] nb::object format_benchmark_daily_return(nb::handle self, nb::handle df,
                                                       nb::handle benchmark_name,
                                                       nb::handle index_code);
[[nodiscard]] nb::object read_benchmark_dict(nb::handle self);

}  // namespace morvane::prepare::builder
