#include "window.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "builder_doc.hpp"
#include "builder_parts.hpp"
#include "imports.hpp"
#include "kernels/dates.hpp"
#include "kernels/derive.hpp"
#include "pyglue/args.hpp"
#include "pyglue/builtins.hpp"
#include "pyglue/frames.hpp"

using namespace nanobind::literals;

namespace morvane::prepare {

namespace {

namespace glue = morvane::pyglue;

constexpr const char* kForwardRanks = "forward_return_rank_cache";

bool is_date_text(const std::string& text) {
  if (text.size() != 8) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return kernels::checked_date_number(std::stoi(text)).has_value();
}

// Rows of a table or entries of a series whose label, as text, is not before `start`.
nb::object from_date(nb::handle labelled, nb::handle start) {
  const nb::object labels = labelled.attr("index").attr("astype")("str");
  const nb::object keep = pyglue::at_least(labels, start);
  return labelled.attr("loc")[keep];
}

nb::dict meta_copy(nb::handle payload) {
  const nb::object meta = pyglue::get_item(payload, "meta");
  if (meta.is_none()) return nb::dict();
  return pyglue::dict_of(meta);
}

nb::object payload_slice_from_date(nb::handle payload, nb::handle write_start_date) {
  glue::require_dict(payload, "payload", false);
  (void)glue::to_optional_text(write_start_date, "write_start_date");
  const nb::object start = builder::normalized_date(write_start_date, "write_start_date");
  const nb::object& frame_type = pyglue::imports().data_frame;
  const nb::object data = payload["data"];
  glue::require_dict(data, "payload['data']", false);
  nb::dict out_data;
  for (auto [key, value] : nb::borrow<nb::dict>(data)) {
    if (PyUnicode_Check(key.ptr()) && nb::cast<std::string>(key) == "benchmark_dict" &&
        PyDict_Check(value.ptr())) {
      nb::dict cut;
      for (auto [code, series] : nb::borrow<nb::dict>(value)) cut[code] = from_date(series, start);
      out_data[key] = cut;
    } else if (nb::isinstance(value, frame_type)) {
      out_data[key] = from_date(value, start);
    } else {
      out_data[key] = value;
    }
  }
  nb::dict out = pyglue::dict_of(payload);
  nb::dict meta = meta_copy(payload);
  const nb::object old_start = pyglue::get_item(meta, "start_date");
  meta["write_start_date"] = start;
  meta["read_start_date"] = old_start;
  meta["start_date"] = start;
  out["data"] = out_data;
  out["meta"] = meta;
  return out;
}

// Each stock's last close in `stored_close` dated before `read_start`: what a
// build from the store's first date would carry into the window.
nb::object close_before(nb::handle stored_close, const std::string& read_start) {
  const glue::LabelledMatrix<double> close = glue::read_float_frame(stored_close, "stored_close");
  const nb::object index = close.index;
  if (!nb::cast<bool>(index.attr("is_monotonic_increasing"))) {
    glue::raise_value_error("参数 stored_close 的日期必须升序");
  }
  const auto rows =
      nb::cast<std::size_t>(nb::int_(index.attr("searchsorted")(read_start, "side"_a = "left")));
  std::vector<double> last(close.view.cols);
  {
    const nb::gil_scoped_release unlocked;
    kernels::last_known_per_column(close.view.row_slice(0, rows), last);
  }
  return glue::make_series(std::move(last), close.columns);
}

nb::object build_incremental_write_window(nb::handle base_index, nb::handle write_start_date,
                                          nb::handle write_end_date, nb::handle stored_close) {
  if (!PyList_Check(base_index.ptr())) {
    glue::raise_type_error("base_index", "list[str]", base_index);
  }
  (void)glue::to_optional_text(write_start_date, "write_start_date");
  (void)glue::to_optional_text(write_end_date, "write_end_date");
  if (!stored_close.is_none()) glue::require_dataframe(stored_close, "stored_close");
  if (nb::len(base_index) == 0) {
    glue::raise_value_error("本地准备数据 close_price 日期索引为空,无法增量更新。");
  }
  // The stored dates must be ascending unique YYYYMMDD texts; otherwise the
  // window would pick the wrong read start and the build fail misleadingly.
  std::vector<std::string> stored;
  for (nb::handle entry : base_index) {
    const bool text = PyUnicode_Check(entry.ptr());
    const std::string value = text ? nb::cast<std::string>(entry) : std::string();
    if (!text || !is_date_text(value)) {
      glue::raise_value_error("base_index 必须是 YYYYMMDD 日期文本, 收到 " +
                              nb::cast<std::string>(nb::repr(entry)));
    }
    if (!stored.empty() && value <= stored.back()) {
      glue::raise_value_error("base_index 必须严格升序且无重复: " + stored.back() + " 之后是 " +
                              value);
    }
    stored.push_back(value);
  }
  const nb::object start = builder::normalized_date(write_start_date, "write_start_date");
  const nb::object end = builder::normalized_date(write_end_date, "write_end_date");
  if (start.is_none() || end.is_none()) {
    glue::raise_value_error("write_start_date / write_end_date 不能为空。");
  }
  const std::string first = nb::cast<std::string>(start);
  const std::string last = nb::cast<std::string>(end);
  if (first > last) {
    glue::raise_value_error("write_start_date (" + first + ") 晚于 write_end_date (" + last +
                            "), 写入窗口为空。");
  }
  std::string actual_start = first;
  for (const std::string& date : stored) {
    if (date >= first && date <= last) {
      actual_start = date;
      break;
    }
  }
  // Two stored dates before the window: the forward-return ranks of those
  // rows look at the window's first opens, so they are rebuilt with it; the
  // previous close needs no more history than the stored close's last values.
  std::vector<std::string> previous;
  for (const std::string& date : stored) {
    if (date < actual_start) previous.push_back(date);
  }
  const std::string read_start = previous.empty()       ? actual_start
                                 : previous.size() == 1 ? previous.front()
                                                        : previous[previous.size() - 2];
  const nb::object seed =
      stored_close.is_none() ? nb::none() : close_before(stored_close, read_start);
  const nb::object builder_type = imports().module.attr("GroupPreparedDataBuilder");
  const nb::object payload =
      builder_type("start_date"_a = read_start, "end_date"_a = end, "close_before_start"_a = seed)
          .attr("build_incremental")();
  glue::require_dict(payload, "payload", false);
  nb::object sliced = payload_slice_from_date(payload, nb::str(actual_start.c_str()));
  const nb::object ranks = pyglue::get_item(nb::object(payload["data"]), kForwardRanks);
  if (nb::isinstance(ranks, pyglue::imports().data_frame)) {
    sliced["data"][kForwardRanks] = from_date(ranks, nb::str(read_start.c_str()));
  }
  nb::dict meta = meta_copy(sliced);
  meta["requested_write_start_date"] = start;
  meta["write_end_date"] = end;
  meta["read_start_date"] = read_start;
  sliced["meta"] = meta;
  if (!PyDict_Check(sliced.ptr())) glue::raise_type_error("payload", "dict", sliced);
  return sliced;
}

}  // namespace

void define_window(nb::module_& m) {
  m.def("build_incremental_write_window", &build_incremental_write_window, "base_index"_a.none(),
        "write_start_date"_a.none(), "write_end_date"_a.none(), nb::kw_only(),
        "stored_close"_a.none() = nb::none(),
        nb::sig("def build_incremental_write_window(base_index: list[str], write_start_date: str, "
                "write_end_date: str, *, stored_close: pandas.DataFrame | None = None) -> "
                "dict[str, typing.Any]"),
        doc::kBuildWindow);
  m.def("payload_slice_from_date", &payload_slice_from_date, "payload"_a.none(),
        "write_start_date"_a.none(),
        nb::sig("def payload_slice_from_date(payload: dict[str, typing.Any], write_start_date: "
                "str) -> dict[str, typing.Any]"),
        doc::kPayloadSlice);
}

}  // namespace morvane::prepare
