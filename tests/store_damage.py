"""Ways a dataset file of a store gets damaged, as an unlucky user meets them."""

from __future__ import annotations

import pickle
import struct
from collections.abc import Callable
from pathlib import Path


def data_file(store_dir: Path, key: str) -> Path:
    metadata = pickle.loads((store_dir / "metadata.pkl").read_bytes())
    return store_dir / metadata["datasets"][key]["file"]


def data_offset(path: Path) -> tuple[int, int]:
    """The offset of the first stored cell and the bytes of one stored row (header fields, 8-byte cells)."""
    header = path.read_bytes()[:128]
    (width,) = struct.unpack_from("<I", header, 20)
    row_capacity, col_capacity = struct.unpack_from("<QQ", header, 40)
    labels_end = 128 + row_capacity * 8 + col_capacity * width + row_capacity * 8
    return (labels_end + 4095) // 4096 * 4096, col_capacity * 8


def deleted(path: Path) -> None:
    path.unlink()


def truncated(path: Path) -> None:
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])


def flipped_cells(path: Path, row: int = 1) -> None:
    """One exponent bit flipped in every stored cell of one day (a float64 dataset)."""
    start, row_bytes = data_offset(path)
    data = bytearray(path.read_bytes())
    for cell in range(start + row * row_bytes, start + (row + 1) * row_bytes, 8):
        data[cell + 6] ^= 0x10
    path.write_bytes(bytes(data))


def folder_in_its_place(path: Path) -> None:
    path.unlink()
    path.mkdir()
    (path / "stray").write_bytes(b"x")


DAMAGES: dict[str, Callable[[Path], None]] = {
    "deleted": deleted,
    "truncated": truncated,
    "flipped-cells": flipped_cells,
    "folder": folder_in_its_place,
}
