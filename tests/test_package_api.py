"""The package-level backtest functions over the package's one service."""

from __future__ import annotations

import types

import pytest

import morvane
from morvane._http import HttpClient
from morvane.exceptions import MorvaneError
from service_env import install


@pytest.fixture
def fresh(monkeypatch, tmp_path):
    monkeypatch.setattr(morvane, "_http_client", None)
    monkeypatch.setattr(morvane, "_service", None)
    return install(monkeypatch, tmp_path / "home")


def test_service_follows_the_configured_client(fresh):
    first = HttpClient("http://127.0.0.1:9/")
    morvane.init(http=first)
    service = morvane._backtest_service()
    assert service._http is first and morvane._backtest_service() is service
    second = HttpClient("http://127.0.0.1:9/other/")
    morvane.init(http=second)
    assert morvane._backtest_service()._http is second


def test_without_a_client_preparation_says_how_to_set_one_up(fresh):
    with pytest.raises(MorvaneError, match=r"morvane\.init"):
        morvane.prepare_backtest_data()
    with pytest.raises(FileNotFoundError, match="prepare_backtest_data"):
        morvane.load_backtest_data()


def test_backtest_stays_the_subpackage():
    import morvane.backtest

    assert isinstance(morvane.backtest, types.ModuleType)
    assert morvane.backtest_strategy.__doc__.startswith("对目标权重矩阵跑策略回测并出图。")


def test_warnings_users_need_have_their_own_class():
    import warnings

    from morvane import exceptions

    assert (
        morvane.MorvaneWarning is exceptions.MorvaneWarning and "MorvaneWarning" in morvane.__all__
    )
    assert issubclass(morvane.MorvaneWarning, UserWarning)  # shown by default, filterable as one
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=morvane.MorvaneWarning)
        morvane.logger.warn_user("不会显示: %s", "x")  # a filter silences them like any warning
