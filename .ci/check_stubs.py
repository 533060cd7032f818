"""Compares the stubs a build generated with the committed reference stubs.

The stubs of morvane.backtest's extension modules are generated from the
bindings at build time, so a renamed argument, a lost default or a changed
return type shows in them. This script prints a unified diff for every stub
that differs from its reference in .ci/reference_stubs/ (kept as
``<module>.pyi.txt``, so that tools reading the tree's code do not count
them twice) and exits 1, so that
such a change fails the CI until the references are updated on purpose (with
``--update``) and the change is seen in review.

Usage:
    python .ci/check_stubs.py [SOURCE] [--update]

SOURCE is a built wheel (.whl) or a folder holding the ``morvane`` package;
without it, the stubs of the morvane installed for this interpreter are read.
"""

from __future__ import annotations

import argparse
import difflib
import sys
import zipfile
from pathlib import Path

REFERENCE = Path(__file__).resolve().parent / "reference_stubs"
STUB_FOLDER = "morvane/backtest"
SUFFIX = ".txt"  # after the stub's own name: _core.pyi.txt


def read_wheel(wheel: Path) -> dict[str, str]:
    """The generated stubs inside a wheel, by file name."""
    with zipfile.ZipFile(wheel) as archive:
        return {
            Path(name).name: archive.read(name).decode("utf-8")
            for name in archive.namelist()
            if name.startswith(STUB_FOLDER + "/") and name.endswith(".pyi")
        }


def read_folder(root: Path) -> dict[str, str]:
    """The generated stubs of the morvane package found under a folder."""
    return {
        path.name: path.read_text("utf-8") for path in sorted((root / STUB_FOLDER).glob("*.pyi"))
    }


def installed_root() -> Path:
    """The folder holding the morvane installed for this interpreter."""
    import importlib.util

    found = importlib.util.find_spec("morvane")
    if found is None or not found.submodule_search_locations:
        raise SystemExit("check_stubs: morvane is not installed for this interpreter")
    return Path(next(iter(found.submodule_search_locations))).parent


def generated_stubs(source: str | None) -> dict[str, str]:
    """The stubs to check, from a wheel, a folder or the installed package."""
    if source is None:
        stubs = read_folder(installed_root())
    elif source.endswith(".whl"):
        stubs = read_wheel(Path(source))
    else:
        stubs = read_folder(Path(source))
    if not stubs:
        raise SystemExit(
            f"check_stubs: no stubs under {STUB_FOLDER} in {source or 'the installed morvane'}"
        )
    return stubs


def differences(stubs: dict[str, str]) -> list[str]:
    """Unified diffs, reference first, for every stub that is new, gone or changed."""
    references = {
        path.name.removesuffix(SUFFIX): path.read_text("utf-8")
        for path in sorted(REFERENCE.glob("*.pyi" + SUFFIX))
    }
    diffs = []
    for name in sorted(references.keys() | stubs.keys()):
        expected = references.get(name, "")
        actual = stubs.get(name, "")
        if expected != actual:
            diffs.extend(
                difflib.unified_diff(
                    expected.splitlines(keepends=True),
                    actual.splitlines(keepends=True),
                    fromfile=f"reference/{name}" if name in references else "/dev/null",
                    tofile=f"generated/{name}" if name in stubs else "/dev/null",
                )
            )
    return diffs


def update(stubs: dict[str, str]) -> None:
    """Makes the reference stubs those given (removing references of gone modules)."""
    REFERENCE.mkdir(exist_ok=True)
    for path in REFERENCE.glob("*.pyi" + SUFFIX):
        if path.name.removesuffix(SUFFIX) not in stubs:
            path.unlink()
    for name, text in stubs.items():
        (REFERENCE / (name + SUFFIX)).write_text(text, "utf-8")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source", nargs="?", help="a wheel or a folder holding the morvane package")
    parser.add_argument(
        "--update", action="store_true", help="make the generated stubs the references"
    )
    args = parser.parse_args()
    stubs = generated_stubs(args.source)
    if args.update:
        update(stubs)
        print(f"check_stubs: {len(stubs)} reference stubs written to {REFERENCE}")
        return 0
    diffs = differences(stubs)
    if diffs:
        sys.stdout.writelines(diffs)
        print(
            "check_stubs: the generated stubs differ from the references above; if the change of "
            "the bindings is meant, run `python .ci/check_stubs.py --update` and commit the result",
            file=sys.stderr,
        )
        return 1
    print(f"check_stubs: {len(stubs)} stubs match the references")
    return 0


if __name__ == "__main__":
    sys.exit(main())
