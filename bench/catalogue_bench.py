"""The catalogue's feature and target classes, one at a time, against TA-Lib and pandas.

One process, one set of seeded random OHLCV bars (1,000,000 by default). For
every class of the catalogue that this build of ``sarvek`` has, a pipeline of
that one class is timed (best of 5) through

  - the column engine: ``FeaturePipeline._run_columns`` (``TargetPipeline``
    for the targets) on a float64 (bars, k) array, numpy.asarray() of the
    result;
  - ``sarvek.compute_features`` / ``compute_targets`` from a pandas frame of
    all five columns, for context (picking columns and building the frame
    back is part of it);
  - its TA-Lib equivalent, where TA-Lib has one;
  - its pandas equivalent: rolling std/min/max/quantile/rank/corr, ewm for the
    recursions, vectorised formulas for the rest (NumPy for the targets);
  - bottleneck's moving window, where it has one (std, min, max, rank);

at window 20, and also at window 200 for RollingMin/Max/Quantile/Rank. It
prints ns per bar, the ratios engine/peer and a verdict against the targets:

  - a windowed feature within 2x of TA-Lib at window 20;
  - RollingMin/Max/Quantile/Rank faster than pandas' rolling, at 20 and 200;
  - the recursions (Rsi, Atr, Macd, Obv) within 1.5x of TA-Lib.

Classes this build does not have are listed as "not built"; a peer library
that is not installed is named and its columns left empty. The peers compute
the same kind of quantity at the same cost, not necessarily the same numbers
(ddof, seeding of the recursions and the like may differ).

    PYTHONPATH=build/dev:src python3 bench/catalogue_bench.py [--quick] [bars]

--quick: 100,000 bars, best of 3 (the smoke test's setting).
"""

import argparse
import importlib
import math
import os
import platform
import re
import sys
import time

import numpy as np
import pandas as pd

import _sarvek
import sarvek

COLUMNS = ["open", "high", "low", "close", "volume"]
WINDOW = 20
WIDE = 200
HORIZON = 20

FEATURES = [
    "RollingStd", "ZScore", "RollingMin", "RollingMax", "RollingQuantile", "RollingRank", "RollingCorrelation",
    "Wma", "Rsi", "Macd", "Stochastic", "Cci", "Atr", "BollingerBands", "GarmanKlassVolatility",
    "YangZhangVolatility", "DonchianChannel", "Vwap", "Obv", "Mfi",
]
TARGETS = ["FutureExtremes", "FutureDirection", "TripleBarrier"]
ALSO_WIDE = {"RollingMin", "RollingMax", "RollingQuantile", "RollingRank"}
RECURSIONS = {"Rsi", "Atr", "Macd", "Obv"}

# Inputs by position, used when a class's description does not list them.
INPUTS = {
    "RollingCorrelation": ["close", "open"],
    "Vwap": ["close", "volume"],
    "Stochastic": ["high", "low", "close"],
    "Cci": ["high", "low", "close"],
    "Atr": ["high", "low", "close"],
    "Mfi": ["high", "low", "close", "volume"],
    "GarmanKlassVolatility": ["high", "low", "open", "close"],
    "YangZhangVolatility": ["high", "low", "open", "close"],
    "DonchianChannel": ["high", "low"],
    "Obv": ["close", "volume"],
    "FutureExtremes": ["close"],
    "TripleBarrier": ["close"],
}
# Inputs by how many a class reads, when the table above does not fit.
BY_COUNT = {1: ["close"], 2: ["high", "low"], 3: ["high", "low", "close"], 4: ["open", "high", "low", "close"],
            5: COLUMNS}
# What a role named in a description reads from the bars.
ROLES = {"open": "open", "high": "high", "low": "low", "close": "close", "volume": "volume",
         "price": "close", "x": "close", "y": "open"}
# Names a class's window (or a target's horizon) goes by.
SPANS = ("window", "horizon", "period", "lookback", "length")
# Values for parameters without a default.
REQUIRED = {"fast": 12, "slow": 26, "signal": 9}


def make_bars(n, seed=20240601):
    """Seeded random-walk OHLCV: positive prices, high >= max(open, close),
    low <= min(open, close), volume > 0."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    open_ = np.concatenate([[100.0], close[:-1]]) * np.exp(rng.normal(0.0, 0.002, n))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.004, n)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.004, n)))
    volume = np.round(rng.lognormal(10.0, 0.5, n)) + 1.0
    return {"open": open_, "high": high, "low": low, "close": close, "volume": volume}


def best_of(repeat, fn):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def optional(module):
    try:
        return importlib.import_module(module)
    except ImportError:
        return None


# ------------------------------------------------------- building a class


def describe(name):
    for entry in _sarvek._catalog():
        if entry["name"] == name:
            return entry
    return None


def listed(constraint):
    """The names in the brackets of a description such as
    'must contain exactly 3 names: [high, low, close]', or None."""
    found = re.search(r"\[([^\]]*)\]", constraint or "")
    if not found:
        return None
    return [part.strip() for part in found.group(1).split(",") if part.strip()]


def stand_in(param):
    """A value for a required parameter this bench does not know: the smallest
    whole number allowed (at least 2), or 0.02 (a 2% barrier or threshold)
    when that is in range."""
    if param["type"] == "count":
        return max(int(param.get("minimum") or 0), 2)
    if param["type"] == "real":
        low, high = param.get("range") or (-math.inf, math.inf)
        return 0.02 if low <= 0.02 <= high else low
    raise LookupError(f"required parameter {param['name']!r} of type {param['type']!r} has no value in this bench")


def build(name, cls, span):
    """(instance, input columns, parameter values) for a one-class pipeline,
    or raise LookupError saying why the bench cannot."""
    entry = describe(name)
    params = entry["params"] if entry else []
    reads = entry.get("reads") if entry else None
    produces = (entry.get("produces") if entry else None) or 1
    inputs = None
    outputs = [f"{name.lower()}_{i}" for i in range(produces)]
    for p in params:
        names = listed(p["constraint"])
        if p["name"] == "inputs" and names and all(n.lower() in ROLES for n in names):
            inputs = [ROLES[n.lower()] for n in names]
        if p["name"] == "outputs" and names:
            outputs = [f"{name.lower()}_{n}" for n in names]
    if inputs is None:
        inputs = INPUTS.get(name, ["close"])
        if isinstance(reads, int) and reads != len(inputs):
            inputs = BY_COUNT.get(reads, inputs)
    if not params:  # no description: the usual shape
        return cls(inputs, span, outputs), inputs, {"window": span}
    kwargs, values = {}, {}
    for p in params:
        key = p["name"]
        if key == "inputs":
            kwargs[key] = inputs
        elif key == "input":
            kwargs[key] = inputs[0]
        elif key in SPANS:
            kwargs[key] = span
        elif key == "outputs":
            kwargs[key] = outputs
        elif key == "output":
            kwargs[key] = outputs[0]
        elif p["default"] is None:
            kwargs[key] = REQUIRED[key] if key in REQUIRED else stand_in(p)
        values[key] = kwargs.get(key, p["default"])
    return cls(**kwargs), inputs, values


# --------------------------------------------------------------- the peers
# Each maker takes (bars as NumPy arrays, the same as pandas Series, window,
# parameter values) and returns {peer: callable}. TA-Lib's are left out when
# it is not installed.


def pick(values, names, default):
    for key in names:
        if values.get(key) is not None:
            return values[key]
    return default


def wilder(s, w):
    return s.ewm(alpha=1.0 / w, adjust=False).mean()


def peers_for(name, a, s, w, v, talib, bn):
    o, h, l, c, vol = (a[k] for k in COLUMNS)
    so, sh, sl, sc, sv = (s[k] for k in COLUMNS)
    ddof = pick(v, ("ddof",), 1)
    out = {}

    def add(label, fn):
        out[label] = fn

    if name == "RollingStd":
        add("talib", lambda: talib.STDDEV(c, w, 1.0))
        add("pandas", lambda: sc.rolling(w).std(ddof=ddof).to_numpy())
        add("bottleneck", lambda: bn.move_std(c, w, ddof=ddof))
    elif name == "ZScore":
        add("pandas", lambda: ((sc - sc.rolling(w).mean()) / sc.rolling(w).std(ddof=ddof)).to_numpy())
    elif name == "RollingMin":
        add("talib", lambda: talib.MIN(c, w))
        add("pandas", lambda: sc.rolling(w).min().to_numpy())
        add("bottleneck", lambda: bn.move_min(c, w))
    elif name == "RollingMax":
        add("talib", lambda: talib.MAX(c, w))
        add("pandas", lambda: sc.rolling(w).max().to_numpy())
        add("bottleneck", lambda: bn.move_max(c, w))
    elif name == "RollingQuantile":
        q = float(pick(v, ("q", "quantile", "probability", "level"), 0.5))
        add("pandas", lambda: sc.rolling(w).quantile(q).to_numpy())
        if q == 0.5:
            add("bottleneck", lambda: bn.move_median(c, w))
    elif name == "RollingRank":
        add("pandas", lambda: sc.rolling(w).rank().to_numpy())
        add("bottleneck", lambda: bn.move_rank(c, w))
    elif name == "RollingCorrelation":
        x, y = (a[k] for k in v["_inputs"])
        sx, sy = (s[k] for k in v["_inputs"])
        add("talib", lambda: talib.CORREL(x, y, w))
        add("pandas", lambda: sx.rolling(w).corr(sy).to_numpy())
    elif name == "Wma":
        weights = np.arange(w, 0, -1, dtype=float) / (w * (w + 1) / 2.0)
        add("talib", lambda: talib.WMA(c, w))
        add("pandas", lambda: np.convolve(c, weights, "valid"))
    elif name == "Rsi":
        def rsi():
            d = sc.diff()
            up, down = wilder(d.clip(lower=0.0), w), wilder(-d.clip(upper=0.0), w)
            return (100.0 - 100.0 / (1.0 + up / down)).to_numpy()
        add("talib", lambda: talib.RSI(c, w))
        add("pandas", rsi)
    elif name == "Macd":
        fast, slow, sig = (int(pick(v, (k,), d)) for k, d in (("fast", 12), ("slow", 26), ("signal", 9)))
        def macd():
            line = sc.ewm(span=fast, adjust=False).mean() - sc.ewm(span=slow, adjust=False).mean()
            signal = line.ewm(span=sig, adjust=False).mean()
            return np.column_stack([line, signal, line - signal])
        add("talib", lambda: talib.MACD(c, fast, slow, sig))
        add("pandas", macd)
    elif name == "Stochastic":
        smooth = int(pick(v, ("smooth", "d", "d_window", "signal", "smoothing"), 3))
        def stochastic():
            lo = sl.rolling(w).min()
            k = 100.0 * (sc - lo) / (sh.rolling(w).max() - lo)
            return np.column_stack([k, k.rolling(smooth).mean()])
        add("talib", lambda: talib.STOCHF(h, l, c, w, smooth, 0))
        add("pandas", stochastic)
    elif name == "Cci":
        def cci():
            tp = (h + l + c) / 3.0
            win = np.lib.stride_tricks.sliding_window_view(tp, w)
            mean = win.mean(axis=1)
            mad = np.abs(win - mean[:, None]).mean(axis=1)
            return (tp[w - 1:] - mean) / (0.015 * mad)
        add("talib", lambda: talib.CCI(h, l, c, w))
        add("pandas", cci)
    elif name == "Atr":
        def atr():
            prev = sc.shift(1)
            tr = np.maximum(sh - sl, np.maximum((sh - prev).abs(), (sl - prev).abs()))
            return wilder(tr, w).to_numpy()
        add("talib", lambda: talib.ATR(h, l, c, w))
        add("pandas", atr)
    elif name == "BollingerBands":
        k = float(pick(v, ("k",), 2.0))
        bdd = pick(v, ("ddof",), 0)
        def bands():
            mid, sd = sc.rolling(w).mean(), sc.rolling(w).std(ddof=bdd)
            return np.column_stack([mid, mid + k * sd, mid - k * sd])
        def bands_talib():
            upper, middle, lower = talib.BBANDS(c, w, k, k, 0)
            return middle, upper, lower
        add("talib", bands_talib)
        add("pandas", bands)
    elif name == "GarmanKlassVolatility":
        def gk():
            term = 0.5 * np.log(sh / sl) ** 2 - (2.0 * math.log(2.0) - 1.0) * np.log(sc / so) ** 2
            return np.sqrt(term.rolling(w).mean()).to_numpy()
        add("pandas", gk)
    elif name == "YangZhangVolatility":
        def yz():
            overnight = np.log(so / sc.shift(1))
            intraday = np.log(sc / so)
            rs = np.log(sh / sc) * np.log(sh / so) + np.log(sl / sc) * np.log(sl / so)
            kk = 0.34 / (1.34 + (w + 1) / (w - 1))
            var = overnight.rolling(w).var() + kk * intraday.rolling(w).var() + (1 - kk) * rs.rolling(w).mean()
            return np.sqrt(var).to_numpy()
        add("pandas", yz)
    elif name == "DonchianChannel":
        def donchian_talib():
            upper, lower = talib.MAX(h, w), talib.MIN(l, w)
            return upper, lower, (upper + lower) / 2.0
        def donchian():
            upper, lower = sh.rolling(w).max(), sl.rolling(w).min()
            return np.column_stack([upper, lower, (upper + lower) / 2.0])
        add("talib", donchian_talib)
        add("pandas", donchian)
    elif name == "Vwap":
        add("pandas", lambda: ((sc * sv).rolling(w).sum() / sv.rolling(w).sum()).to_numpy())
    elif name == "Obv":
        add("talib", lambda: talib.OBV(c, vol))
        add("pandas", lambda: (np.sign(sc.diff()).fillna(1.0) * sv).cumsum().to_numpy())
    elif name == "Mfi":
        def mfi():
            tp = (sh + sl + sc) / 3.0
            flow = tp * sv
            change = tp.diff()
            pos = flow.where(change > 0, 0.0).rolling(w).sum()
            neg = flow.where(change < 0, 0.0).rolling(w).sum()
            return (100.0 - 100.0 / (1.0 + pos / neg)).to_numpy()
        add("talib", lambda: talib.MFI(h, l, c, vol, w))
        add("pandas", mfi)
    elif name == "FutureExtremes":
        def extremes():
            ahead_h = np.lib.stride_tricks.sliding_window_view(h[1:], w)
            ahead_l = np.lib.stride_tricks.sliding_window_view(l[1:], w)
            return ahead_h.max(axis=1) / c[:len(ahead_h)] - 1.0, ahead_l.min(axis=1) / c[:len(ahead_l)] - 1.0
        add("numpy", extremes)
    elif name == "FutureDirection":
        add("numpy", lambda: np.sign(c[w:] - c[:-w]))
    elif name == "TripleBarrier":
        add("numpy", lambda: triple_barrier(c, w, 0.02, 0.02))
    if talib is None:
        out.pop("talib", None)
    if bn is None:
        out.pop("bottleneck", None)
    return out


def triple_barrier(c, horizon, up, down, chunk=65536):
    """-1/0/+1 for the barrier each bar's path hits first over the next
    `horizon` bars (0: neither), in chunks to bound the temporaries."""
    n = len(c) - horizon
    label = np.zeros(max(n, 0))
    ahead = np.lib.stride_tricks.sliding_window_view(c[1:], horizon)
    for start in range(0, n, chunk):
        stop = min(n, start + chunk)
        path = ahead[start:stop] / c[start:stop, None] - 1.0
        hit_up, hit_down = path >= up, path <= -down
        first_up = np.where(hit_up.any(axis=1), hit_up.argmax(axis=1), horizon)
        first_down = np.where(hit_down.any(axis=1), hit_down.argmax(axis=1), horizon)
        label[start:stop] = np.sign(first_down - first_up)
    return label


# ------------------------------------------------------------------ verdicts


def verdict(name, span, engine, peer):
    """The targets that apply to this row, each met or missed; a target whose
    peer was not timed (not installed, or no equivalent) is left out."""
    checks = []
    talib_t, pandas_t = peer.get("talib"), peer.get("pandas")
    if name in RECURSIONS:
        if talib_t is not None:
            checks.append(("<=1.5x TA-Lib", engine <= 1.5 * talib_t))
    elif name in FEATURES and span == WINDOW and talib_t is not None:
        checks.append(("<=2x TA-Lib", engine <= 2.0 * talib_t))
    if name in ALSO_WIDE and pandas_t is not None:
        checks.append(("<pandas", engine < pandas_t))
    if not checks:
        return "—"
    word = "meets" if all(ok for _, ok in checks) else "MISSES"
    return f"{word} " + ", ".join(label if ok else f"{label} missed" for label, ok in checks)


def ratio(a, b):
    return f"{a / b:7.2f}" if b else f"{'—':>7s}"


def ns(seconds, n):
    return f"{seconds / n * 1e9:8.1f}" if seconds is not None else f"{'—':>8s}"


# ---------------------------------------------------------------------- main


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bars", nargs="?", type=int, help="number of bars (default 1,000,000; 100,000 with --quick)")
    parser.add_argument("--quick", action="store_true", help="100,000 bars, best of 3")
    args = parser.parse_args(argv)
    n = args.bars or (100_000 if args.quick else 1_000_000)
    repeat = 3 if args.quick else 5

    talib, bn = optional("talib"), optional("bottleneck")
    bars = make_bars(n)
    frame = pd.DataFrame(bars)
    series = {k: frame[k] for k in COLUMNS}

    print(f"bars: {n:,}; best of {repeat}; CPU: {cpu_model()} ({os.cpu_count()} logical); "
          f"SIMD path: {_sarvek._simd_path()}")
    print(f"sarvek {sarvek.__version__}, NumPy {np.__version__}, pandas {pd.__version__}, "
          f"TA-Lib {getattr(talib, '__version__', 'not installed')}, "
          f"bottleneck {getattr(bn, '__version__', 'not installed')}")
    for module, label in ((talib, "TA-Lib (talib)"), (bn, "bottleneck")):
        if module is None:
            print(f"peer skipped: {label} is not installed")

    header = (f"{'class':22s} {'span':>5s} {'engine':>8s} {'frame':>8s} {'talib':>8s} {'pandas':>8s} "
              f"{'bneck':>8s}  {'e/talib':>7s} {'e/pandas':>8s} {'e/bneck':>7s}  verdict")
    print()
    print("ns per bar; engine = _run_columns on a float64 (bars, k) array; frame = compute_features/"
          "compute_targets from pandas; pandas column: NumPy for the targets")
    print(header)
    print("-" * len(header))

    missing, failed, built = [], [], []
    for name in FEATURES + TARGETS:
        cls = getattr(sarvek, name, None)
        if cls is None:
            missing.append(name)
            continue
        is_target = name in TARGETS
        spans = [WINDOW, WIDE] if name in ALSO_WIDE else [HORIZON if is_target else WINDOW]
        for span in spans:
            try:
                instance, inputs, values = build(name, cls, span)
                values["_inputs"] = inputs
                used = list(dict.fromkeys(inputs))
                pipeline = (sarvek.TargetPipeline if is_target else sarvek.FeaturePipeline)([instance], used)
                block = np.ascontiguousarray(np.column_stack([bars[k] for k in used]))
                run = sarvek.compute_targets if is_target else sarvek.compute_features
                np.asarray(pipeline._run_columns(block))  # once each before timing
                run(pipeline, frame)
                if span == spans[0]:
                    built.append(repr(instance))
            except Exception as exc:  # noqa: BLE001 - a class the bench cannot drive is reported, not fatal
                failed.append(f"{name}({span}): {type(exc).__name__}: {exc}")
                continue
            engine = best_of(repeat, lambda: np.asarray(pipeline._run_columns(block)))
            whole = best_of(repeat, lambda: run(pipeline, frame))
            timed = {}
            for peer, fn in peers_for(name, bars, series, span, values, talib, bn).items():
                try:
                    timed["pandas" if peer == "numpy" else peer] = best_of(repeat, fn)
                except Exception as exc:  # noqa: BLE001 - reported below, the other rows still run
                    failed.append(f"the {peer} peer of {name}({span}): {type(exc).__name__}: {exc}")
            talib_t, pandas_t, bn_t = timed.get("talib"), timed.get("pandas"), timed.get("bottleneck")
            shown = str(span) if any(k in values for k in SPANS) else "—"  # Macd, Obv: none
            print(f"{name:22s} {shown:>5s} {ns(engine, n)} {ns(whole, n)} {ns(talib_t, n)} {ns(pandas_t, n)} "
                  f"{ns(bn_t, n)}  {ratio(engine, talib_t)} {ratio(engine, pandas_t):>8s} {ratio(engine, bn_t)}  "
                  f"{verdict(name, span, engine, timed)}", flush=True)

    print()
    print("timed as: " + "; ".join(built))
    if missing:
        print()
        print(f"not built ({len(missing)}): {', '.join(missing)}")
    if failed:
        print()
        for line in failed:
            print(f"could not run {line}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
