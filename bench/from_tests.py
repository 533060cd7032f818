"""The tests' shared helpers the benchmarks use: the reference transcriptions and the synthetic market.

They live under tests/ (out of the installed package) and are written once for both:
the tests compare against them, the benchmarks time them and build their data with them.
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from reference import stats as reference_stats  # noqa: E402
from reference.engine import MARKET_KEYS, reference_daily_return  # noqa: E402
from service_world import market_payload  # noqa: E402

__all__ = ["MARKET_KEYS", "market_payload", "reference_daily_return", "reference_stats"]
