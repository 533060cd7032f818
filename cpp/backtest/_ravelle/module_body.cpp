#include "module_body.hpp"

#include "doc.hpp"
#include "imports.hpp"
#include "pyglue/chart_guards.hpp"
#include "pyglue/classes.hpp"
#include "pyglue/imports.hpp"

using namespace nanobind::literals;

namespace morvane::ravelle {

namespace nb = nanobind;

namespace {

nb::object make_result_class(const nb::module_& m) {
  const pyglue::Imports& py = pyglue::imports();
  const nb::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  const nb::handle dict_type(reinterpret_cast<PyObject*>(&PyDict_Type));
  nb::list fields;
  fields.append(nb::make_tuple("strategy_name", str_type));
  fields.append(nb::make_tuple("daily_return", py.series));
  fields.append(nb::make_tuple("cumulative_return", py.series));
  fields.append(nb::make_tuple("stats", dict_type));
  fields.append(nb::make_tuple("benchmark_summary", py.data_frame));
  fields.append(nb::make_tuple("plot_paths", dict_type));
  nb::dict namespace_;
  namespace_["__doc__"] = doc::kRavelleResult;
  return pyglue::make_record_class(m, "_RavelleResult", fields, namespace_);
}

// The record of a run that kept its trade ledger: the same fields, then the
// ledger (a morvane.backtest.ledger.TradeLedger, whose tables are built when
// first read).
void make_ledger_result_class(const nb::module_& m, nb::handle base) {
  nb::list fields;
  fields.append(
      nb::make_tuple("ledger", nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
  nb::dict namespace_;
  namespace_["__doc__"] = doc::kRavelleLedgerResult;
  (void)pyglue::make_record_class(m, "_RavelleLedgerResult", fields, namespace_,
                                  nb::make_tuple(base));
}

}  // namespace

void define_module_body(nb::module_& m) {
  const nb::module_ core = nb::module_::import_("morvane.backtest._core");
  for (const char* name : {"_build_market_arrays", "_with_datetime_index", "safe_sharpe"}) {
    m.attr(name) = core.attr(name);
  }

  m.attr("contextlib") = nb::module_::import_("contextlib");
  m.attr("threading") = nb::module_::import_("threading");
  m.attr("dataclass") = nb::module_::import_("dataclasses").attr("dataclass");
  m.attr("Path") = pyglue::imports().path;
  m.attr("np") = pyglue::imports().np;
  m.attr("pd") = pyglue::imports().pd;

  // The one lock of the package: matplotlib's backend, style and figure
  // registry are process-wide, so all chart drawing is serialised on it. It
  // lives below both backtest modules, which draw under the same object.
  m.attr("_MATPLOTLIB_PLOT_LOCK") = pyglue::chart_lock();
  m.attr("TRADING_DAYS_PER_YEAR") = kTradingDaysPerYear;
  m.attr("ROLLING_STABILITY_DAYS") = kRollingStabilityDays;
  m.attr("MIN_ROLLING_STABILITY_DAYS") = kMinRollingStabilityDays;
  make_ledger_result_class(m, make_result_class(m));
  load_imports(m);
}

}  // namespace morvane::ravelle
