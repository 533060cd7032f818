"""Preparations and loads in several processes at once."""

from __future__ import annotations

import multiprocessing

from morvane.backtest import _prepare
from morvane.backtest._service import BacktestService
from package_server import package_server, tar_of
from service_workers import fingerprint, load_loop, prepare
from service_world import market_payload, write_store

TODAY = "20240101"  # before the stored dates: no tail refresh in the children


def test_two_processes_preparing_at_once(env, tmp_path):
    folder = tmp_path / "built"
    write_store(folder, market_payload())
    context = multiprocessing.get_context("spawn")
    answers = context.Queue()
    with package_server() as server:
        server.serve_package(tar_of(folder))
        workers = [
            context.Process(target=prepare, args=(str(env.home), server.base_url, TODAY, answers))
            for _ in range(2)
        ]
        for worker in workers:
            worker.start()
        results = [answers.get(timeout=120) for _ in workers]
        for worker in workers:
            worker.join(timeout=30)
        assert results == ["ok", "ok"]
        assert server.routes["/files/package.tar"].hits == 1
    store = _prepare.BinaryPreparedDataStore(env.store_dir)
    assert BacktestService._find_missing_datasets(store) == []
    assert store.load(mmap=False) is not None


def test_loads_during_swaps_see_one_whole_package(env, tmp_path):
    # Packages lacking a component are downloaded again whenever the server
    # offers another one, so every preparation below swaps the folder.
    four = list(_prepare.COMPONENT_FACTOR_NAMES[:4])
    packages, prints = [], set()
    for seed in (1, 2):
        payload = market_payload(seed=seed, components=four)
        folder = tmp_path / f"built{seed}"
        write_store(folder, payload)
        packages.append(tar_of(folder))
        prints.add(fingerprint(payload["data"]))
    context = multiprocessing.get_context("spawn")
    answers, stop = context.Queue(), context.Event()
    with package_server() as server:
        service = BacktestService(server.client())
        server.serve_package(packages[0])
        service.prepare_backtest_data()
        loader = context.Process(target=load_loop, args=(str(env.home), TODAY, stop, answers))
        loader.start()
        for round_ in range(6):
            server.serve_package(packages[(round_ + 1) % 2])
            service.prepare_backtest_data()
        stop.set()
        loads, seen = answers.get(timeout=120)
        loader.join(timeout=30)
    assert loads > 0
    assert {tuple(s) for s in seen} <= prints
