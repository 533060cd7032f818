"""Each backtest parameter is declared once, in its binding's table: the copies that remain are tied to it.

The bound functions take argument list, signature, docstring and range check from the tables; the
Python wrappers keep literal defaults (for IDEs and type checkers) and docstrings of their own,
which must say what the tables say.
"""

from __future__ import annotations

import importlib
import inspect
import re

import pytest

import morvane
from morvane.backtest import _params

TABLES = {
    "_core": ["run_alpha_vwap_backtest_core"],
    "_ravelle": [
        "calc_strategy_vwap_daily_return",
        "run_strategy_backtest_core",
        "plot_strategy_performance",
        "plot_weekly_net_value",
        "_format_num",
        "_format_pct",
        "_format_pct_points",
    ],
    "_store": ["BinaryPreparedDataStoreBase.load"],
    "_prepare": ["BinaryPreparedDataStore.load"],
    "_service": [
        "_check_strategy_request",
        "_check_factor_request",
        "BacktestService.backtest_strategy",
        "BacktestService.backtest",
    ],
}
ALL_TABLES = [(module, name) for module, names in TABLES.items() for name in names]
# The package functions of the same contract as the service's two methods.
WRAPPERS = {
    "BacktestService.backtest_strategy": morvane.backtest_strategy,
    "BacktestService.backtest": morvane.backtest,
}
# Parameters several entry points share: one default and one range wherever they appear.
SHARED = [
    "total_money",
    "fee",
    "rule_fee",
    "lot_size",
    "group_num",
    "rolling_window",
    "ascending",
    "horizons",
    "rebalance_every",
    "tear_sheet",
    "record_trades",
    "benchmark",
    "benchmark_names",
    "universe",
]


def _wrapper_signature(table: str) -> inspect.Signature:
    return inspect.signature(WRAPPERS[table])


def _wrapper_doc(table: str) -> str:
    # The callable subpackage's own docstring leads with the call's signature; the call's is the text.
    wrapper = WRAPPERS[table]
    function = type(wrapper).__call__ if inspect.ismodule(wrapper) else wrapper
    return inspect.getdoc(function) or ""


def _args_entries(doc: str) -> dict[str, str]:
    """The Args section of a docstring: name -> its text, on one line."""
    section = re.search(r"^\s*Args:\n(.*?)^\s*(?:Returns|Raises):", doc, re.MULTILINE | re.DOTALL)
    assert section is not None, doc
    entries: dict[str, str] = {}
    name = None
    for line in section.group(1).splitlines():
        match = re.match(r"^ {4}(\w+) \([^)]*\): (.*)$", line)  # continuations are indented by 8
        if match:
            name = match.group(1)
            entries[name] = match.group(2)
        elif name is not None:
            entries[name] += " " + line.strip()
    return entries


def _bound(module: str, table: str):
    loaded = importlib.import_module(f"morvane.backtest.{module}")
    owner, _, name = table.rpartition(".")
    return getattr(getattr(loaded, owner) if owner else loaded, name)


@pytest.mark.parametrize(("module", "table"), ALL_TABLES)
def test_bound_function_signature_and_args_come_from_its_table(module, table):
    rows = _params.parameters(module, table)
    function = _bound(module, table)
    signature_line = function.__doc__.splitlines()[0]
    # The signature: the names in order, the keyword-only marker, the defaults as Python shows them.
    expected = []
    for row in rows.values():
        if row["keyword_only"] and "*" not in expected:
            expected.append("*")
        text = f"{row['name']}: {row['type']}"
        expected.append(text if row["required"] else f"{text} = {row['default']!r}")
    assert ", ".join(expected) in signature_line
    if table not in WRAPPERS:  # the two methods carry the wrappers' text, tested below
        entries = _args_entries(function.__doc__)
        assert list(entries) == list(rows)
        for name, row in rows.items():
            assert " ".join(entries[name].split()).startswith(row["doc"]), name


@pytest.mark.parametrize("table", sorted(WRAPPERS))
def test_python_wrapper_has_the_tables_names_defaults_and_docs(table):
    rows = _params.parameters("_service", table)
    parameters = _wrapper_signature(table).parameters
    assert list(parameters) == list(rows)
    for name, row in rows.items():
        parameter = parameters[name]
        keyword_only = parameter.kind is inspect.Parameter.KEYWORD_ONLY
        assert keyword_only == row["keyword_only"], name
        if row["required"]:
            assert parameter.default is inspect.Parameter.empty, name
        else:
            assert parameter.default == row["default"], name
            assert type(parameter.default) is type(row["default"]), name
    entries = _args_entries(_wrapper_doc(table))
    assert list(entries) == list(rows)
    for name, row in rows.items():
        text = " ".join(entries[name].split())
        assert text.startswith(" ".join((row["doc"] + row["more"]).split())), (name, text)
    # The method shows the package function's documentation.
    method = _bound("_service", table)
    assert _wrapper_doc(table) in method.__doc__


def test_shared_parameters_have_one_default_and_one_range():
    seen: dict[str, tuple[object, object, str]] = {}
    # The strategy chart shows the backtest's rolling window as a label; it checks nothing.
    for module, table in [t for t in ALL_TABLES if t[1] != "plot_strategy_performance"]:
        for name, row in _params.parameters(module, table).items():
            if name not in SHARED:
                continue
            key = "benchmark" if name == "benchmark_names" else name
            value = (row["default"], row["range"])
            if key in seen:
                assert value == seen[key][:2], (key, table, seen[key][2])
            else:
                seen[key] = (*value, table)
    assert seen["rule_fee"][:2] == (5e-4, "取值 [0, 1)")
    assert seen["group_num"][:2] == (20, "取值 [2, 100]")


def test_sweep_and_command_line_defaults_are_the_methods():
    from morvane import sweep
    from morvane.cli import build_parser

    factor = _params.parameters("_service", "BacktestService.backtest")
    strategy = _params.parameters("_service", "BacktestService.backtest_strategy")
    assert {k: factor[k]["default"] for k in sweep.FACTOR_PARAMETERS} == sweep.FACTOR_PARAMETERS
    assert {
        k: strategy[k]["default"] for k in sweep.STRATEGY_PARAMETERS
    } == sweep.STRATEGY_PARAMETERS
    parser = build_parser()
    args = parser.parse_args(["backtest", "f.csv"])
    assert (args.groups, args.benchmark, args.layout, args.horizons, args.rebalance_every) == (
        factor["group_num"]["default"],
        factor["benchmark"]["default"],
        factor["plot"]["default"],
        factor["horizons"]["default"],
        factor["rebalance_every"]["default"],
    )
    args = parser.parse_args(["strategy", "w.csv"])
    assert (args.benchmark, args.layout) == (
        strategy["benchmark"]["default"],
        strategy["plot"]["default"],
    )


def test_tables_are_read_only():
    rows = _params.parameters("_service", "BacktestService.backtest")
    with pytest.raises(TypeError):
        rows["fee"]["default"] = 0.1  # type: ignore[index]
    with pytest.raises(TypeError):
        morvane.backtest._service._PARAMETERS["x"] = ()  # type: ignore[index]
    with pytest.raises(ValueError, match="没有默认值"):
        _params.defaults("_service", "BacktestService.backtest", ["factor"])


def _bounds(text: str) -> tuple[int, int]:
    low, high = re.search(r"\[(\d+), (\d+)\]", text).groups()  # type: ignore[union-attr]
    return int(low), int(high)


def _check_factor(**kwargs):
    from morvane.backtest import _service

    return _service._check_factor_request(
        None, None, "20200102", "20200103", None, "x", chart=False, **kwargs
    )


def _check_strategy(**kwargs):
    from morvane.backtest import _service

    return _service._check_strategy_request(
        None, None, "20200102", "20200103", None, "x", plot=None, **kwargs
    )


class TestRangesAreTheChecks:
    """The documented range of a parameter is what its one check accepts, at both ends."""

    def test_group_num(self):
        low, high = _bounds(
            _params.parameters("_service", "_check_factor_request")["group_num"]["range"]
        )
        assert _check_factor(group_num=low)["group_num"] == low
        assert _check_factor(group_num=high)["group_num"] == high
        for outside in (low - 1, high + 1):
            with pytest.raises(ValueError, match=re.escape("group_num 取值范围 [2, 100]")):
                _check_factor(group_num=outside)

    @pytest.mark.parametrize("name", ["horizons", "rebalance_every"])
    def test_periods(self, name):
        low, high = _bounds(_params.parameters("_service", "_check_factor_request")[name]["range"])
        assert _check_factor(**{name: high})[name] in (high, (high,))
        for outside in (low - 1, high + 1):
            with pytest.raises(ValueError, match=f"参数 {name}"):
                _check_factor(**{name: outside})

    @pytest.mark.parametrize("check", [_check_factor, _check_strategy])
    def test_rates_capital_and_window(self, check):
        assert check(fee=0.0, rule_fee=0.0, rolling_window=0)["fee"] == 0.0
        for name, bad in (
            ("fee", 1.0),
            ("rule_fee", -1e-9),
            ("total_money", 0.0),
            ("rolling_window", -1),
        ):
            with pytest.raises(ValueError, match=f"参数 {name} "):
                check(**{name: bad})


@pytest.mark.parametrize("name", ["_format_num", "_format_pct", "_format_pct_points"])
def test_formatters_decimals_range_is_their_check(name):
    from morvane.backtest import _ravelle

    row = _params.parameters("_ravelle", name)["digits"]
    low, high = _bounds(row["range"])
    formatter = getattr(_ravelle, name)
    assert formatter(0.5) == formatter(0.5, row["default"])
    assert formatter(0.5, low) and formatter(0.5, high)
    for outside in (low - 1, high + 1):
        with pytest.raises(ValueError, match=re.escape(f"参数 digits 取值范围 [{low}, {high}]")):
            formatter(0.5, outside)
