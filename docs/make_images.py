"""Regenerates the README's images: runs the demo and shrinks its charts.

    python docs/make_images.py

The charts are drawn at print resolution; the README needs them a screen wide,
so each is scaled to at most 1,400 pixels and stored with a 128-colour palette.
"""

from __future__ import annotations

import tempfile
from pathlib import Path

from PIL import Image

from morvane.cli.demo import run_demo

WIDEST = 1400
CHARTS = {
    "synthetic_alpha.png": "factor_backtest.png",
    "synthetic_alpha_tear_sheet.png": "factor_tear_sheet.png",
    "synthetic_alpha_top_group.png": "strategy_backtest.png",
    "synthetic_alpha_top_group_weekly_net_value.png": "strategy_weekly_net_value.png",
}


def main() -> None:
    target = Path(__file__).resolve().parent / "images"
    target.mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        run_demo(Path(folder))
        for source, name in CHARTS.items():
            image = Image.open(Path(folder) / source).convert("RGB")
            scale = min(1.0, WIDEST / max(image.size))
            if scale < 1.0:
                image = image.resize((round(image.width * scale), round(image.height * scale)), Image.LANCZOS)
            image.quantize(colors=128, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save(
                target / name, optimize=True)
            print(target / name, (target / name).stat().st_size // 1024, "KiB")


if __name__ == "__main__":
    main()
