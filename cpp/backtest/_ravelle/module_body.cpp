#include "module_body.hpp"

#include "doc.hpp"
#include "pyglue/classes.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace nb = nanobind;

namespace {

nb::object make_result_class(const nb::module_& m) {
  const nb::object pd = nb::module_::import_("pandas");
  const nb::object builtins = nb::module_::import_("builtins");
  nb::list fields;
  fields.append(nb::make_tuple("strategy_name", builtins.attr("str")));
  fields.append(nb::make_tuple("daily_return", pd.attr("Series")));
  fields.append(nb::make_tuple("cumulative_return", pd.attr("Series")));
  fields.append(nb::make_tuple("stats", builtins.attr("dict")));
  fields.append(nb::make_tuple("benchmark_summary", pd.attr("DataFrame")));
  fields.append(nb::make_tuple("plot_paths", builtins.attr("dict")));
  nb::dict namespace_;
  namespace_["__doc__"] = doc::kRavelleResult;
  return pyglue::make_record_class(m, "_RavelleResult", fields, namespace_);
}

// The record of a run that kept its trade ledger: the same fields, then the
// ledger (a morvane.backtest.ledger.TradeLedger, whose tables are built when
// first read).
void make_ledger_result_class(const nb::module_& m, nb::handle base) {
  nb::list fields;
  fields.append(nb::make_tuple("ledger", nb::module_::import_("builtins").attr("object")));
  nb::dict namespace_;
  namespace_["__doc__"] = doc::kRavelleLedgerResult;
  (void)pyglue::make_record_class(m, "_RavelleLedgerResult", fields, namespace_,
                                  nb::make_tuple(base));
}

}  // namespace

void define_module_body(nb::module_& m) {
  const nb::module_ core = nb::module_::import_("morvane.backtest._core");
  m.attr("_build_market_arrays") = core.attr("_build_market_arrays");
  m.attr("_with_datetime_index") = core.attr("_with_datetime_index");
  m.attr("safe_sharpe") = core.attr("safe_sharpe");

  m.attr("contextlib") = nb::module_::import_("contextlib");
  m.attr("threading") = nb::module_::import_("threading");
  m.attr("dataclass") = nb::module_::import_("dataclasses").attr("dataclass");
  m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
  m.attr("np") = nb::module_::import_("numpy");
  m.attr("pd") = nb::module_::import_("pandas");

  // The one lock of the package: matplotlib's backend, style and figure
  // registry are process-wide, so all chart drawing is serialised on it. It
  // lives below both backtest modules, which draw under the same object.
  m.attr("_MATPLOTLIB_PLOT_LOCK") =
      nb::module_::import_("morvane.backtest._chart_lock").attr("_MATPLOTLIB_PLOT_LOCK");
  m.attr("TRADING_DAYS_PER_YEAR") = kTradingDaysPerYear;
  m.attr("ROLLING_STABILITY_DAYS") = kRollingStabilityDays;
  m.attr("MIN_ROLLING_STABILITY_DAYS") = kMinRollingStabilityDays;
  make_ledger_result_class(m, make_result_class(m));
}

}  // namespace morvane::ravelle
