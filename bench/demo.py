"""`morvane demo` end to end in this environment, in a fresh process per round.

Prints the interpreter, numpy, pandas and whether pyarrow is installed, then
the best and median wall time of the whole command (start-up, market, store,
both backtests, four charts). Run it in each environment to compare, e.g. the
newest pandas without pyarrow against pandas 2.2 with numpy 1.26:

    python bench/demo.py [--rounds 5]
"""

from __future__ import annotations

import argparse
import importlib.util
import platform
import statistics
import subprocess
import sys
import tempfile
import time


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    import numpy
    import pandas

    arrow = "with pyarrow" if importlib.util.find_spec("pyarrow") else "without pyarrow"
    print(
        f"Python {platform.python_version()}, numpy {numpy.__version__}, pandas {pandas.__version__}, {arrow}"
    )
    seconds = []
    for _ in range(args.rounds):
        with tempfile.TemporaryDirectory() as out:
            start = time.perf_counter()
            subprocess.run(
                [sys.executable, "-m", "morvane", "demo", "--out", out],
                check=True,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
            seconds.append(time.perf_counter() - start)
    print(
        f"morvane demo, 750 days x 800 stocks: best {min(seconds):.2f} s, "
        f"median {statistics.median(seconds):.2f} s over {len(seconds)} rounds"
    )


if __name__ == "__main__":
    main()
