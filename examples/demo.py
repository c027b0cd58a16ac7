"""A short tour of sarvek over the shipped sample bars.

Run after installing the module:  python3 examples/demo.py
"""
import csv
import math
import pathlib

import _sarvek as sv

COLUMNS = ["open", "high", "low", "close", "volume"]


def load_bars():
    path = pathlib.Path(__file__).with_name("sample_bars.csv")
    with path.open(newline="") as f:
        rows = list(csv.DictReader(f))
    # A missing cell travels as NaN.
    return [[float(r[c]) if r[c] else math.nan for c in COLUMNS] for r in rows]


def fmt(values):
    return "  ".join("   nan   " if math.isnan(v) else f"{v:9.4f}" for v in values)


def stream_sma(bars):
    print("== Live: a 20-bar simple moving average of close, one bar per call")
    sma = sv.Sma(["close"], 20, ["sma_20"])
    print(repr(sma), "warm-up", sma.warm_up_period())
    close = COLUMNS.index("close")
    for i, bar in enumerate(bars):
        (value,) = sma.update([bar[close]])
        if i in (0, 18, 19, 20, 137, 157, 158, len(bars) - 1):
            print(f"  bar {i:3d}  close {bar[close]:9.4f}  sma_20 {fmt([value])}")


def main():
    bars = load_bars()
    print(f"{len(bars)} bars of {', '.join(COLUMNS)}\n")
    stream_sma(bars)


if __name__ == "__main__":
    main()
