// BacktestService: an ordinary Python class whose methods are native
// functions, so that its one attribute `_http` is a plain instance attribute
// and its helpers are looked up on the instance (a subclass may replace them).
#include <nanobind/stl/string.h>

#include "doc.hpp"
#include "imports.hpp"
#include "pyglue/args.hpp"
#include "pyglue/classes.hpp"
#include "pyglue/params.hpp"
#include "service.hpp"

using namespace nanobind::literals;

namespace morvane::service {

namespace {

namespace glue = morvane::pyglue;

void init(nb::handle self, nb::handle http) {
  if (!http.is_none() && !nb::isinstance(http, imports().http_client)) {
    glue::raise_type_error("http", "HttpClient | None", http);
  }
  self.attr("_http") = http;
}

void summary(nb::handle store, nb::handle action) {
  (void)glue::to_text(action, "action");
  log_dataset_summary(store, action);
}

nb::object strategy(nb::handle self, nb::handle strategy_table, nb::handle data,
                    nb::handle start_date, nb::handle end_date, nb::handle output_dir,
                    nb::handle plot_filename, nb::handle benchmark, nb::handle rolling_window,
                    nb::handle total_money, nb::handle fee, nb::handle rule_fee, nb::handle plot,
                    nb::handle record_trades) {
  return backtest_strategy(
      self, {strategy_table, data, start_date, end_date, output_dir, plot_filename, benchmark,
             rolling_window, total_money, fee, rule_fee, plot, record_trades});
}

nb::object factor_backtest(nb::handle self, nb::handle factor, nb::handle data,
                           nb::handle start_date, nb::handle end_date, nb::handle output_dir,
                           nb::handle plot_filename, nb::handle group_num, nb::handle benchmark,
                           nb::handle universe, nb::handle rolling_window, nb::handle ascending,
                           nb::handle total_money, nb::handle fee, nb::handle rule_fee,
                           nb::handle plot, nb::handle horizons, nb::handle rebalance_every,
                           nb::handle tear_sheet) {
  return backtest_factor(
      self, {factor, data, start_date, end_date, output_dir, plot_filename, group_num, benchmark,
             universe, rolling_window, ascending, total_money, fee, rule_fee, plot, horizons,
             rebalance_every, tear_sheet});
}

// The documentation of a package function, as help() shows it. The package
// functions of the same contract as the two backtest methods hold the one
// text of their documentation.
nb::str public_doc(nb::handle function) {
  return nb::str(nb::module_::import_("inspect").attr("getdoc")(function));
}

}  // namespace

void define_service(nb::module_& m) {
  const nb::str strategy_doc =
      public_doc(nb::module_::import_("morvane").attr("backtest_strategy"));
  const nb::str backtest_doc = public_doc(
      nb::module_::import_("morvane.backtest").attr("_CallableBacktestPackage").attr("__call__"));
  const nb::handle object(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  const nb::object cls =
      glue::make_python_class(m, "BacktestService", nb::make_tuple(object), doc::kServiceClass);

  glue::method(cls, &init, "__init__", "http"_a.none(),
               nb::sig("def __init__(self, http: morvane._http.HttpClient | None) -> None"),
               doc::kInit);
  glue::method(cls, &prepare_backtest_data, "prepare_backtest_data",
               nb::sig("def prepare_backtest_data(self) -> None"), doc::kPrepare);
  glue::method(cls, &refresh_to_latest, "_refresh_to_latest", "store"_a, nb::kw_only(),
               "after_download"_a.none(),
               nb::sig("def _refresh_to_latest(self, store: morvane.backtest._prepare."
                       "BinaryPreparedDataStore, *, after_download: bool) -> None"),
               doc::kRefresh);
  glue::static_method(cls, &find_missing_datasets, "_find_missing_datasets", "store"_a,
                      nb::sig("def _find_missing_datasets(store: morvane.backtest._prepare."
                              "BinaryPreparedDataStore) -> list[str]"),
                      doc::kFindMissing);
  glue::static_method(cls, &validate_metadata, "_validate_metadata", "store"_a,
                      nb::sig("def _validate_metadata(store: morvane.backtest._prepare."
                              "BinaryPreparedDataStore) -> None"),
                      doc::kValidate);
  glue::static_method(cls, &summary, "_log_dataset_summary", "store"_a, nb::kw_only(),
                      "action"_a.none(),
                      nb::sig("def _log_dataset_summary(store: morvane.backtest._prepare."
                              "BinaryPreparedDataStore, *, action: str) -> None"),
                      doc::kSummary);
  glue::method(cls, &load_backtest_data, "load_backtest_data",
               nb::sig("def load_backtest_data(self) -> morvane.backtest.result.BacktestData"),
               doc::kLoad);
  glue::method<doc::kBacktestStrategyParams>(m, cls, "backtest_strategy", &strategy,
                                             strategy_doc.c_str());
  glue::method<doc::kBacktestParams>(m, cls, "backtest", &factor_backtest, backtest_doc.c_str());
  glue::static_method(cls, &factor_name, "_factor_name", "factor"_a.none(),
                      nb::sig("def _factor_name(factor: pandas.DataFrame) -> str"),
                      doc::kFactorName);
  glue::static_method(cls, &to_public_result, "_to_public_result", "core_result"_a.none(),
                      "factor_name"_a.none(),
                      nb::sig("def _to_public_result(core_result: typing.Any, factor_name: str) "
                              "-> morvane.backtest.result.BacktestResult"),
                      doc::kToPublicResult);
  glue::static_method(cls, &parse_universe, "_parse_universe", "universe"_a.none(),
                      nb::sig("def _parse_universe(universe: str | typing.Iterable[typing.Any] "
                              "| None) -> list[str]"),
                      doc::kParseUniverse);
  glue::method(cls, &apply_universe_filter, "_apply_universe_filter", "data"_a.none(),
               "universe"_a.none(), "start_date"_a.none(), "end_date"_a.none(),
               nb::sig("def _apply_universe_filter(self, data: dict[str, typing.Any], "
                       "universe: str | typing.Iterable[typing.Any] | None, start_date: str, "
                       "end_date: str) -> None"),
               doc::kApplyUniverse);
  glue::static_method(cls, &slice_data, "_slice_data", "data"_a.none(), "start_date"_a.none(),
                      "end_date"_a.none(),
                      nb::sig("def _slice_data(data: dict[str, typing.Any], start_date: str, "
                              "end_date: str) -> dict[str, typing.Any]"),
                      doc::kSlice);
}

}  // namespace morvane::service
