"""The universe filter's mask against the pandas expression it replaces.

The filter keeps the loaded validity mask where the summed membership of the
chosen indices (a cell missing on one side counting as 0, missing only when
missing in every index) is positive and finite, and NaN elsewhere: what
``valid * (members.where(members > 0) * 0 + 1)`` computes.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from morvane.backtest import _service
from morvane.backtest._service import BacktestService

CODES = {
    "000300": "rq_index_components_new_000300.XSHG",
    "000905": "rq_index_components_new_000905.XSHG",
}


def pandas_mask(valid: pd.DataFrame, memberships: list[pd.DataFrame]) -> pd.DataFrame:
    members = None
    for matrix in memberships:
        aligned = matrix.reindex(index=valid.index, columns=valid.columns)
        members = aligned if members is None else members.add(aligned, fill_value=0.0)
    assert members is not None
    return valid * (members.where(members > 0) * 0 + 1)


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize(
    "codes", [["000300"], ["000300", "000905"], ["000905", "000300", "000905"]]
)
def test_mask_equals_the_pandas_expression(seed: int, codes: list[str]) -> None:
    rng = np.random.default_rng(seed)
    dates = [f"202401{d:02d}" for d in range(2, 14)]
    stocks = [f"{k:06d}" for k in range(1, 8)]
    # Values beyond 0 and 1 too (negative, fractional, infinite), so that the
    # sum, the comparison and the infinite factor are what is tested, not a
    # 0/1 shortcut.
    choices = np.array([np.nan, 0.0, 1.0, -1.0, 0.5, 2.0, np.inf])
    valid = pd.DataFrame(
        rng.choice([np.nan, 1.0, 3.5, -2.0, np.inf], size=(12, 7)), index=dates, columns=stocks
    )
    data = {"close_price_valid": valid}
    memberships = {}
    for code in dict.fromkeys(codes):
        # Each index knows its own dates and stocks: some of the valid ones,
        # plus labels the mask does not have.
        rows = sorted(rng.choice(dates, size=9, replace=False)) + ["20240201"]
        cols = sorted(rng.choice(stocks, size=5, replace=False)) + ["999999"]
        matrix = pd.DataFrame(rng.choice(choices, size=(10, 6)), index=rows, columns=cols)
        memberships[code] = matrix
        data[_service.component_dataset_key(CODES[code])] = matrix
    expected = pandas_mask(valid, [memberships[code] for code in codes])
    BacktestService(None)._apply_universe_filter(data, codes, "20240102", "20240113")
    got = data["close_price_valid"]
    pd.testing.assert_frame_equal(got, expected)
