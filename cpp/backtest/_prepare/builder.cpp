#include "builder.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "builder_doc.hpp"
#include "builder_parts.hpp"
#include "derive.hpp"
#include "factor_read.hpp"
#include "imports.hpp"
#include "names.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/classes.hpp"
#include "pyglue/dates.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::prepare {

namespace builder {

namespace glue = morvane::pyglue;

nb::object client() { return imports().singleton.attr("get_instance")(); }

bool is_network_error(const nb::python_error& error) {
  return error.matches(imports().network_error);
}

// A text date in "YYYYMMDD" form or None; anything else from the store's
// normaliser is a type error naming the argument.
nb::object normalized_date(nb::handle value, const char* name) {
  nb::object result = imports().normalize_yyyymmdd(value);
  if (!result.is_none() && !PyUnicode_Check(result.ptr())) {
    glue::raise_type_error(name, "str | None", result);
  }
  return result;
}

// The client's answer must be a table or None; anything else would fail later
// with an unrelated message.
nb::object checked_answer(nb::object answer, const std::string& query) {
  if (answer.is_none() || nb::isinstance(answer, pyglue::imports().data_frame)) return answer;
  const std::string message = "数据客户端 " + query +
                              " 返回值类型错误: 期望 pandas.DataFrame | None, 收到 " +
                              glue::python_type_name(answer);
  throw nb::type_error(message.c_str());
}

nb::object sorted_by_rows(nb::handle matrix) {
  if (nb::cast<bool>(matrix.attr("index").attr("is_monotonic_increasing"))) {
    return nb::borrow(matrix);
  }
  return matrix.attr("sort_index")();
}

nb::object empty_like(nb::handle reference, nb::handle fill_value) {
  glue::require_dataframe(reference, "reference");
  const glue::FrameLabels labels = glue::labels_of(reference);
  const nb::object values = pyglue::imports().np.attr("full")(
      nb::make_tuple(labels.rows(), labels.cols()), fill_value, "dtype"_a = "float64");
  return glue::frame_on(values, labels);
}

}  // namespace builder

namespace {

using namespace builder;

nb::object module_attr(const char* name) { return imports().module.attr(name); }

nb::object require_mapping_result(nb::object value, const char* what) {
  if (!PyDict_Check(value.ptr())) glue::raise_type_error(what, "dict", value);
  return value;
}

nb::object normalize_ddb_backtest_date(nb::handle date_value) {
  if (date_value.is_none()) return nb::none();
  const std::string text = nb::cast<std::string>(nb::str(date_value));
  const bool digits =
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (text.size() == 7 && digits) return nb::str((text.substr(0, 6) + text[6] + "0").c_str());
  return nb::str(text.c_str());
}

// ---- construction -----------------------------------------------------------

void init(nb::handle self, nb::handle start_date, nb::handle end_date,
          nb::handle close_before_start) {
  (void)glue::to_text(start_date, "start_date");
  (void)glue::to_text(end_date, "end_date");
  if (!close_before_start.is_none() &&
      !nb::isinstance(close_before_start, pyglue::imports().series)) {
    glue::raise_type_error("close_before_start", "pandas.Series | None", close_before_start);
  }
  self.attr("_close_before_start") = close_before_start;
  const nb::object start = normalized_date(start_date, "start_date");
  const nb::object end = normalized_date(end_date, "end_date");
  self.attr("default_start") = start;
  self.attr("end_date") = end;
  self.attr("_ddb_start") = normalize_ddb_backtest_date(start);
  self.attr("_ddb_end") = normalize_ddb_backtest_date(end);
}

// ---- sources, derivation and assembly ---------------------------------------------

nb::list names_of(const char* constant) { return nb::cast<nb::list>(module_attr(constant)); }

nb::object read_source_data(nb::handle self, nb::handle incremental) {
  const bool batched = nb::cast<bool>(nb::bool_(incremental));
  const nb::list components = get_component_factor_names();
  nb::dict source;
  nb::object comps;
  if (batched) {
    nb::list wanted = pyglue::list_of(names_of("BUILD_INPUT_NAMES"));
    for (nb::handle name : components) wanted.append(name);
    const nb::object batch = read_normal_factor_batch(self, wanted);
    source["Close"] = batch_or_read(self, batch, nb::str("Close"));
    // The optional tables a source lacks take the close's labels.
    const nb::object reference = source["Close"];
    comps = component_matrices(self, components, batch);
    for (nb::handle name : names_of("REQUIRED_FACTOR_NAMES")) {
      if (nb::cast<std::string>(name) == "Close") continue;
      source[name] = batch_or_read(self, batch, name);
    }
    for (nb::handle name : names_of("OPTIONAL_FACTOR_NAMES")) {
      source[name] = read_or_empty(self, name, reference, batch);
    }
  } else {
    for (nb::handle name : names_of("REQUIRED_FACTOR_NAMES")) {
      source[name] = read_normal_factor_matrix(self, name);
    }
    // The optional tables a source lacks take the close's labels.
    const nb::object reference = source["Close"];
    for (nb::handle name : names_of("OPTIONAL_FACTOR_NAMES")) {
      source[name] = read_or_empty(self, name, reference, nb::none());
    }
    comps = component_matrices(self, components, nb::none());
  }
  return nb::make_tuple(source, comps, read_benchmark_dict(self), components);
}

nb::object build_from_matrices(nb::handle self, nb::handle source) {
  glue::require_dict(source, "source", false);
  return derive_matrices(source, nb::getattr(self, "_close_before_start", nb::none()));
}

nb::object assemble_payload(nb::handle self, nb::handle data, nb::handle component_matrices_,
                            nb::handle benchmark_dict, nb::handle component_names,
                            nb::handle meta_time_key) {
  glue::require_dict(data, "data", false);
  glue::require_dict(component_matrices_, "component_matrices", false);
  glue::require_dict(benchmark_dict, "benchmark_dict", false);
  if (!PyList_Check(component_names.ptr())) {
    glue::raise_type_error("component_names", "list[str]", component_names);
  }
  (void)glue::to_text(meta_time_key, "meta_time_key");
  const nb::object key_of = imports().component_dataset_key;
  nb::dict keys;
  for (nb::handle name : component_names) keys[name] = key_of(name);
  nb::dict out_data = pyglue::dict_of(data);
  for (auto [name, matrix] : nb::borrow<nb::dict>(component_matrices_)) {
    out_data[key_of(name)] = matrix;
  }
  out_data["benchmark_dict"] = benchmark_dict;
  nb::dict meta;
  meta["start_date"] = self.attr("default_start");
  meta["end_date"] = self.attr("end_date");
  meta["ddb_start"] = self.attr("_ddb_start");
  meta["ddb_end"] = self.attr("_ddb_end");
  meta["component_names"] = nb::list(component_names);
  meta["component_dataset_keys"] = keys;
  meta[meta_time_key] = pyglue::now_text();
  nb::dict payload;
  payload["version"] = kPreparedDataVersion;
  payload["meta"] = meta;
  payload["data"] = out_data;
  return payload;
}

nb::object build_payload(nb::handle self, nb::handle incremental, nb::handle meta_time_key) {
  (void)glue::to_text(meta_time_key, "meta_time_key");
  const nb::tuple read = nb::cast<nb::tuple>(read_source_data(self, incremental));
  const nb::dict comps = nb::cast<nb::dict>(read[1]);
  std::string missing;
  for (nb::handle name : read[3]) {
    if (comps.contains(name)) continue;
    missing += (missing.empty() ? "" : ", ") + nb::cast<std::string>(nb::repr(name));
  }
  if (!missing.empty()) {
    glue::raise_value_error("成分股矩阵缺失，无法精确生成二进制缓存: [" + missing + "]");
  }
  nb::object payload = assemble_payload(self, build_from_matrices(self, read[0]), comps, read[2],
                                        read[3], meta_time_key);
  return require_mapping_result(std::move(payload), "payload");
}

nb::object build(nb::handle self) {
  return build_payload(self, nb::bool_(false), nb::str("created_at"));
}
nb::object build_incremental(nb::handle self) {
  return build_payload(self, nb::bool_(true), nb::str("updated_at"));
}

// The methods reading the client's tables (factors, components, benchmarks).
void define_reads(nb::module_& m, const nb::object& cls) {
  glue::method<doc::kReadFactorMatrixParams>(m, cls, "_read_normal_factor_matrix",
                                             &read_normal_factor_matrix, doc::kReadFactorMatrix);
  glue::method<doc::kFactorsToMatricesParams>(m, cls, "_mv_factors_to_matrices",
                                              &mv_factors_to_matrices, doc::kFactorsToMatrices);
  glue::method<doc::kReadFactorBatchParams>(m, cls, "_read_normal_factor_batch",
                                            &read_normal_factor_batch, doc::kReadFactorBatch);
  glue::method<doc::kReadOrEmptyParams>(m, cls, "_read_or_empty", &read_or_empty,
                                        doc::kReadOrEmpty);
  glue::method<doc::kBatchOrReadParams>(m, cls, "_batch_or_read", &batch_or_read,
                                        doc::kBatchOrRead);
  glue::method<doc::kComponentMatricesParams>(m, cls, "_component_matrices", &component_matrices,
                                              doc::kComponentMatrices);
  glue::method<doc::kFormatBenchmarkParams>(m, cls, "_format_benchmark_daily_return",
                                            &format_benchmark_daily_return, doc::kFormatBenchmark);
  glue::method<doc::kReadBenchmarkDictParams>(m, cls, "_read_benchmark_dict", &read_benchmark_dict,
                                              doc::kReadBenchmarkDict);
}

}  // namespace

void define_builder(nb::module_& m) {
  const nb::object cls =
      glue::make_python_class(m, "GroupPreparedDataBuilder", nb::make_tuple(), doc::kBuilder);
  glue::method<doc::kBuilderInitParams>(m, cls, "__init__", &init, doc::kBuilderInit);
  glue::static_method<doc::kNormalizeDdbDateParams>(
      m, cls, "_normalize_ddb_backtest_date", &normalize_ddb_backtest_date, doc::kNormalizeDdbDate);
  glue::static_method<doc::kMvFactorDateParams>(m, cls, "_mv_factor_date", &mv_factor_date,
                                                doc::kMvFactorDate);
  glue::static_method(cls, &empty_like, "_empty_like", "reference"_a,
                      "fill_value"_a = std::numeric_limits<double>::quiet_NaN(),
                      nb::sig("def _empty_like(reference: pandas.DataFrame, fill_value: float = "
                              "float('nan')) -> pandas.DataFrame"),
                      doc::kEmptyLike);
  define_reads(m, cls);
  glue::method<doc::kReadSourceDataParams>(m, cls, "_read_source_data", &read_source_data,
                                           doc::kReadSourceData);
  glue::method<doc::kAssemblePayloadParams>(m, cls, "_assemble_payload", &assemble_payload,
                                            doc::kAssemblePayload);
  glue::method<doc::kBuildFromMatricesParams>(m, cls, "_build_from_matrices", &build_from_matrices,
                                              doc::kBuildFromMatrices);
  glue::method<doc::kBuildPayloadParams>(m, cls, "_build_payload", &build_payload,
                                         doc::kBuildPayload);
  glue::method<doc::kBuildParams>(m, cls, "build", &build, doc::kBuild);
  glue::method<doc::kBuildIncrementalParams>(m, cls, "build_incremental", &build_incremental,
                                             doc::kBuildIncremental);
}

}  // namespace morvane::prepare
