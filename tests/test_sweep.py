"""Parameter sweeps: grids, up-front checks, local threads, errors, interrupts and the config file."""

from __future__ import annotations

import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import morvane
from morvane import sweep
from morvane.backtest import _core

START, END = 20240102, 20240315


@pytest.fixture(scope="module")
def weights(payload) -> dict[str, pd.DataFrame]:
    close = payload["data"]["close_price"]
    out = {}
    for step in (2, 3):
        held = close.notna() & (np.arange(close.shape[1]) % step == 0)
        out[f"every{step}"] = held.astype(float).div(held.sum(axis=1).replace(0, 1), axis=0)
    return out


STRATEGY_GRID = sweep.grid(rolling_window=[0, 3], fee=[0.0, 1e-3], benchmark=["000852", "000300"])


def single_strategy_rows(weights, data, sets) -> list[dict]:
    """The figures a loop of single runs gives, in the sweep's row order."""
    rows = []
    for table in weights.values():
        for params in sets:
            result = morvane.backtest_strategy(
                table, data, START, END, None, "", plot=None, **params
            )
            row = dict(result.stats)
            for _, line in result.benchmark_summary.iterrows():
                row.update(
                    {
                        f"{k}_{line['benchmark_name']}": v
                        for k, v in line.items()
                        if k != "benchmark_name"
                    }
                )
            rows.append(row)
    return rows


class TestGrid:
    def test_cartesian_product_last_name_fastest(self):
        assert sweep.grid(a=[1, 2], b=("x", "y"), c=None) == [
            {"a": 1, "b": "x", "c": None},
            {"a": 1, "b": "y", "c": None},
            {"a": 2, "b": "x", "c": None},
            {"a": 2, "b": "y", "c": None},
        ]
        assert sweep.grid() == [{}]
        with pytest.raises(ValueError, match="参数 a 的取值列表为空"):
            sweep.grid(a=[])

    # Each bad set is rejected by the sweep, naming its number, with the same
    # exception type as the single run it stands for.
    @pytest.mark.parametrize(
        "bad",
        [
            {"rolling_window": "5"},
            {"fee": 1.0},
            {"rule_fee": -0.1},
            {"total_money": 0},
            {"total_money": float("nan")},
            {"benchmark": ["000300"]},
            {"benchmark": None},
        ],
    )
    def test_bad_strategy_sets_fail_before_any_work(self, data, weights, bad, monkeypatch):
        table = weights["every2"]
        with pytest.raises(Exception) as single:
            morvane.backtest_strategy(table, data, START, END, None, "", plot=None, **bad)
        ran = []
        monkeypatch.setattr(sweep._execution, "_run_task", lambda *a, **k: ran.append(a))
        with pytest.raises(type(single.value), match=r"^参数组 1 "):
            sweep.run_strategy(weights, data, START, END, grid=[{}, bad])
        assert ran == []

    def test_unknown_names_and_shapes(self, data, weights):
        with pytest.raises(TypeError, match=r"参数组 0 .*未知参数 group_num"):
            sweep.run_strategy(weights, data, START, END, grid=[{"group_num": 5}])
        with pytest.raises(TypeError, match="grid"):
            sweep.run_strategy(weights, data, START, END, grid={"fee": 0.0})
        with pytest.raises(ValueError, match="参数组列表为空"):
            sweep.run_strategy(weights, data, START, END, grid=[])
        with pytest.raises(ValueError, match="没有要回测的权重表"):
            sweep.run_strategy({}, data, START, END)
        with pytest.raises(ValueError, match="keep"):
            sweep.run_strategy(weights, data, START, END, keep="all")
        with pytest.raises(ValueError, match="output_dir"):
            sweep.run_strategy(weights, data, START, END, plot=True)


class TestLocal:
    def test_same_table_as_a_loop_for_any_thread_count(self, data, weights):
        one = sweep.run_strategy(weights, data, START, END, grid=STRATEGY_GRID, threads=1)
        many = sweep.run_strategy(weights, data, START, END, grid=STRATEGY_GRID, threads=3)
        pd.testing.assert_frame_equal(one, many)
        assert list(one["input"]) == ["every2"] * 8 + ["every3"] * 8
        assert list(one.columns[:6]) == ["input", *sweep.STRATEGY_PARAMETERS]
        assert one["error"].isna().all()
        expected = pd.DataFrame(single_strategy_rows(weights, data, STRATEGY_GRID))
        pd.testing.assert_frame_equal(one[expected.columns], expected)
        params = pd.DataFrame([{**sweep.STRATEGY_PARAMETERS, **p} for p in STRATEGY_GRID] * 2)
        pd.testing.assert_frame_equal(one[params.columns], params, check_dtype=False)

    def test_store_folder_and_kept_series(self, env, data, weights):
        sets = STRATEGY_GRID[:2]
        table, series = sweep.run_strategy(
            weights["every3"], env.store_dir, START, END, grid=sets, keep="series"
        )
        pd.testing.assert_frame_equal(
            table, sweep.run_strategy(weights["every3"], data, START, END, grid=sets)
        )
        assert list(table["input"]) == ["strategy", "strategy"]
        assert list(series.columns) == [0, 1]
        result = morvane.backtest_strategy(
            weights["every3"], data, START, END, None, "", plot=None, **sets[1]
        )
        pd.testing.assert_series_equal(series[1].dropna(), result.daily_return, check_names=False)

    def test_a_failing_run_is_recorded_or_raised(self, data, weights):
        inputs = {"empty": weights["every2"].iloc[:0], **weights}
        table = sweep.run_strategy(inputs, data, START, END, grid=[{}])
        assert table.loc[0, "error"] == "ValueError: 策略权重矩阵为空"
        assert np.isnan(table.loc[0, "annual_return"])
        assert table.loc[1:, "error"].isna().all() and table.loc[1:, "annual_return"].notna().all()
        with pytest.raises(ValueError, match="策略权重矩阵为空"):
            sweep.run_strategy(inputs, data, START, END, grid=[{}], errors="raise")

    def test_interrupt_stops_cleanly(self, data, weights, monkeypatch):
        real = sweep._execution._run_strategy_once
        started = []

        def run(table, data, task, shared):
            started.append(task.params["fee"])
            if task.params["fee"] > 2.5e-4:
                # Some work before the interrupt: tasks that failed at once
                # could all start before the caller's thread sees the first.
                time.sleep(0.05)
                raise KeyboardInterrupt
            return real(table, data, task, shared)

        monkeypatch.setattr(sweep._execution, "_run_strategy_once", run)
        sets = sweep.grid(fee=[i * 1e-4 for i in range(40)])
        with pytest.raises(KeyboardInterrupt):
            sweep.run_strategy(weights, data, START, END, grid=sets, threads=2)
        assert len(started) < 2 * len(sets)  # the rest were cancelled
        assert not [t for t in threading.enumerate() if t.name.startswith("morvane-sweep")]

    def test_charts_one_folder_per_run(self, data, weights, tmp_path):
        table = sweep.run_strategy(
            weights["every2"],
            data,
            START,
            END,
            grid=STRATEGY_GRID[:1],
            plot=True,
            output_dir=tmp_path,
        )
        for index, folder in enumerate(table["output_dir"]):
            assert folder == str(tmp_path / f"run_{index:05d}")
            assert sorted(p.name for p in (tmp_path / folder).iterdir()) == [
                "strategy.png",
                "strategy_weekly_net_value.png",
            ]


def test_task_thread_count_is_per_thread():
    assert _core._set_task_thread_count(3) == 0
    seen = []
    worker = threading.Thread(target=lambda: seen.append(_core._set_task_thread_count(0)))
    worker.start()
    worker.join()
    assert seen == [0] and _core._set_task_thread_count(0) == 3
    with pytest.raises(ValueError, match="count"):
        _core._set_task_thread_count(-1)


def test_dask_mode_without_the_extra_names_it(data, weights, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"pip install morvane\[dask\]"):
        sweep.run_strategy(weights, data, START, END, client=object())


class TestConfig:
    def write(self, folder, weights, body: str):
        pytest.importorskip("pyarrow", reason="the config reads a Parquet table")
        weights["every2"].to_parquet(folder / "a.parquet")
        weights["every3"].to_csv(folder / "b.csv")
        config = folder / "sweep.toml"
        config.write_text(body, encoding="utf-8")
        return config

    def test_runs_and_writes_parquet_and_csv(self, env, data, weights, tmp_path):
        config = self.write(
            tmp_path,
            weights,
            f"""
[inputs]
kind = "strategy"
tables = {{ a = "a.parquet", b = "b.csv" }}
data = "{env.store_dir}"

[grid]
rolling_window = [0, 3]
fee = [0.0, 1e-3]

[dates]
start = {START}
end = "{END}"

[output]
name = "result"
""",
        )
        table = sweep.run_config(config, out_dir=tmp_path / "out")
        expected = sweep.run_strategy(
            weights, data, START, END, grid=sweep.grid(rolling_window=[0, 3], fee=[0.0, 1e-3])
        )
        expected["input"] = expected["input"].map({"every2": "a", "every3": "b"})
        pd.testing.assert_frame_equal(table, expected, check_exact=False, rtol=1e-12)
        pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "out" / "result.parquet"), table)
        csv = pd.read_csv(tmp_path / "out" / "result.csv", dtype={"benchmark": str})
        np.testing.assert_allclose(csv["annual_return"], table["annual_return"], rtol=1e-12)

    def test_without_pyarrow_writes_csv_and_names_the_extra_for_parquet(
        self, env, data, weights, tmp_path, monkeypatch
    ):
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        weights["every3"].to_csv(tmp_path / "b.csv")
        body = f"""
[inputs]
kind = "strategy"
tables = {{ b = "b.csv" }}
data = "{env.store_dir}"

[dates]
start = {START}
end = {END}
"""
        config = tmp_path / "sweep.toml"
        config.write_text(body, encoding="utf-8")
        table = sweep.run_config(config, out_dir=tmp_path / "csv")
        assert table.attrs["output_files"] == (str(tmp_path / "csv" / "sweep.csv"),)
        assert sorted(p.name for p in (tmp_path / "csv").iterdir() if p.is_file()) == ["sweep.csv"]
        config.write_text(body + '[output]\nformats = ["parquet"]\n', encoding="utf-8")
        with pytest.raises(ImportError, match=r"pip install 'morvane\[parquet\]'"):
            sweep.run_config(config, out_dir=tmp_path / "parquet")
        assert not (tmp_path / "parquet").exists()

    @pytest.mark.parametrize(
        "body, error, match",
        [
            ("[inputs]\nkind = 'strategy'\n", ValueError, r"缺少 \[dates\]"),
            (
                "[inputs]\nkind = 'x'\ntables = {a = 'a.csv'}\n[dates]\nstart = 1\nend = 2\n",
                ValueError,
                "kind",
            ),
            ("[input]\n", ValueError, "未知的节: input"),
            ("[inputs\n", ValueError, "TOML"),
            (
                "[inputs]\nkind = 'strategy'\ntables = {a = 'a.csv'}\n[grid]\nfee = [2.0]\n"
                f"[dates]\nstart = {START}\nend = {END}\n",
                ValueError,
                r"参数组 0 .*fee",
            ),
            (
                "[inputs]\nkind = 'strategy'\ntables = {a = 'a.csv'}\n[output]\nformats = ['xlsx']\n"
                f"[dates]\nstart = {START}\nend = {END}\n",
                ValueError,
                "formats",
            ),
        ],
    )
    def test_bad_configs(self, data, weights, tmp_path, body, error, match):
        weights["every2"].to_csv(tmp_path / "a.csv")
        config = tmp_path / "bad.toml"
        config.write_text(body, encoding="utf-8")
        with pytest.raises(error, match=match):
            sweep.run_config(config)


class TestFactor:
    def test_same_figures_as_single_runs_and_single_threaded_kernels(
        self, data, payload, tmp_path, monkeypatch
    ):
        factor = payload["data"]["close_price"].pct_change(fill_method=None)
        sets = [{"group_num": 3}, {"group_num": 4, "universe": "000300", "rolling_window": 2}]
        sizes = []
        monkeypatch.setattr(sweep._execution, "_usable_cpus", lambda: 2)
        real = _core._set_task_thread_count
        monkeypatch.setattr(_core, "_set_task_thread_count", lambda n: sizes.append(n) or real(n))
        table, series = sweep.run_factor(
            {"mom": factor}, data, START, END, grid=sets, keep="series"
        )
        # as many tasks as cores: each task's kernels run on one thread (0 puts the setting back)
        assert sorted(sizes) == [0, 0, 1, 1]
        for row, params in enumerate(sets):
            single = morvane.backtest(factor, data, START, END, tmp_path, f"f{row}", **params)
            assert table.loc[row, "best_group"] == single.best_group
            assert table.loc[row, "rank_ic_mean"] == pytest.approx(
                single.rank_ic["rank_ic"].mean(), rel=1e-12
            )
            pd.testing.assert_frame_equal(
                series[row].dropna(how="all"),
                single.group_daily_return,
                check_names=False,
                check_column_type=False,
            )
            summary = single.benchmark_summary.set_index("benchmark_name")
            assert (
                table.loc[row, "excess_annual_return_000852"]
                == summary.loc["000852", "excess_annual_return"]
            )
        assert table["error"].isna().all()

    @pytest.mark.parametrize(
        "bad, error",
        [
            ({"group_num": 1}, ValueError),
            ({"universe": "000001"}, ValueError),
            ({"benchmark": "999999"}, ValueError),
            ({"group_num": "5"}, TypeError),
        ],
    )
    def test_bad_sets_fail_up_front(self, data, payload, bad, error):
        with pytest.raises(error, match=r"^参数组 0 "):
            sweep.run_factor(payload["data"]["close_price"], data, START, END, grid=[bad])
