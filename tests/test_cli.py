"""The command line: the demo end to end, and every command's bad-input path."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from morvane._optional import has_pyarrow
from morvane.cli import main
from morvane.cli._common import CliError, parse_date, read_wide_table
from morvane.cli._market import top_group_weights
from service_env import child_env, install
from service_world import factor_core_market

pytestmark = pytest.mark.usefixtures("keep_data_client")


def _figure(text: str, label: str) -> float:
    match = re.search(rf"^\s*{re.escape(label)}\s+(-?[\d.]+)", text, re.MULTILINE)
    assert match, f"{label!r} not printed:\n{text}"
    return float(match.group(1))


def test_demo_end_to_end_leaves_home_untouched(tmp_path):
    home, out = tmp_path / "home", tmp_path / "out"
    home.mkdir()
    env = child_env(home, tmp_path)
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "morvane",
            "demo",
            "--out",
            str(out),
            "--days",
            "120",
            "--stocks",
            "60",
        ],
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    assert _figure(done.stdout, "平均 Rank IC") > 0
    assert _figure(done.stdout, "第 10 组 (因子最高) 期末净值") > _figure(
        done.stdout, "第 1 组 (因子最低) 期末净值"
    )
    assert "年化收益" in done.stdout
    charts = sorted(p.name for p in out.glob("*.png"))
    assert charts == [
        "synthetic_alpha.png",
        "synthetic_alpha_tear_sheet.png",
        "synthetic_alpha_top_group.png",
        "synthetic_alpha_top_group_weekly_net_value.png",
    ]
    assert re.search(r"20 日 Rank IC \(IR\)\s+-?[\d.]+", done.stdout)
    assert all(str(out / name) in done.stdout for name in charts)
    assert (out / "prepared-data").is_dir()
    assert list(home.iterdir()) == []


def _snapshot(folder: Path) -> dict[str, tuple[int, int]]:
    return {
        str(p.relative_to(folder)): (p.stat().st_size, p.stat().st_mtime_ns)
        for p in folder.rglob("*")
    }


def _run(capsys, *argv: str) -> tuple[int, str, str]:
    code = main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def _on_store(command: str, table: Path, store: Path, *options: str) -> list[str]:
    """A backtest command line on a table file and a prepared store."""
    return [command, str(table), "--store", str(store), *options]


BAD_TABLES = {
    "missing": None,
    "header only": "date,000001\n",
    "bad date": "date,000001\nsomeday,1.0\n",
    "unknown codes": "date,999998,999999\n20210104,1.0,2.0\n",
    "not numbers": "date,{code}\n20210104,abc\n",
    "repeated date": "date,{code}\n20210104,1\n20210104,2\n",
}


@pytest.mark.parametrize("command", ["backtest", "strategy"])
@pytest.mark.parametrize("case", list(BAD_TABLES))
def test_bad_table_is_one_line_and_writes_nothing(capsys, tmp_path, market, store, command, case):
    path = tmp_path / "table.csv"
    if BAD_TABLES[case] is not None:
        path.write_text(BAD_TABLES[case].format(code=market.world.ukeys[0][:6]))
    before = _snapshot(store)
    code, out, err = _run(
        capsys, command, str(path), "--store", str(store), "--out", str(tmp_path / "charts")
    )
    assert code == 1
    assert err.count("\n") == 1 and str(path) in err and "Traceback" not in err
    assert out == ""
    assert _snapshot(store) == before
    assert not (tmp_path / "charts").exists()


@pytest.mark.parametrize("command", ["backtest", "strategy"])
def test_bad_arguments_name_the_argument(capsys, tmp_path, store, weights_csv, command):
    cases = [
        (["--start", "20300101", "--end", "20300601"], "--start 20300101"),
        (["--start", "yesterday"], "--start"),
        (["--benchmark", "399999"], "--benchmark"),
        (["--store", str(tmp_path / "nowhere")], "--store"),
    ]
    if command == "backtest":
        cases += [(["--groups", "1"], "--groups"), (["--universe", "123456"], "--universe")]
    for extra, named in cases:
        base = ["--store", str(store), "--out", str(tmp_path / "charts")]
        code, _, err = _run(capsys, command, str(weights_csv), *base, *extra)
        assert code == 1 and named in err and err.count("\n") == 1, (extra, err)
    assert not (tmp_path / "charts").exists()


def test_bad_usage_exits_2_and_debug_shows_the_traceback(capsys, tmp_path, store):
    for argv in (
        [],
        ["backtest"],
        ["backtest", "f.csv", "--groups", "ten"],
        ["strategy", "f.csv", "--layout", "wide"],
    ):
        with pytest.raises(SystemExit) as stop:
            main(argv)
        assert stop.value.code == 2
    capsys.readouterr()
    code, _, err = _run(
        capsys, "strategy", str(tmp_path / "none.csv"), "--store", str(store), "--debug"
    )
    assert code == 1 and "Traceback" in err and "CliError" in err


def test_strategy_command_prints_the_figures_and_charts(capsys, tmp_path, store, weights_csv):
    code, out, err = _run(
        capsys,
        *_on_store("strategy", weights_csv, store),
        "--out",
        str(tmp_path / "charts"),
        "--benchmark",
        "000300",
        "--layout",
        "long",
    )
    assert code == 0, err
    assert "年化收益" in out and "基准 000300" in out
    assert (tmp_path / "charts" / "top.png").is_file()
    assert (tmp_path / "charts" / "top_weekly_net_value.png").is_file()


def test_more_groups_than_stocks_is_said_once_instead_of_n_a_rows(capsys, tmp_path, market, store):
    path = tmp_path / "alpha.csv"
    market.alpha_matrix().to_csv(path)
    code, out, err = _run(
        capsys,
        *_on_store("backtest", path, store),
        "--groups",
        "100",
        "--out",
        str(tmp_path / "charts"),
    )
    assert code == 0, err
    assert "n/a" not in out and re.search(r"分组收益\s+无, 原因见上方的警告", out)
    assert _figure(out, "平均 Rank IC") > -1  # the rank IC needs no groups
    # the warning, once on stderr (not a second time as a Python warning)
    assert (
        err.count("每个交易日可分组的股票都少于分组数 group_num=100") == 1 and err.count("\n") == 1
    )


def test_strategy_ffill_carries_whole_rebalance_rows(capsys, tmp_path, market, store):
    days = [d.strftime("%Y%m%d") for d in market.world.dates]
    a, b, c = (u[:6] for u in market.world.ukeys[:3])
    path = tmp_path / "rebalance.csv"
    path.write_text(f"date,{a},{b},{c}\n{days[0]},0.3,0.3,\n{days[10]},0.3,,0.3\n")
    code, out, err = _run(
        capsys,
        *_on_store("strategy", path, store),
        "--ffill",
        "--end",
        days[30],
        "--out",
        str(tmp_path / "charts"),
    )
    assert code == 0, err
    # Two stocks on every day: the second rebalance dropped the first one's partner.
    assert _figure(out, "日均持仓数") == 2.0
    assert _figure(out, "交易日") == 30


# -- prepare --------------------------------------------------------------------


def test_prepare_synthetic_builds_once_and_replaces_only_when_asked(capsys, tmp_path):
    folder = tmp_path / "prepared"
    argv = [
        "prepare",
        "--source",
        "synthetic",
        "--store",
        str(folder),
        "--days",
        "40",
        "--stocks",
        "30",
    ]
    code, out, err = _run(capsys, *argv)
    assert code == 0, err
    assert "各数据集最新日期" in out and re.search(r"close_price\s+2021\d{4}", out)
    before = _snapshot(folder)
    code, _, err = _run(capsys, *argv[:-4], "--days", "50", "--stocks", "30")
    assert code == 1 and "--replace" in err and _snapshot(folder) == before
    assert _run(capsys, *argv, "--replace")[0] == 0
    # No staging folder or backup left; only the folder's lock files stay beside it.
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        ".prepared.data.lock",
        ".prepared.prepare.lock",
        "prepared",
    ]


def test_prepare_from_local_files_builds_then_refreshes(capsys, tmp_path, monkeypatch):
    from morvane.backtest import _service
    from morvane.clients import SyntheticMarketClient

    files = SyntheticMarketClient(
        seed=1, n_stocks=30, start_date="20240102", end_date="20240329"
    ).write_files(tmp_path / "files", file_format="csv")
    monkeypatch.setattr(_service, "_today", lambda: "20240329")
    folder = tmp_path / "prepared"
    code, out, err = _run(capsys, "prepare", "--source", str(files), "--store", str(folder))
    assert code == 0, err
    assert "已就绪" in out
    monkeypatch.setattr(_service, "_today", lambda: "20240405")
    code, out, err = _run(capsys, "prepare", "--source", str(files), "--store", str(folder))
    assert code == 0, err
    assert "已更新" in out and re.search(r"close_price\s+20240329", out)


def test_prepare_from_local_files_missing_a_required_file_writes_nothing(
    capsys, tmp_path, monkeypatch
):
    from morvane.backtest import _service
    from morvane.clients import SyntheticMarketClient

    files = SyntheticMarketClient(
        seed=1, n_stocks=20, start_date="20240102", end_date="20240131"
    ).write_files(tmp_path / "files", file_format="csv")
    monkeypatch.setattr(_service, "_today", lambda: "20240131")
    gone = [
        "limit_up",
        "tick_vwap_price_935_1005",
        "Open",
        "rq_is_suspended",
    ]  # the last is optional
    for name in gone:
        (files / "factors" / f"{name}.csv").unlink()
    (files / "index_daily.csv").unlink()
    folder = tmp_path / "prepared"
    code, out, err = _run(capsys, "prepare", "--source", str(files), "--store", str(folder))
    assert code == 1 and out == "" and err.count("\n") == 1
    listed = err.split("缺少必需的输入文件")[1].split("可选的文件")[0]
    assert re.findall(r"factors/\w+|index_daily", listed) == [
        "factors/limit_up",
        "factors/Open",
        "factors/tick_vwap_price_935_1005",
        "index_daily",
    ]
    assert (
        "可选的文件 (缺少时按没有数据处理): factors/split_coefficient_to, factors/rq_get_dividend, "
        "factors/rq_is_suspended" in err
    )
    assert not folder.exists() and sorted(p.name for p in tmp_path.iterdir()) == ["files"]


def test_prepare_bad_sources_write_nothing(capsys, tmp_path, monkeypatch):
    env = install(monkeypatch, tmp_path / "home")
    empty = tmp_path / "empty"
    (empty / "factors").mkdir(parents=True)
    cases = [
        (["--source", str(tmp_path / "missing")], "--source"),
        (["--source", str(empty), "--store", str(tmp_path / "s")], f"--source {empty}"),
        (["--source", "synthetic", "--days", "5", "--store", str(tmp_path / "s")], "--days"),
        (["--store", str(tmp_path / "s")], "--store"),
        ([], "--base-url"),
        (["--client", "no_such_module_xyz:make"], "--client"),
    ]
    for extra, named in cases:
        code, _, err = _run(capsys, "prepare", *extra)
        assert code == 1 and named in err and err.count("\n") == 1, (extra, err)
    assert not env.root.exists() and not (tmp_path / "s").exists()


def test_prepare_into_the_package_folder_is_what_backtests_load(capsys, tmp_path, monkeypatch):
    import morvane

    env = install(monkeypatch, tmp_path / "home")
    env.root.mkdir(parents=True)
    (env.root / "installed_package.json").write_text("{}")
    code, _, err = _run(
        capsys, "prepare", "--source", "synthetic", "--days", "40", "--stocks", "30"
    )
    assert code == 0, err
    data = morvane.load_backtest_data()
    assert data.data["close_price"].shape == (40, 30)
    # The record of a downloaded package no longer describes the folder.
    assert not (env.root / "installed_package.json").exists()


# -- reading table files --------------------------------------------------------


def test_table_files_read_codes_and_dates_the_way_users_write_them(tmp_path):
    path = tmp_path / "f.csv"
    path.write_text("date,1,600000.XSHG,000002.SZ\n2024-01-03,1,2,\n2024-01-02,3,4,5\n")
    table = read_wide_table(path, what="因子文件")
    assert list(table.columns) == ["000001", "600000", "000002"]
    assert list(table.index) == ["20240102", "20240103"]
    assert table.dtypes.eq(np.float64).all() and np.isnan(table.loc["20240103", "000002"])

    parquet = pd.DataFrame(
        {"trade_date": pd.to_datetime(["20240102", "20240103"]), "000001": [1.0, 2.0]}
    )
    if has_pyarrow():
        parquet.to_parquet(tmp_path / "f.parquet")
        assert list(read_wide_table(tmp_path / "f.parquet", what="因子文件").index) == [
            "20240102",
            "20240103",
        ]
    else:  # a bare install names the extra instead of failing inside pandas
        (tmp_path / "f.parquet").write_bytes(b"PAR1")
        with pytest.raises(CliError, match=r"morvane\[parquet\]"):
            read_wide_table(tmp_path / "f.parquet", what="因子文件")

    # a code given twice is kept: the backtest's own check refuses it, as everywhere
    path.write_text("date,1,000001\n20240102,1,2\n")
    assert list(read_wide_table(path, what="因子文件").columns) == ["000001", "000001"]
    path.write_text("date,x\n")
    with pytest.raises(CliError, match="没有日期行"):
        read_wide_table(path, what="因子文件")
    (tmp_path / "f.xlsx").write_bytes(b"PK")
    with pytest.raises(CliError, match="不支持的文件类型"):
        read_wide_table(tmp_path / "f.xlsx", what="因子文件")


@pytest.mark.parametrize(
    "cells, dates",
    [
        (["20230102", "2023-01-16", "2023/02/01"], ["20230102", "20230116", "20230201"]),
        (
            ["2023/1/2", "2023-1-16 00:00:00", "2023-02-01T09:30"],
            ["20230102", "20230116", "20230201"],
        ),
    ],
)
def test_dates_in_the_documented_forms_are_read(tmp_path, cells, dates):
    path = tmp_path / "f.csv"
    path.write_text("date,000001\n" + "".join(f"{cell},1\n" for cell in cells))
    assert list(read_wide_table(path, what="权重文件").index) == dates


@pytest.mark.parametrize(
    "cells, first_bad",
    [
        # day first or month first cannot be told apart: never guessed
        (["20230102", "02/01/2023", "16/01/2023"], r"第 2 行是 '02/01/2023'"),
        (["2023-01-02", "2023-02-30"], r"第 2 行是 '2023-02-30'"),
        (["2023-01-02", "Jan 3 2023"], r"第 2 行是 'Jan 3 2023'"),
        (["230102"], r"第 1 行是 '?230102'?"),  # a number to some pandas versions' CSV reader
    ],
)
def test_other_date_forms_name_the_first_bad_cell(tmp_path, cells, first_bad):
    path = tmp_path / "f.csv"
    path.write_text("date,000001\n" + "".join(f"{cell},1\n" for cell in cells))
    with pytest.raises(CliError, match=first_bad):
        read_wide_table(path, what="权重文件")


def test_spreadsheet_date_cells_and_date_options(tmp_path):
    pytest.importorskip("pyarrow", reason="Parquet date cells need pyarrow")
    import datetime as dt

    shanghai = pd.to_datetime(["2023-01-02", "2023-01-03"]).tz_localize("Asia/Shanghai")
    for index in (
        pd.Index([dt.date(2023, 1, 2), dt.date(2023, 1, 3)], name="date"),
        shanghai.tz_convert("UTC").rename("date"),
    ):  # read on the market's clock
        pd.DataFrame({"000001": [1.0, 2.0]}, index=index).to_parquet(tmp_path / "d.parquet")
        assert list(read_wide_table(tmp_path / "d.parquet", what="因子文件").index) == [
            "20230102",
            "20230103",
        ]
    assert parse_date("2023/1/2", "--start") == "20230102"
    with pytest.raises(CliError, match=r"--start: 无法识别的日期 '01/02/2023'"):
        parse_date("01/02/2023", "--start")


def test_top_group_weights_are_the_group_backtests_top_group(market, store):
    from morvane.backtest import _core
    from morvane.backtest._prepare import BinaryPreparedDataStore

    data = BinaryPreparedDataStore(store).load()["data"]
    factor = market.alpha_matrix()
    groups = 5
    core = _core.run_alpha_vwap_backtest_core(
        factor_matrix=factor,
        **factor_core_market(data),
        benchmark_names="000300",
        rolling_window=0,
        ascending=False,
        group_num=groups,
        total_money=1e8,
        fee=1e-4,
        rule_fee=5e-4,
        plot_image_kind="long",
        plot_save_path=None,
        factor_name="a",
        plot_title="a",
    )
    weights = top_group_weights(factor, data["close_price_valid"], groups)
    top = core.group_matrix.reindex_like(weights).eq(groups)
    pd.testing.assert_frame_equal(weights.notna(), top, check_names=False)
    assert np.allclose(weights.sum(axis=1)[top.any(axis=1)], 1.0)


# -- sweep ----------------------------------------------------------------------


def test_sweep_command_writes_the_table_and_fails_in_one_line(capsys, tmp_path, store, weights_csv):
    config = tmp_path / "sweep.toml"
    config.write_text(
        f"""
[inputs]
kind = "strategy"
tables = {{ top = "{weights_csv}" }}
data = "{store}"

[grid]
fee = [0.0, 1e-3]

[output]
name = "fees"

[dates]
start = 20210104
end = 20211231
""",
        encoding="utf-8",
    )
    code, out, err = _run(capsys, "sweep", str(config), "--out", str(tmp_path / "out"))
    assert code == 0, err
    assert "2 行" in out and str(tmp_path / "out") in out
    table = pd.read_csv(tmp_path / "out" / "fees.csv", dtype={"benchmark": str})
    assert (tmp_path / "out" / "fees.parquet").is_file() == has_pyarrow()
    assert list(table["fee"]) == [0.0, 1e-3] and table["error"].isna().all()
    # Fees only cost: the dearer run cannot earn more.
    assert table["annual_return"].iloc[1] <= table["annual_return"].iloc[0]
    assert (tmp_path / "out" / "fees.csv").is_file()
    # Without --out the config's folder (by default "sweep" beside it) is named.
    code, out, err = _run(capsys, "sweep", str(config))
    assert code == 0, err
    assert (
        str(tmp_path / "sweep" / "fees.csv") in out and (tmp_path / "sweep" / "fees.csv").is_file()
    )

    for argv, named in [
        (["sweep", str(tmp_path / "none.toml")], "none.toml"),
        (["sweep", str(tmp_path)], str(tmp_path)),
    ]:
        code, _, err = _run(capsys, *argv)
        assert code == 1 and named in err and err.count("\n") == 1 and "Traceback" not in err
    config.write_text(
        config.read_text(encoding="utf-8").replace("fee = [0.0, 1e-3]", "fee = [2.0]"),
        encoding="utf-8",
    )
    code, _, err = _run(capsys, "sweep", str(config), "--out", str(tmp_path / "bad"))
    assert code == 1 and "fee" in err and err.count("\n") == 1
    assert not (tmp_path / "bad").exists()


# -- the small frictions of issue 22 ----------------------------------------------


def test_csv_files_read_in_the_encodings_spreadsheets_save(tmp_path):
    # Chinese Excel saves GBK; others UTF-8, with Excel's byte-order mark or without.
    text = "日期,000001.XSHE,000002\n2021-01-04,1.5,\n2021-01-05,2.5,3.0\n"
    tables = []
    for name, payload in [
        ("gbk", text.encode("gbk")),
        ("gb18030", text.encode("gb18030")),
        ("bom", text.encode("utf-8-sig")),
        ("plain", text.encode("utf-8")),
    ]:
        path = tmp_path / f"{name}.csv"
        path.write_bytes(payload)
        tables.append(read_wide_table(path, what="因子文件"))
    for table in tables[1:]:
        pd.testing.assert_frame_equal(table, tables[0])
    assert list(tables[0].columns) == ["000001", "000002"] and list(tables[0].index) == [
        "20210104",
        "20210105",
    ]
    broken = tmp_path / "broken.csv"
    broken.write_bytes(b"date,000001\n20210104,\x80\n")  # a lone 0x80 is neither UTF-8 nor GB18030
    with pytest.raises(
        CliError,
        match=r"broken\.csv: 无法识别的文件编码, 应为 UTF-8 \(带或不带 BOM\) 或 GBK / GB18030",
    ):
        read_wide_table(broken, what="因子文件")


@pytest.mark.parametrize("command", ["backtest", "strategy"])
def test_verbose_shows_the_backtests_progress(capsys, tmp_path, store, weights_csv, command):
    kind = "因子回测" if command == "backtest" else "策略回测"
    base = _on_store(command, weights_csv, store, "--out", str(tmp_path / "charts"))
    base += ["--benchmark", "000300"]
    if command == "backtest":
        base += ["--groups", "2"]
    code, _, quiet = _run(capsys, *base)
    assert code == 0 and kind not in quiet
    code, out, err = _run(capsys, *base, "--verbose")
    assert code == 0, err
    started = re.search(rf"{kind} top: (\d{{8}}) 到 (\d{{8}}), 输入表 (\d+) 行 x (\d+) 列", err)
    assert started, err
    days = int(re.search(r"交易日\s+(\d+)", out).group(1))
    assert re.search(rf"{kind} top 完成: {days} 个交易日, 用时 \d+\.\d\d 秒", err)
    assert str(tmp_path / "charts" / "top.png") in err


def test_a_table_outside_the_stores_dates_names_only_what_was_given(
    capsys, tmp_path, market, store
):
    path = tmp_path / "old.csv"
    code = market.world.ukeys[0][:6]
    path.write_text(f"date,{code}\n20110104,1.0\n20110105,2.0\n")
    first, last = (market.world.dates[i].strftime("%Y%m%d") for i in (0, -1))
    code_, _, err = _run(
        capsys, "backtest", str(path), "--store", str(store), "--out", str(tmp_path / "c")
    )
    assert code_ == 1 and "--start" not in err and "--end" not in err
    assert (
        f"{path}: 表的日期 (20110104 到 20110105) 与预备数据没有共同的交易日 (预备数据覆盖 {first} 到 {last})"
        in err
    )
    code_, _, err = _run(
        capsys,
        *_on_store("backtest", path, store),
        "--start",
        "20300101",
        "--out",
        str(tmp_path / "c"),
    )
    assert code_ == 1 and "(--start 20300101; 预备数据覆盖" in err and "--end" not in err


def test_the_sparse_weights_warning_suggests_the_option(capsys, tmp_path, market, store):
    days = [d.strftime("%Y%m%d") for d in market.world.dates]
    a, b = (u[:6] for u in market.world.ukeys[:2])
    path = tmp_path / "rebalance.csv"
    path.write_text(f"date,{a},{b}\n{days[0]},0.3,0.3\n{days[10]},0.3,0.3\n{days[20]},0.3,0.3\n")
    code, _, err = _run(
        capsys, "strategy", str(path), "--store", str(store), "--out", str(tmp_path / "charts")
    )
    assert code == 0, err
    assert "缺少" in err and "请加 --ffill" in err and "reindex" not in err
    # In Python the warning keeps its Python remedy.
    import morvane

    weights = pd.DataFrame({a: [0.3, 0.3], b: [0.3, 0.3]}, index=[days[0], days[10]])
    with pytest.warns(morvane.MorvaneWarning, match=r"weights\.reindex\(trading_days"):
        morvane.backtest_strategy(
            weights, morvane.load_backtest_data(store), days[0], days[20], None, "s", plot=None
        )
