"""Writes examples/sample_bars.csv: 500 synthetic OHLCV bars from a seeded
random walk, with a few gaps (empty cells) where a feed dropped a value.

The file is shipped; rerun this script only to regenerate it.
"""
import csv
import math
import pathlib
import random


def main() -> None:
    rng = random.Random(20261208)
    close = 100.0
    rows = []
    for i in range(500):
        open_ = close * math.exp(rng.gauss(0, 0.002))
        close = open_ * math.exp(rng.gauss(0.0001, 0.01))
        high = max(open_, close) * math.exp(abs(rng.gauss(0, 0.004)))
        low = min(open_, close) * math.exp(-abs(rng.gauss(0, 0.004)))
        volume = round(rng.lognormvariate(10, 0.5))
        rows.append([i, open_, high, low, close, volume])
    for i in (137, 138, 301):  # gaps: the feed lost the close
        rows[i][4] = None
    path = pathlib.Path(__file__).with_name("sample_bars.csv")
    with path.open("w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["bar", "open", "high", "low", "close", "volume"])
        for r in rows:
            w.writerow([r[0]] + ["" if v is None else f"{v:.6f}" for v in r[1:5]] + [r[5]])


if __name__ == "__main__":
    main()
