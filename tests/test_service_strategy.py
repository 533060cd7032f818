"""Loading the prepared data, slicing it and the strategy backtest flow."""

from __future__ import annotations

import logging
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import morvane
from morvane.backtest import _core, _ravelle, _service
from morvane.backtest._service import BacktestService
from morvane.backtest.result import StrategyBacktestResult
from morvane.exceptions import MorvaneWarning
from reference.engine import MARKET_KEYS

NOT_FOUND = r"^未找到回测基准数据,请先调用 morvane\.prepare_backtest_data\(\)$"


@pytest.fixture
def weights(payload) -> pd.DataFrame:
    close = payload["data"]["close_price"]
    held = close.notna() & (np.arange(close.shape[1]) % 3 == 0)
    return held.astype(float).div(held.sum(axis=1).replace(0, 1), axis=0)


def empty_run() -> SimpleNamespace:
    """What the runner returns for a run without rows."""
    empty = pd.Series(dtype=float)
    return SimpleNamespace(
        daily_return=empty,
        cumulative_return=empty,
        stats={},
        benchmark_summary=pd.DataFrame(),
        plot_paths={},
    )


@pytest.fixture
def recorder(monkeypatch):
    """Replaces the runner, keeping the keyword arguments of each call."""
    calls: list[dict] = []

    def run(**kwargs):
        calls.append(kwargs)
        return empty_run()

    monkeypatch.setattr(_ravelle, "run_strategy_backtest_core", run)
    return calls


class TestLoading:
    def test_no_data_yet(self, env):
        with pytest.raises(FileNotFoundError, match=NOT_FOUND):
            BacktestService(None).load_backtest_data()
        env.store_dir.mkdir(parents=True)
        with pytest.raises(FileNotFoundError, match=NOT_FOUND):
            BacktestService(None).load_backtest_data()

    def test_loads_everything_into_memory(self, data, payload):
        assert isinstance(data.data, dict)
        for key, table in payload["data"].items():
            if key != "benchmark_dict":
                pd.testing.assert_frame_equal(data.data[key], table, check_dtype=False)
        pd.testing.assert_series_equal(
            data.data["benchmark_dict"]["000300"], payload["data"]["benchmark_dict"]["000300"]
        )

    def test_constructor_checks_the_client(self):
        with pytest.raises(TypeError, match="http"):
            BacktestService("https://example.com")


class TestSlice:
    def test_cuts_tables_and_benchmarks_and_keeps_the_input(self, payload):
        source = dict(payload["data"], note="kept")
        before = {
            k: (v.shape if hasattr(v, "shape") else v)
            for k, v in source.items()
            if k != "benchmark_dict"
        }
        sliced = BacktestService._slice_data(source, "20240110", "20240117")
        assert list(sliced["close_price"].index) == [
            "20240110",
            "20240111",
            "20240112",
            "20240115",
            "20240116",
            "20240117",
        ]
        assert list(sliced["benchmark_dict"]["000852"].index) == list(sliced["close_price"].index)
        assert sliced["note"] is source["note"]
        assert {
            k: (v.shape if hasattr(v, "shape") else v)
            for k, v in source.items()
            if k != "benchmark_dict"
        } == before

    def test_tables_sharing_dates_share_one_cut_of_them(self):
        dates = pd.Index(["20240102", "20240103", "20240104", "20240105"])
        a = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0]}, index=dates)
        b = pd.DataFrame({"y": [5.0, 6.0, 7.0, 8.0]}, index=dates)
        other = pd.DataFrame({"z": [9.0, 10.0]}, index=["20240103", "20240105"])
        cut = BacktestService._slice_data({"a": a, "b": b, "other": other}, "20240103", "20240104")
        assert cut["a"].index is cut["b"].index
        pd.testing.assert_frame_equal(cut["a"], a.iloc[1:3])
        pd.testing.assert_frame_equal(cut["b"], b.iloc[1:3])
        pd.testing.assert_frame_equal(cut["other"], other.iloc[:1])
        assert a.index is dates and b.index is dates and list(b["y"]) == [5.0, 6.0, 7.0, 8.0]

    def test_unordered_labels(self):
        table = pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=["20240105", "20240102", "20240103"])
        cut = BacktestService._slice_data({"t": table}, "20240103", "20240105")["t"]
        assert list(cut.index) == ["20240105", "20240103"]

    @pytest.mark.parametrize("args", [({}.items(), "1", "2"), ({}, 20240101, "2"), ({}, "1", None)])
    def test_types(self, args):
        with pytest.raises(TypeError):
            BacktestService._slice_data(*args)


class TestStrategyArguments:
    @pytest.mark.parametrize(
        ("strategy", "error", "match"),
        [
            (None, ValueError, "^策略权重矩阵为空$"),
            (pd.DataFrame(), ValueError, "^策略权重矩阵为空$"),
            ([[1.0]], TypeError, "strategy"),
        ],
    )
    def test_strategy(self, data, strategy, error, match):
        with pytest.raises(error, match=match):
            BacktestService(None).backtest_strategy(strategy, data, 20240102, 20240301, "out", "s")

    def test_data_must_be_the_loaded_record(self, weights, data):
        with pytest.raises(TypeError, match="data"):
            BacktestService(None).backtest_strategy(
                weights, data.data, 20240102, 20240301, "out", "s"
            )

    @pytest.mark.parametrize(
        ("output_dir", "plot_filename", "match"),
        [(None, "s", "output_dir"), ("", "s", "output_dir"), ("out", "", "plot_filename")],
    )
    def test_chart_needs_a_place(self, data, weights, tmp_path, output_dir, plot_filename, match):
        with pytest.raises(ValueError, match=f"^plot 非 None 时,{match} 必须提供$"):
            BacktestService(None).backtest_strategy(
                weights, data, 20240102, 20240301, output_dir, plot_filename
            )

    @pytest.mark.parametrize(
        "kwargs", [{"plot_filename": 5}, {"rolling_window": "5"}, {"plot": 1}, {"fee": "0.1"}]
    )
    def test_types(self, data, weights, kwargs):
        args = {"output_dir": None, "plot_filename": "s", "plot": None} | kwargs
        name = next(iter(kwargs))
        with pytest.raises(TypeError, match=name):
            BacktestService(None).backtest_strategy(weights, data, 20240102, 20240301, **args)

    def test_rows_with_columns_none_pass_the_emptiness_check(self, data, weights, recorder):
        BacktestService(None).backtest_strategy(
            weights.iloc[:, :0], data, 20240102, 20240301, "", "", plot=None
        )
        assert recorder[0]["plot_save_path"] is None and recorder[0]["strategy_name"] == ""


class TestStrategyFlow:
    def test_keywords_passed_to_the_runner(self, data, weights, recorder, tmp_path):
        out = tmp_path / "charts" / "deep"
        result = BacktestService(None).backtest_strategy(
            weights,
            data,
            20240110,
            "20240220",
            out,
            "mine",
            rolling_window=2.0,
            total_money=5e7,
            fee=0,
            plot="long",
        )
        call = recorder[0]
        assert list(call) == [
            "strategy_matrix",
            *MARKET_KEYS,
            "benchmark_dict",
            "benchmark_names",
            "rolling_window",
            "total_money",
            "fee",
            "rule_fee",
            "plot_image_kind",
            "plot_save_path",
            "strategy_name",
            "plot_title",
        ]
        assert call["plot_save_path"] == str(out) + "/mine.png"
        assert (
            call["strategy_matrix"].index[0] == "20240110"
            and call["strategy_matrix"].index[-1] == "20240220"
        )
        assert (
            call["close_price"].index[0] == "20240110"
            and call["close_price"].index[-1] == "20240220"
        )
        assert call["split_factor"] is not call["dividend_factor"]
        assert (call["rolling_window"], call["total_money"], call["fee"]) == (2, 5e7, 0.0)
        assert isinstance(call["fee"], float) and call["plot_image_kind"] == "long"
        assert out.is_dir()
        assert isinstance(result, StrategyBacktestResult) and result.strategy_name == "mine"

    def test_both_flows_read_their_core_through_the_service_when_they_run(
        self, data, weights, recorder, monkeypatch
    ):
        assert _service.core is _core and _service.ravelle is _ravelle
        BacktestService(None).backtest_strategy(
            weights, data, 20240110, 20240220, None, "a", plot=None
        )
        assert len(recorder) == 1  # the runner replaced on _ravelle is heard through _service
        replaced: list[dict] = []
        monkeypatch.setattr(
            _service,
            "ravelle",
            SimpleNamespace(
                run_strategy_backtest_core=lambda **kw: replaced.append(kw) or empty_run()
            ),
        )
        BacktestService(None).backtest_strategy(
            weights, data, 20240110, 20240220, None, "b", plot=None
        )
        assert len(recorder) == 1 and [call["strategy_name"] for call in replaced] == ["b"]

    def test_integer_and_text_dates_agree_and_outside_rows_are_dropped(self, data, weights):
        service = BacktestService(None)
        a = service.backtest_strategy(weights, data, 20240110, 20240301, None, "a", plot=None)
        b = service.backtest_strategy(
            weights.loc["20240110":"20240301"], data, "20240110", "20240301", None, "a", plot=None
        )
        assert len(a.daily_return) > 20
        pd.testing.assert_series_equal(a.daily_return, b.daily_return)
        assert a.stats == b.stats or all(
            np.isclose(a.stats[k], b.stats[k], equal_nan=True) for k in a.stats
        )

    def test_charts_are_written(self, data, weights, tmp_path):
        result = morvane.backtest_strategy(
            weights, data, 20240102, 20240315, tmp_path / "out", "run"
        )
        assert Path(result.plot_paths["main"]).is_file()
        assert Path(result.plot_paths["weekly_net_value"]).name == "run_weekly_net_value.png"

    @pytest.mark.parametrize("benchmark", [None, ["000300"]])
    def test_benchmark_type_is_the_runners_check(self, data, weights, tmp_path, benchmark):
        out = tmp_path / "never"
        with pytest.raises(TypeError, match="benchmark_names"):
            BacktestService(None).backtest_strategy(
                weights, data, 20240102, 20240315, out, "s", benchmark=benchmark
            )
        assert not out.exists()  # the rejected call leaves no folder behind

    def test_unknown_benchmark_runs_against_zero_with_a_warning(self, data, weights, caplog):
        caplog.set_level(logging.WARNING, logger="morvane")
        with pytest.warns(
            MorvaneWarning, match="'all' 不在回测数据中.*可用的基准: 000300, 000852, 000905$"
        ) as warned:
            result = BacktestService(None).backtest_strategy(
                weights, data, 20240102, 20240315, None, "s", benchmark="all", plot=None
            )
        assert len(warned) == 1  # said once, by the flow and the runner together
        assert [r.getMessage() for r in caplog.records] == [str(warned[0].message)]
        assert result.stats  # computed against a zero benchmark
