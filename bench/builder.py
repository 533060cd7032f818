"""Full build of the prepared data from the synthetic market, and a 20-day window.

Prints the builder's own time (total minus the client's calls), and the peak
RSS of a child process above its level once the client's world exists,
against the payload size (sum of nbytes). Goals: builder time under 10 s for
2,500 days x 5,000 stocks, peak memory under 3x the payload.

    python bench/builder.py [--stocks 5000] [--start 20150105] [--end 20241231]
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import threading
import time

import psutil


class TimedClient:
    """Wraps a data client and sums the time spent in its calls."""

    def __init__(self, inner):
        self.inner = inner
        self.seconds = 0.0

    def _timed(self, method, **kwargs):
        start = time.perf_counter()
        try:
            return getattr(self.inner, method)(**kwargs)
        finally:
            self.seconds += time.perf_counter() - start

    def get_factors(self, **kwargs):
        return self._timed("get_factors", **kwargs)

    def get_index_daily(self, **kwargs):
        return self._timed("get_index_daily", **kwargs)


def payload_bytes(payload) -> int:
    total = 0
    for key, value in payload["data"].items():
        if key == "benchmark_dict":
            total += sum(s.to_numpy().nbytes for s in value.values())
        else:
            total += value.to_numpy().nbytes
    return total


def run(stocks: int, start: str, end: str, queue) -> None:
    import tempfile

    from morvane.backtest._prepare import (
        BinaryPreparedDataStore,
        GroupPreparedDataBuilder,
        build_incremental_write_window,
    )
    from morvane.clients import SyntheticMarketClient
    from morvane.singleton import set_instance

    client = TimedClient(
        SyntheticMarketClient(seed=0, n_stocks=stocks, start_date=start, end_date=end)
    )
    set_instance(client)
    process = psutil.Process()
    base = process.memory_info().rss
    peak = [base]
    stop = threading.Event()

    def sample():
        while not stop.is_set():
            peak[0] = max(peak[0], process.memory_info().rss)
            time.sleep(0.01)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    t0 = time.perf_counter()
    payload = GroupPreparedDataBuilder(start, end).build()
    total = time.perf_counter() - t0
    full_client = client.seconds
    stop.set()
    sampler.join()
    size = payload_bytes(payload)
    rows = payload["data"]["close_price"].shape
    with tempfile.TemporaryDirectory() as directory:
        store = BinaryPreparedDataStore(directory)
        store.write(payload)
        index = store.load_metadata()["datasets"]["close_price"]["index"]
        del payload
        client.seconds = 0.0
        t1 = time.perf_counter()
        window = build_incremental_write_window(list(index), index[-20], end)
        window_total = time.perf_counter() - t1
        window_client = client.seconds
        store.update_tail(window)
    queue.put(
        dict(
            shape=rows,
            total=total,
            builder=total - full_client,
            payload_mb=size / 2**20,
            peak_mb=(peak[0] - base) / 2**20,
            window_total=window_total,
            window_builder=window_total - window_client,
        )
    )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--start", default="20150105")
    parser.add_argument("--end", default="20241231")
    args = parser.parse_args()
    queue = mp.get_context("spawn").Queue()
    child = mp.get_context("spawn").Process(
        target=run, args=(args.stocks, args.start, args.end, queue)
    )
    child.start()
    result = queue.get()
    child.join()
    print(f"shape {result['shape']}, payload {result['payload_mb']:.0f} MiB")
    print(
        f"full build: total {result['total']:.2f} s, builder {result['builder']:.2f} s (goal < 10 s)"
    )
    print(
        f"peak RSS above the client's world: {result['peak_mb']:.0f} MiB = "
        f"{result['peak_mb'] / result['payload_mb']:.2f}x payload (goal < 3x)"
    )
    print(
        f"20-day window: total {result['window_total']:.2f} s, builder {result['window_builder']:.2f} s"
    )


if __name__ == "__main__":
    main()
