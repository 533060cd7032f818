"""The factor backtest flow of the service and the universe filter."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import morvane
from morvane.backtest import _core, _service
from morvane.backtest._service import BacktestService
from morvane.backtest.result import BacktestData, BacktestResult
from reference.engine import MARKET_KEYS
from service_world import factor_core_market

START, END = "20240103", "20240301"
HS300 = _service.component_dataset_key("rq_index_components_new_000300.XSHG")
ZZ500 = _service.component_dataset_key("rq_index_components_new_000905.XSHG")


@pytest.fixture
def factor(payload) -> pd.DataFrame:
    close = payload["data"]["close_price"]
    rng = np.random.default_rng(3)
    table = pd.DataFrame(rng.normal(size=close.shape), index=close.index, columns=close.columns)
    table.columns.name = "alpha1"
    return table


@pytest.fixture
def recorder(monkeypatch):
    """Replaces the group backtest core, keeping the keyword arguments of each call."""
    calls: list[dict] = []

    def run(**kwargs):
        calls.append(kwargs)
        return SimpleNamespace(
            plot_paths={},
            best_group=np.nan,
            group_daily_return=pd.DataFrame(),
            group_cumulative_return=pd.DataFrame(),
            rank_ic=pd.DataFrame(),
            benchmark_summary=pd.DataFrame,
        )

    monkeypatch.setattr(_service, "core", SimpleNamespace(run_alpha_vwap_backtest_core=run))
    return calls


class TestFactorBacktest:
    def test_public_call_matches_the_core(self, data, factor, tmp_path):
        out = tmp_path / "charts" / "new"
        res = morvane.backtest(
            factor, data, START, END, out, "alpha1", group_num=5, benchmark="000300"
        )
        assert isinstance(res, BacktestResult) and res.factor_name == "alpha1"
        assert list(res.group_daily_return.columns) == [1, 2, 3, 4, 5]
        assert res.plot_paths == {"000300": str(out / "alpha1.png")}
        assert (out / "alpha1.png").stat().st_size > 10_000

        m = BacktestService._slice_data(data.data, START, END)
        core = _core.run_alpha_vwap_backtest_core(
            factor_matrix=factor.loc[START:END],
            **factor_core_market(m),
            benchmark_names="000300",
            group_num=5,
        )
        pd.testing.assert_frame_equal(res.group_daily_return, core.group_daily_return)
        pd.testing.assert_frame_equal(res.rank_ic, core.rank_ic)
        assert res.best_group == int(core.best_group)
        pd.testing.assert_frame_equal(res.benchmark_summary, core.benchmark_summary())

    def test_universe_limits_the_groups_and_keeps_the_loaded_data(self, data, factor, tmp_path):
        before = data.data["close_price_valid"].copy()
        whole = morvane.backtest(factor, data, START, END, tmp_path, "a", group_num=2)
        narrow = morvane.backtest(
            factor, data, START, END, tmp_path, "a", group_num=2, universe=" 000300 "
        )
        pd.testing.assert_frame_equal(data.data["close_price_valid"], before)
        assert not narrow.group_daily_return.equals(whole.group_daily_return)
        assert not narrow.rank_ic.equals(whole.rank_ic)

    def test_keywords_handed_to_the_core(self, data, factor, recorder, tmp_path):
        wide = pd.concat([factor, factor.iloc[-1:].set_axis(["20240501"])])
        BacktestService(None).backtest(
            wide,
            data,
            20240103,
            "20240301",
            tmp_path,
            "alpha",
            group_num=10.0,
            benchmark=["000300"],
            rolling_window=5.0,
            ascending=1,
            total_money=1e6,
            fee=0,
            rule_fee=0,
            plot="large",
        )
        call = recorder[0]
        assert list(call) == [
            "factor_matrix",
            "industry_matrix",
            "close_price_valid",
            *MARKET_KEYS,
            "benchmark_dict",
            "forward_return_rank_cache",
            "open_price",
            "benchmark_names",
            "rolling_window",
            "ascending",
            "group_num",
            "total_money",
            "fee",
            "rule_fee",
            "plot_image_kind",
            "plot_save_path",
            "factor_name",
            "plot_title",
        ]
        assert call["factor_matrix"].index[0] == START and call["factor_matrix"].index[-1] == END
        assert call["benchmark_dict"]["000852"].index[-1] == END
        assert call["group_num"] == 10 and type(call["group_num"]) is int
        assert call["ascending"] is True and call["rolling_window"] == 5
        assert type(call["fee"]) is float and call["benchmark_names"] == ["000300"]
        assert call["plot_save_path"] == str(tmp_path / "alpha.png")
        assert (call["factor_name"], call["plot_title"], call["plot_image_kind"]) == (
            "alpha1",
            "alpha",
            "large",
        )

    def test_optional_matrices_may_be_absent(self, data, factor, recorder, tmp_path):
        bare = BacktestData(
            data={
                k: v
                for k, v in data.data.items()
                if k not in ("industry_matrix", "open_price", "forward_return_rank_cache")
            }
        )
        BacktestService(None).backtest(factor, bare, START, END, tmp_path, "a")
        assert [
            recorder[0][k] for k in ("industry_matrix", "open_price", "forward_return_rank_cache")
        ] == [None] * 3


class TestFactorArguments:
    @pytest.mark.parametrize(
        ("group_num", "ok"), [(2, True), (100, True), (1, False), (101, False)]
    )
    def test_group_num_range_checked_before_any_work(
        self, data, factor, recorder, tmp_path, group_num, ok
    ):
        out = tmp_path / "never"

        def call():
            return BacktestService(None).backtest(
                factor, data, START, END, out, "a", group_num=group_num
            )

        if ok:
            call()
            assert recorder[-1]["group_num"] == group_num
        else:
            with pytest.raises(ValueError, match=r"^group_num 取值范围 \[2, 100\]$"):
                call()
            assert not recorder and not out.exists()

    @pytest.mark.parametrize(
        ("table", "error", "match"),
        [
            (None, ValueError, "^因子宽表为空$"),
            (pd.DataFrame(), ValueError, "^因子宽表为空$"),
            ({"a": [1.0]}, TypeError, "factor"),
        ],
    )
    def test_factor(self, data, table, error, match, tmp_path):
        with pytest.raises(error, match=match):
            BacktestService(None).backtest(table, data, START, END, tmp_path, "a")

    def test_rows_without_columns_pass_the_emptiness_check(self, data, factor, recorder, tmp_path):
        BacktestService(None).backtest(factor.iloc[:, :0], data, START, END, tmp_path, "a")
        assert recorder[0]["factor_matrix"].shape[1] == 0

    @pytest.mark.parametrize(
        ("output_dir", "plot_filename", "match"),
        [(None, "a", "output_dir"), ("", "a", "output_dir"), ("out", "", "plot_filename")],
    )
    def test_chart_needs_a_place(self, data, factor, recorder, output_dir, plot_filename, match):
        with pytest.raises(ValueError, match=f"^plot 非 None 时,{match} 必须提供$"):
            BacktestService(None).backtest(factor, data, START, END, output_dir, plot_filename)
        assert not recorder

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"plot_filename": 5},
            {"plot": None},
            {"group_num": "5"},
            {"rolling_window": None},
            {"fee": "0.1"},
            {"output_dir": 3},
        ],
    )
    def test_types(self, data, factor, recorder, kwargs, tmp_path):
        args = {"output_dir": tmp_path, "plot_filename": "a"} | kwargs
        with pytest.raises(TypeError, match=next(iter(kwargs))):
            BacktestService(None).backtest(factor, data, START, END, **args)
        assert not recorder

    def test_data_must_be_the_loaded_record(self, data, factor, tmp_path):
        with pytest.raises(TypeError, match="data"):
            BacktestService(None).backtest(factor, data.data, START, END, tmp_path, "a")

    def test_core_checks_reach_the_caller_and_leave_no_folder(self, data, factor, tmp_path):
        out = tmp_path / "new" / "deeper"
        with pytest.raises(ValueError, match="total_money"):
            morvane.backtest(factor, data, START, END, out, "a", total_money=0)
        with pytest.raises(ValueError, match="000999"):
            morvane.backtest(factor, data, START, END, out, "a", benchmark="000999")
        assert not (tmp_path / "new").exists()


class TestResultHelpers:
    def test_factor_name(self, factor):
        assert BacktestService._factor_name(factor) == "alpha1"
        plain = factor.rename_axis(columns=None)
        assert BacktestService._factor_name(plain) == "factor"
        named = plain.copy()
        named.name = "mom20"  # a plain attribute on the table
        assert BacktestService._factor_name(named) == "mom20"
        # A column called "name" makes `table.name` a column, not a name.
        assert BacktestService._factor_name(pd.DataFrame({"name": [1.0]})) == "factor"

    @pytest.mark.parametrize(
        ("plot_paths", "best", "paths", "group"),
        [
            (
                {"000300": {"primary": "a.png"}, "000905": {}},
                5.0,
                {"000300": "a.png", "000905": ""},
                5,
            ),
            (None, np.nan, {}, -1),
            ({}, None, {}, -1),
        ],
    )
    def test_public_result(self, plot_paths, best, paths, group):
        core = SimpleNamespace(
            plot_paths=plot_paths,
            best_group=best,
            group_daily_return=1,
            group_cumulative_return=2,
            rank_ic=3,
            benchmark_summary=lambda: 4,
        )
        res = BacktestService._to_public_result(core, "f")
        assert (res.plot_paths, res.best_group, res.factor_name) == (paths, group, "f")
        assert type(res.best_group) is int and res.benchmark_summary == 4

    def test_public_result_without_plot_paths(self):
        core = SimpleNamespace(
            best_group=2,
            group_daily_return=1,
            group_cumulative_return=2,
            rank_ic=3,
            benchmark_summary=lambda: 4,
        )
        assert BacktestService._to_public_result(core, "f").plot_paths == {}
        with pytest.raises(TypeError, match="factor_name"):
            BacktestService._to_public_result(core, None)


def _sliced(payload) -> dict:
    return BacktestService._slice_data(payload["data"], "20240102", "20240315")


class TestUniverse:
    def test_table_of_codes(self):
        assert list(_service._UNIVERSE_TO_COMPONENT) == [
            "000300",
            "000905",
            "000852",
            "399303",
            "932000",
        ]
        assert _service._UNIVERSE_TO_COMPONENT["399303"] == "rq_index_components_new_399303.XSHE"

    @pytest.mark.parametrize(
        ("universe", "codes"),
        [
            (None, []),
            ("", []),
            ("   ", []),
            ([], []),
            (["", " "], []),
            (" 000300 ", ["000300"]),
            (["000300", 300, "000300"], ["000300", "300", "000300"]),
            (("000905" for _ in range(1)), ["000905"]),
        ],
    )
    def test_parse(self, universe, codes):
        assert BacktestService._parse_universe(universe) == codes

    def test_parse_rejects_a_non_iterable(self):
        with pytest.raises(TypeError):
            BacktestService._parse_universe(3)

    @pytest.mark.parametrize("universe", [None, "", [" "]])
    def test_no_filter(self, payload, universe):
        data = _sliced(payload)
        valid = data["close_price_valid"]
        BacktestService(None)._apply_universe_filter(data, universe, "20240102", "20240315")
        assert data["close_price_valid"] is valid

    def test_union_of_members(self, payload):
        data = _sliced(payload)
        valid = data["close_price_valid"]
        hs, zz = data[HS300].copy(), data[ZZ500].copy()
        hs.iloc[:5, 0] = zz.iloc[:5, 0] = 0.0  # listed but not a member on five days
        data[HS300], data[ZZ500] = hs, zz
        service = BacktestService(None)
        service._apply_universe_filter(data, ["000300", "000905", "000300"], "20240102", "20240315")
        member = ((hs.fillna(0) > 0) | (zz.fillna(0) > 0)) & valid.notna()
        got = data["close_price_valid"]
        assert got.index.equals(valid.index) and got.columns.equals(valid.columns)
        assert (got.notna() == member).all().all() and (
            got.to_numpy()[member.to_numpy()] == 1.0
        ).all()
        assert got.iloc[:5, 0].isna().all()

    def test_membership_on_some_dates_only(self, payload):
        data = _sliced(payload)
        data[HS300] = data[HS300].iloc[10:20]  # membership known on ten dates only
        BacktestService(None)._apply_universe_filter(data, "000300", "20240102", "20240315")
        assert data["close_price_valid"].iloc[:10].isna().all().all()
        assert data["close_price_valid"].iloc[10:20].notna().any().any()

    @pytest.mark.parametrize(
        ("universe", "match"),
        [
            (["000001", "000300"], "^不支持的选股范围: 000001$"),
            ([300], "^不支持的选股范围: 300$"),
            (["000300", "932000"], "^选股范围 932000 无成分股数据,请重新准备数据$"),
        ],
    )
    def test_bad_codes_leave_the_mapping_unchanged(self, payload, universe, match):
        data = _sliced(payload)
        data[_service.component_dataset_key("rq_index_components_new_932000.INDX")] = pd.DataFrame()
        valid = data["close_price_valid"]
        with pytest.raises(ValueError, match=match):
            BacktestService(None)._apply_universe_filter(data, universe, "20240102", "20240315")
        assert data["close_price_valid"] is valid

    def test_missing_component_and_argument_types(self, payload):
        data = _sliced(payload)
        del data[ZZ500]
        service = BacktestService(None)
        with pytest.raises(ValueError, match="^选股范围 000905 无成分股数据"):
            service._apply_universe_filter(data, "000905", "20240102", "20240315")
        with pytest.raises(TypeError, match="data"):
            service._apply_universe_filter(list(data.items()), "000300", "20240102", "20240315")
        with pytest.raises(TypeError, match="start_date"):
            service._apply_universe_filter(data, "000300", 20240102, "20240315")
        with pytest.raises(KeyError):
            service._apply_universe_filter({}, "000300", "20240102", "20240315")
