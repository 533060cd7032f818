"""A killed writer leaves the old or the new state; damaged files are MorvaneError.

Writers and damaged-file readers run in subprocesses, so a crash cannot take
the test run down with it and fails the test instead.
"""

from __future__ import annotations

import os
import pickle
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

from morvane.backtest._prepare import BinaryPreparedDataStore
from store_payloads import make_payload, trading_dates

TESTS = Path(__file__).resolve().parent
DATES = trading_dates("2020-01-02", 160)
CODES = [f"{k:06d}" for k in range(1200)]
COMPONENT = "rq_index_components_new_000300.XSHG"

WRITER = r"""
import sys
sys.path.insert(0, sys.argv[3])
from store_payloads import make_payload, trading_dates
from morvane.backtest._prepare import BinaryPreparedDataStore
import pandas as pd
op, directory = sys.argv[1], sys.argv[2]
dates = trading_dates("2020-01-02", 160)
codes = [f"{k:06d}" for k in range(1200)]
store = BinaryPreparedDataStore(directory)
if op == "write":
    payload = make_payload(dates[:150], codes[:1100], seed=11)
elif op == "update_tail":
    payload = make_payload(dates[118:160], codes[100:] + ["990001"], seed=12)
else:
    component = pd.DataFrame(1.0, index=dates[:120], columns=codes)
print("ready", flush=True)
if op == "write":
    store.write(payload)
elif op == "update_tail":
    assert store.update_tail(payload)
else:
    assert store.add_component_matrices({sys.argv[4]: component}, [sys.argv[4]]) == [sys.argv[4]]
print("done", flush=True)
"""


def state_of(directory: Path) -> dict[str, Any]:
    return BinaryPreparedDataStore(directory).load(mmap=False)["data"]


def same_state(a: dict[str, Any], b: dict[str, Any]) -> bool:
    if list(a) != list(b):
        return False
    for key in a:
        if key == "benchmark_dict":
            if list(a[key]) != list(b[key]) or not all(a[key][c].equals(b[key][c]) for c in a[key]):
                return False
        elif not (
            a[key].equals(b[key])
            and a[key].index.equals(b[key].index)
            and a[key].columns.equals(b[key].columns)
        ):
            return False
    return True


def run_writer(script: Path, op: str, directory: Path, kill_after: float | None) -> bool:
    """Runs the writer; kills it `kill_after` seconds into its work. True if it finished."""
    with subprocess.Popen(
        [sys.executable, str(script), op, str(directory), str(TESTS), COMPONENT],
        stdout=subprocess.PIPE,
        text=True,
    ) as child:
        assert child.stdout is not None
        assert child.stdout.readline().strip() == "ready"
        if kill_after is not None:
            time.sleep(kill_after)
            child.send_signal(signal.SIGKILL)
        child.wait(timeout=60)
    return child.returncode == 0


@pytest.fixture(scope="module")
def pristine(tmp_path_factory: pytest.TempPathFactory) -> Path:
    directory = tmp_path_factory.mktemp("pristine") / "store"
    payload = make_payload(DATES[:120], CODES[:1000], seed=10)
    BinaryPreparedDataStore(directory).write(payload)
    return directory


@pytest.mark.parametrize("op", ["write", "update_tail", "add_component_matrices"])
def test_killed_writer_leaves_old_or_new_state(pristine: Path, tmp_path: Path, op: str) -> None:
    script = tmp_path / "writer.py"
    script.write_text(WRITER)
    old = state_of(pristine)
    finished = tmp_path / "finished"
    shutil.copytree(pristine, finished)
    started = time.perf_counter()
    assert run_writer(script, op, finished, None)
    duration = time.perf_counter() - started
    new = state_of(finished)
    assert not same_state(old, new)
    rng = random.Random(op)
    outcomes = set()
    for attempt in range(7):
        target = tmp_path / f"killed{attempt}"
        shutil.copytree(pristine, target)
        completed = run_writer(script, op, target, rng.uniform(0.0, duration))
        state = state_of(target)  # replays a journal the killed writer left
        assert not (target / "journal.wal").exists()
        is_old, is_new = same_state(state, old), same_state(state, new)
        assert is_old or is_new, f"attempt {attempt}: a mix of old and new"
        assert is_new or not completed
        outcomes.add("new" if is_new else "old")
        # the store takes the next writer as usual
        assert BinaryPreparedDataStore(target).update_tail(
            make_payload(DATES[150:152], CODES[:10], seed=attempt)
        )
        leftovers = [p.name for p in target.iterdir() if p.name.startswith(".tmp-")]
        assert leftovers == []


# ------------------------------------------------------------------ damage

READER = r"""
import sys
from morvane.backtest._prepare import BinaryPreparedDataStore
from morvane.exceptions import MorvaneError
store = BinaryPreparedDataStore(sys.argv[1])
try:
    if sys.argv[2] == "metadata":
        store.load_metadata()
    else:
        store.load(mmap=sys.argv[2] == "mmap")
except MorvaneError as error:
    print("MorvaneError", error)
else:
    print("loaded")
"""


def read_in_subprocess(tmp_path: Path, directory: Path, mode: str) -> str:
    script = tmp_path / "reader.py"
    script.write_text(READER)
    result = subprocess.run(
        [sys.executable, str(script), str(directory), mode],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr  # never a crash of the interpreter
    return result.stdout.strip()


def close_file(directory: Path) -> Path:
    metadata = pickle.loads((directory / "metadata.pkl").read_bytes())
    return directory / metadata["datasets"]["close_price"]["file"]


def truncate(path: Path) -> None:
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])


def flip(offset: int):  # type: ignore[no-untyped-def]
    def damage(path: Path) -> None:
        data = bytearray(path.read_bytes())
        data[offset] ^= 0x10
        path.write_bytes(bytes(data))

    return damage


def flip_cell(path: Path) -> None:
    """Flips a bit of one stored close price, found by its bytes."""
    value = make_payload(DATES[:120], CODES[:1000], seed=10)["data"]["close_price"].iloc[60, 500]
    raw = np.float64(value).tobytes()
    data = path.read_bytes()
    assert data.count(raw) == 1
    flip(data.index(raw) + 3)(path)


def bad_magic(path: Path) -> None:
    data = bytearray(path.read_bytes())
    data[0:4] = b"JUNK"
    path.write_bytes(bytes(data))


@pytest.mark.parametrize(
    ("damage", "modes"),
    [
        (truncate, ("mmap", "read")),
        (bad_magic, ("mmap", "read")),
        (flip(40), ("mmap", "read")),  # a header field
        (flip(200), ("mmap", "read")),  # a row label
        (flip_cell, ("mmap", "read")),  # a data cell: rows are verified, mapped or read
    ],
)
def test_damaged_data_file_is_morvane_error(
    pristine: Path, tmp_path: Path, damage: Any, modes: tuple[str, ...]
) -> None:
    directory = tmp_path / "store"
    shutil.copytree(pristine, directory)
    target = close_file(directory)
    damage(target)
    for mode in modes:
        outcome = read_in_subprocess(tmp_path, directory, mode)
        assert outcome.startswith("MorvaneError") and target.name in outcome, outcome


class Payload:
    def __init__(self, marker: str) -> None:
        self.marker = marker

    def __reduce__(self) -> tuple[Any, ...]:
        return (exec, (f"open({self.marker!r}, 'w').write('ran')",))


@pytest.mark.parametrize("kind", ["truncated", "reduce", "set"])
def test_damaged_or_hostile_metadata(pristine: Path, tmp_path: Path, kind: str) -> None:
    directory = tmp_path / "store"
    shutil.copytree(pristine, directory)
    metadata_path = directory / "metadata.pkl"
    marker = tmp_path / "marker"
    if kind == "truncated":
        truncate(metadata_path)
    else:
        metadata = pickle.loads(metadata_path.read_bytes())
        metadata["meta"]["x"] = Payload(str(marker)) if kind == "reduce" else {1, 2}
        metadata_path.write_bytes(pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL))
    for mode in ("metadata", "mmap", "read"):
        outcome = read_in_subprocess(tmp_path, directory, mode)
        assert outcome.startswith("MorvaneError") and "metadata.pkl" in outcome, outcome
    assert not marker.exists()


TIMED_READER = r"""
import sys, time
from morvane.backtest._prepare import BinaryPreparedDataStore
from morvane.backtest._service import BacktestService
from morvane.exceptions import MorvaneError
store = BinaryPreparedDataStore(sys.argv[1])
for call in (store.load_metadata, lambda: store.load(mmap=True), lambda: store.load(mmap=False),
             lambda: BacktestService._find_missing_datasets(store)):
    started = time.perf_counter()
    try:
        call()
    except MorvaneError as error:
        outcome = str(error)
    else:
        outcome = "loaded"
    print(f"{time.perf_counter() - started:.3f} {outcome}")
"""


def nested(levels: int, *, shared: bool) -> list:
    value: list = []
    for _ in range(levels):
        value = [value, value] if shared else [value]
    return value


def holding_itself() -> list:
    value: list = []
    value.append(value)
    return value


@pytest.mark.parametrize(
    ("trap", "why"),
    [
        (lambda: nested(60, shared=True), "展开后超过"),  # 2**60 leaves in a few hundred bytes
        (lambda: nested(100, shared=False), "嵌套超过 64 层"),
        (holding_itself, "含循环引用"),
    ],
    ids=["shared-references", "deep", "cycle"],
)
def test_malformed_metadata_is_refused_at_once(
    pristine: Path, tmp_path: Path, trap: Any, why: str
) -> None:
    directory = tmp_path / "store"
    shutil.copytree(pristine, directory)
    metadata_path = directory / "metadata.pkl"
    metadata = pickle.loads(metadata_path.read_bytes())
    metadata["meta"]["trap"] = trap()
    metadata_path.write_bytes(pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL))
    assert (
        metadata_path.stat().st_size < (pristine / "metadata.pkl").stat().st_size + 4096
    )  # a few bytes more
    script = tmp_path / "timed_reader.py"
    script.write_text(TIMED_READER)
    # The timeout only keeps a regression from hanging the suite; the bound is on each call.
    result = subprocess.run(
        [sys.executable, str(script), str(directory)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    for line in result.stdout.splitlines():
        seconds, outcome = line.split(" ", 1)
        assert f"元信息文件格式错误 ({why}" in outcome and "metadata.pkl" in outcome, outcome
        assert float(seconds) < 0.5, line


def test_writers_refuse_malformed_meta(tmp_path: Path) -> None:
    payload = make_payload(DATES[:5], CODES[:3], seed=1)
    payload["meta"]["trap"] = nested(60, shared=True)
    with pytest.raises(ValueError, match="展开后超过"):
        BinaryPreparedDataStore(tmp_path / "store").write(payload)
    assert not (tmp_path / "store" / "metadata.pkl").exists()


def test_damaged_journal_is_reported_not_replayed(pristine: Path, tmp_path: Path) -> None:
    directory = tmp_path / "store"
    shutil.copytree(pristine, directory)
    (directory / "journal.wal").write_bytes(b"MVNJRNL1" + os.urandom(64))
    outcome = read_in_subprocess(tmp_path, directory, "read")
    assert outcome.startswith("MorvaneError") and "journal.wal" in outcome
    pd.testing.assert_index_equal(
        pd.Index(DATES[:120]),
        pd.Index(
            pickle.loads((directory / "metadata.pkl").read_bytes())["datasets"]["close_price"][
                "index"
            ]
        ),
    )
