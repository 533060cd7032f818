"""The CI's stub check: a changed, new or lost stub is a readable diff; --update accepts it."""

from __future__ import annotations

import importlib.util
import zipfile
from pathlib import Path
from types import ModuleType

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / ".ci" / "check_stubs.py"


@pytest.fixture
def check_stubs(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> ModuleType:
    location = importlib.util.spec_from_file_location("check_stubs", SCRIPT)
    assert location is not None and location.loader is not None
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    monkeypatch.setattr(module, "REFERENCE", tmp_path / "reference")
    return module


def built_package(root: Path, stubs: dict[str, str]) -> Path:
    folder = root / "morvane" / "backtest"
    folder.mkdir(parents=True)
    for name, text in stubs.items():
        (folder / name).write_text(text, "utf-8")
    return root


def test_a_renamed_argument_and_a_lost_default_show_in_the_diff(
    check_stubs: ModuleType, tmp_path: Path
) -> None:
    old = {
        "_core.pyi": "def run(weights: object, fee: float = 0.0003) -> None: ...\n",
        "_store.pyi": "def load() -> None: ...\n",
    }
    check_stubs.update(old)
    new = {
        "_core.pyi": "def run(strategy: object, fee: float) -> None: ...\n",
        "_prepare.pyi": "def build() -> None: ...\n",
    }
    diff = "".join(
        check_stubs.differences(check_stubs.read_folder(built_package(tmp_path / "build", new)))
    )
    assert "-def run(weights: object, fee: float = 0.0003) -> None: ...\n" in diff
    assert "+def run(strategy: object, fee: float) -> None: ...\n" in diff
    assert "+++ generated/_prepare.pyi" in diff  # a new module
    assert "--- reference/_store.pyi" in diff and "+++ /dev/null" in diff  # a lost one


def test_equal_stubs_pass_and_update_replaces_the_references(
    check_stubs: ModuleType, tmp_path: Path
) -> None:
    stubs = {"_core.pyi": "x: int\n", "_store.pyi": "y: str\n"}
    check_stubs.update({"_gone.pyi": "z: int\n"})
    check_stubs.update(stubs)
    assert sorted(p.name for p in check_stubs.REFERENCE.iterdir()) == [
        "_core.pyi.txt",
        "_store.pyi.txt",
    ]
    assert check_stubs.differences(stubs) == []


def test_stubs_are_read_from_a_wheel(check_stubs: ModuleType, tmp_path: Path) -> None:
    wheel = tmp_path / "morvane-0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.writestr("morvane/backtest/_core.pyi", "x: int\n")
        archive.writestr("morvane/backtest/result.py", "y = 1\n")
        archive.writestr("morvane/__init__.pyi", "z: int\n")
    assert check_stubs.generated_stubs(str(wheel)) == {"_core.pyi": "x: int\n"}
