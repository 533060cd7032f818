"""The charts' PNG encoder (_core._encode_png), read back by an independent decoder: every chunk's
CRC, the zlib stream's own checksum, then the pixels row by row."""

from __future__ import annotations

import struct
import zlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvane.backtest import _core

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def decode(data: bytes) -> tuple[np.ndarray, dict[bytes, bytes]]:
    """Pixels (height x width x 3 or 4) and the non-IDAT chunks of an 8-bit, unfiltered PNG file."""
    assert data[:8] == SIGNATURE
    chunks: dict[bytes, bytes] = {}
    stream = b""
    at = 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at : at + 4])
        kind, body = data[at + 4 : at + 8], data[at + 8 : at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length : at + 12 + length])
        assert crc == zlib.crc32(kind + body), f"bad CRC in {kind!r}"
        if kind == b"IDAT":
            stream += body
        else:
            chunks[kind] = body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunks[b"IHDR"])
    assert depth == 8 and colour in (2, 6) and interlace == 0
    channels = 3 if colour == 2 else 4
    rows = np.frombuffer(zlib.decompress(stream), np.uint8).reshape(height, 1 + width * channels)
    assert (rows[:, 0] == 0).all()  # no row filter
    return rows[:, 1:].reshape(height, width, channels), chunks


def opaque(pixels: np.ndarray) -> np.ndarray:
    out = np.empty(pixels.shape[:2] + (4,), np.uint8)
    out[:, :, :3] = pixels
    out[:, :, 3] = 255
    return out


def chart_like(height: int, width: int, seed: int = 0) -> np.ndarray:
    """Flat panels, grid lines, a jagged line and a patch of noise (antialiased text)."""
    rng = np.random.default_rng(seed)
    image = np.full((height, width, 3), 255, np.uint8)
    image[height // 8 : height * 7 // 8, width // 10 : width * 9 // 10] = (251, 251, 253)
    image[::17, :] = (229, 231, 235)
    image[:, ::23] = (229, 231, 235)
    ys = (height / 2 + height / 4 * np.sin(np.arange(width) / 9)).astype(int)
    image[ys, np.arange(width)] = (37, 99, 235)
    image[: height // 5, : width // 3] = rng.integers(
        0, 256, (height // 5, width // 3, 3), np.uint8
    )
    return opaque(image)


class TestEncodePng:
    @pytest.mark.parametrize(
        ("height", "width"), [(1, 1), (2, 3), (63, 40), (64, 41), (65, 42), (300, 211)]
    )
    def test_pixels_come_back_exactly(self, height, width):
        image = chart_like(height, width, seed=height)
        pixels, chunks = decode(_core._encode_png(image, 145))
        np.testing.assert_array_equal(pixels, image[:, :, :3])
        assert struct.unpack(">IIB", chunks[b"pHYs"]) == (
            5709,
            5709,
            1,
        )  # 145 dpi in pixels per metre
        assert b"IEND" in chunks

    def test_noise_flat_colour_and_transparency(self):
        rng = np.random.default_rng(1)
        noise = rng.integers(0, 256, (150, 97, 4), np.uint8)
        pixels, _ = decode(_core._encode_png(noise, 100))
        np.testing.assert_array_equal(pixels, noise)  # some alpha below 255: RGBA kept
        flat = opaque(np.full((200, 300, 3), (251, 251, 253), np.uint8))
        data = _core._encode_png(flat, 100)
        np.testing.assert_array_equal(decode(data)[0], flat[:, :, :3])
        assert len(data) < 3000  # 180,000 bytes of one colour
        last_alpha = flat.copy()
        last_alpha[-1, -1, 3] = 254  # the very last byte decides RGBA
        np.testing.assert_array_equal(decode(_core._encode_png(last_alpha, 100))[0], last_alpha)

    def test_rows_wider_than_the_window_and_the_same_file_every_time(self):
        # 11,000 RGB pixels a row: the row above lies beyond deflate's 32K window.
        image = chart_like(70, 11_000, seed=3)
        data = _core._encode_png(image, 165)
        np.testing.assert_array_equal(decode(data)[0], image[:, :, :3])
        assert _core._encode_png(image, 165) == data

    def test_about_as_small_as_zlib(self):
        image = chart_like(400, 600)
        rows = np.concatenate(
            [np.zeros((400, 1), np.uint8), image[:, :, :3].reshape(400, -1)], axis=1
        )
        assert (
            len(_core._encode_png(image, 100)) < 1.2 * len(zlib.compress(rows.tobytes(), 1)) + 400
        )

    @settings(max_examples=60, deadline=None)
    @given(
        height=st.integers(1, 140),
        width=st.integers(1, 300),
        colours=st.integers(1, 6),
        run=st.integers(1, 700),
        alpha=st.booleans(),
        seed=st.integers(0, 2**32 - 1),
    )
    def test_any_image_of_runs_and_repeats_comes_back(
        self, height, width, colours, run, alpha, seed
    ):
        # Runs of a few colours give every match length and distance the encoder may choose,
        # including matches that cross rows and the 64-row bands.
        rng = np.random.default_rng(seed)
        palette = rng.integers(0, 256, (colours, 4), np.uint8)
        if not alpha:
            palette[:, 3] = 255
        flat = np.repeat(rng.integers(0, colours, -(-height * width // run)), run)[: height * width]
        image = palette[flat].reshape(height, width, 4)
        pixels, _ = decode(_core._encode_png(image, 96))
        np.testing.assert_array_equal(
            pixels, image if (image[:, :, 3] != 255).any() else image[:, :, :3]
        )

    def test_bad_input_is_named(self):
        with pytest.raises(ValueError, match="rgba"):
            _core._encode_png(np.zeros((4, 4, 3), np.uint8), 100)
        with pytest.raises(TypeError, match="rgba"):
            _core._encode_png(np.zeros((4, 4, 4), np.float64), 100)
        with pytest.raises(TypeError, match="rgba"):
            _core._encode_png(np.zeros((4, 4, 4), np.uint8)[:, ::2], 100)
        with pytest.raises(ValueError, match="dpi"):
            _core._encode_png(np.zeros((4, 4, 4), np.uint8), 0)
        with pytest.raises(ValueError, match="rgba"):
            _core._encode_png(np.zeros((0, 4, 4), np.uint8), 100)
