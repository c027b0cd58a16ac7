"""Bars per second over many symbols: one thread, by= over threads, Dask.

Runs the ten-feature pipeline (examples/features.toml) over SYMBOLS symbols of
BARS bars each and prints bars/second for
  - sarvek.compute_features(..., by="symbol", workers=1)   one thread
  - sarvek.compute_features(..., by="symbol", workers=2)   two threads
  - sarvek.dask.compute_features on a LocalCluster of 2 worker processes
    (one symbol per partition, bars generated on the workers, results reduced
    to a checksum there, so only the work is timed, not the transfer home)
and the same for the pipeline without Ema and Kama (finite memory: cut in
time pieces instead of gathering whole symbols). Then the scheduler's cost
per task: many trivial tasks on the same cluster.

Last, a folder already partitioned by symbol (symbol=XYZ/part-0.parquet, one
file per symbol, in a temporary folder): sarvek.dask.compute_dataset on the
same cluster, where each task reads its symbol's file, computes it in its
worker and writes its output file (nothing is moved between processes),
against the same job on one thread in this process (Dask's synchronous
scheduler: every file read, computed and written in turn) and against one
thread computing the same bars already in memory (no reading or writing),
on the cluster of two worker processes and on two worker threads in one
process. Its time is split
into reading and writing alone (a pipeline of one trivial feature) and the
rest. With --partitioned only this part runs.

With --time-chunked (and only then), the ten features over a dataset cut
into CHUNKS time chunks of all symbols each: sarvek.dask gathering each
bucket's whole histories against handing states on (carry_state=True).

    PYTHONPATH=build/dev:src python3 bench/dask_bench.py [SYMBOLS [BARS]] [--partitioned]
    PYTHONPATH=build/dev:src python3 bench/dask_bench.py SYMBOLS BARS CHUNKS --time-chunked
"""

import os
import shutil
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import sarvek
import sarvek.dask as sdask

HERE = os.path.dirname(os.path.abspath(__file__))
FEATURES = os.path.join(HERE, "..", "examples", "features.toml")


def symbol_bars(k: int, bars: int) -> pd.DataFrame:
    rng = np.random.default_rng(1000 + k)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.001, bars)))
    open_ = close * np.exp(rng.normal(0.0, 0.0005, bars))
    spread = np.exp(np.abs(rng.normal(0.0, 0.0005, bars)))
    frame = pd.DataFrame(
        {
            "symbol": f"S{k:04d}",
            "open": open_,
            "high": np.maximum(open_, close) * spread,
            "low": np.minimum(open_, close) / spread,
            "close": close,
        },
        index=pd.date_range("2020-01-01", periods=bars, freq="min", name="time"),
    )
    return frame


def checksum(frame: pd.DataFrame) -> pd.DataFrame:
    values = frame.drop(columns="symbol").to_numpy()
    return pd.DataFrame({"rows": [len(frame)], "finite": [int(np.isfinite(values).sum())]})


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def piece_phases(source, payload, outputs, out):
    """One file of the partitioned folder as a compute_dataset task handles
    it, timed by phase: wall seconds of read, compute, write, and the CPU
    seconds this process got over the three."""
    import pyarrow as pa

    from sarvek import dask as on_dask

    wanted = ["symbol", "open", "high", "low", "close"]
    cpu, start = time.process_time(), time.perf_counter()
    frame = on_dask._read_piece(source, "symbol", wanted[1:], wanted, wanted)
    read = time.perf_counter()
    values, present = on_dask._compute_array("features", payload, "symbol", frame, ("index", "time"), None, True,
                                             pooled=True)
    computed = time.perf_counter()
    table = pa.Table.from_pandas(frame[["symbol"]], preserve_index=True)
    on_dask._write_table(on_dask._with_outputs(table, outputs, values, present), out)
    done = time.perf_counter()
    return read - start, computed - read, done - computed, time.process_time() - cpu


def partitioned(client, symbols: int, bars: int) -> None:
    """compute_dataset over a folder of one file per symbol against one
    thread over the same bars in memory."""
    total = symbols * bars
    ten = sarvek.load_pipeline(FEATURES)
    trivial = {"input_columns": ["close"],
               "features": [{"type": "Sma", "inputs": ["close"], "window": 1, "outputs": ["same"]}]}
    folder = tempfile.mkdtemp(prefix="sarvek-dask-bench-")
    try:
        source = os.path.join(folder, "bars")
        for k in range(symbols):
            where = os.path.join(source, f"symbol=S{k:04d}")
            os.makedirs(where)
            symbol_bars(k, bars).drop(columns="symbol").to_parquet(os.path.join(where, "part-0.parquet"))
        data = pd.read_parquet(source)
        data["symbol"] = data["symbol"].astype(str)
        one, _ = timed(lambda: sarvek.compute_features(ten, data, by="symbol", workers=1))
        del data
        print(f"partitioned folder ({symbols} files), one thread in memory: {total / one / 1e6:7.2f} M bars/s "
              f"({one:.2f} s)")
        out = os.path.join(folder, "out")
        import dask

        for label, pipe in (("read + write only", trivial), ("ten features", ten)):
            run = lambda: sdask.compute_dataset(source, [pipe], out, by="symbol", layout="symbols")  # noqa: E731
            # The same job in this process on one thread: each file read,
            # computed and written in turn, Arrow's own decoding and
            # encoding kept to one thread too.
            import pyarrow as pa

            cpus = pa.cpu_count()
            pa.set_cpu_count(1)
            try:
                with dask.config.set(scheduler="sync"):
                    alone = min(timed(run)[0] for _ in range(2))
            finally:
                pa.set_cpu_count(cpus)
            best = min(timed(run)[0] for _ in range(2))
            # Two worker threads in one process (LocalCluster(processes=False)):
            # the tasks release the GIL while Arrow and the engine work.
            import distributed

            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                          dashboard_address=None) as threads, distributed.Client(threads):
                in_threads = min(timed(run)[0] for _ in range(2))
            for kind, seconds in (("processes", best), ("threads", in_threads)):
                print(f"partitioned folder, dask 2 worker {kind:9s}, {label:17s}: {total / seconds / 1e6:7.2f} M bars/s "
                      f"({seconds:.2f} s, best of 2; {alone / seconds:.2f}x the same job on one thread in process "
                      f"({alone:.2f} s); {one / seconds:.2f}x one thread computing in memory; "
                      f"{seconds / symbols * 1e3:.1f} ms per file)")
        assert len(os.listdir(out)) == symbols
        # Where a task's time goes, phase by phase, run as plain futures.
        files = sdask._dataset_files(source, "symbol")
        payload, outputs = sarvek.pipeline_to_dict(ten), list(ten.output_names())
        os.makedirs(os.path.join(folder, "phases"))
        targets = [os.path.join(folder, "phases", f"{k}.parquet") for k in range(len(files))]
        start = time.perf_counter()
        phases = np.array(client.gather(client.map(piece_phases, files, [payload] * len(files),
                                                   [outputs] * len(files), targets, pure=False)))
        elapsed = time.perf_counter() - start
        read, compute, write, cpu = phases.mean(axis=0) * 1e3
        busy = phases[:, :3].sum() / 2
        print(f"per task (ms, mean of {len(files)}): read {read:.1f}, compute {compute:.1f}, write {write:.1f}; "
              f"CPU {cpu:.1f} of {read + compute + write:.1f} wall; one thread in memory "
              f"{one / symbols * 1e3:.1f} per symbol; workers busy {busy / elapsed:.0%} of {elapsed:.2f} s")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def time_chunk(c: int, symbols: int, length: int) -> pd.DataFrame:
    """Time chunk c of a dataset laid out by time: ``length`` minutes of
    every symbol, in time order (symbols interleaved), as an exchange's
    daily files hold them."""
    rng = np.random.default_rng(c)
    shape = (length, symbols)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.001, shape), axis=0))
    open_ = close * np.exp(rng.normal(0.0, 0.0005, shape))
    spread = np.exp(np.abs(rng.normal(0.0, 0.0005, shape)))
    minutes = pd.date_range("2020-01-01", periods=length, freq="min") + pd.Timedelta(minutes=c * length)
    return pd.DataFrame(
        {
            "symbol": np.tile(np.array([f"S{k:04d}" for k in range(symbols)], dtype=object), length),
            "open": open_.ravel(),
            "high": np.maximum(open_, close).ravel() * spread.ravel(),
            "low": np.minimum(open_, close).ravel() / spread.ravel(),
            "close": close.ravel(),
        },
        index=pd.DatetimeIndex(np.repeat(minutes.to_numpy(), symbols), name="time"),
    )


def time_chunked(client, symbols: int, bars: int, chunks: int) -> None:
    """The unbounded-memory pipeline (Ema, Kama) over a dataset cut into
    time chunks: whole histories gathered per bucket of symbols against
    states handed from chunk to chunk (carry_state=True), each against one
    thread in this process over the same bars."""
    import dask.dataframe as dd

    ten = sarvek.load_pipeline(FEATURES)
    length = bars // chunks
    total = symbols * length * chunks
    data = pd.concat([time_chunk(c, symbols, length) for c in range(chunks)])
    one, _ = timed(lambda: sarvek.compute_features(ten, data, by="symbol", workers=1))
    del data
    ddf = dd.from_map(time_chunk, range(chunks), args=[symbols, length], meta=time_chunk(0, 1, 0))
    gen, _ = timed(lambda: ddf.map_partitions(len).compute())
    print(f"time chunks: {symbols} symbols x {chunks} chunks of {length} bars; one thread in process "
          f"{total / one / 1e6:.2f} M bars/s ({one:.2f} s); generating on the workers {gen:.2f} s")
    for label, kw in (("gathered per bucket", {}), ("states handed on", {"carry_state": True})):
        lazy = sdask.compute_features(ddf, ten, by="symbol", **kw)
        reduced = lazy.map_partitions(checksum, meta={"rows": "i8", "finite": "i8"})
        best = None
        for _ in range(2):
            client.run(lambda: __import__("gc").collect())
            seconds, sums = timed(lambda: reduced.compute())
            assert int(sums["rows"].sum()) == total
            best = seconds if best is None else min(best, seconds)
        net = max(best - gen, 1e-9)
        tasks = len(lazy.__dask_graph__())
        print(f"  dask 2 workers, {label:20s}: {best:.2f} s, {net:.2f} s without generation "
              f"({one / net:.2f}x one thread; {tasks} tasks)")


def main() -> None:
    import dask.dataframe as dd
    import distributed

    args = [a for a in sys.argv[1:] if a not in ("--partitioned", "--time-chunked")]
    only_partitioned = "--partitioned" in sys.argv[1:]
    only_chunked = "--time-chunked" in sys.argv[1:]
    symbols = int(args[0]) if len(args) > 0 else 200
    bars = int(args[1]) if len(args) > 1 else 100_000
    total = symbols * bars
    if only_chunked:
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        )
        with cluster, distributed.Client(cluster) as client:
            time_chunked(client, symbols, bars, int(args[2]) if len(args) > 2 else 20)
        return
    if only_partitioned:
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        )
        with cluster, distributed.Client(cluster) as client:
            partitioned(client, symbols, bars)
        return
    ten = sarvek.load_pipeline(FEATURES)
    document = sarvek.pipeline_to_dict(ten)
    finite = dict(document, features=[f for f in document["features"] if f["type"] not in ("Ema", "Kama")])
    engine = "columnar, lock released" if hasattr(ten, "_run_columns") else "run_research fallback"
    print(f"{symbols} symbols x {bars} bars = {total:,} bars; engine: {engine}; {os.cpu_count()} cores")

    data = pd.concat([symbol_bars(k, bars) for k in range(symbols)])
    rates = {}
    for label, pipe in (("ten features", ten), ("finite (no Ema/Kama)", finite)):
        for workers in (1, 2):
            seconds, out = timed(lambda: sarvek.compute_features(pipe, data, by="symbol", workers=workers))
            rates[(label, workers)] = total / seconds
            print(f"{label:22s} by= {workers} thread(s): {total / seconds / 1e6:7.2f} M bars/s  ({seconds:.2f} s)")
    del data, out

    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    )
    client = distributed.Client(cluster)
    try:
        ddf = dd.from_map(symbol_bars, range(symbols), args=[bars], meta=symbol_bars(0, 0))
        gen, _ = timed(lambda: ddf.map_partitions(len).compute())
        print(f"generating the bars on the workers alone: {gen:.2f} s")
        for label, pipe in (("ten features", ten), ("finite (no Ema/Kama)", finite)):
            lazy = sdask.compute_features(ddf, pipe, by="symbol")
            reduced = lazy.map_partitions(checksum, meta={"rows": "i8", "finite": "i8"})
            seconds, sums = timed(lambda: reduced.compute())
            assert int(sums["rows"].sum()) == total
            net = max(seconds - gen, 1e-9)
            print(
                f"{label:22s} dask 2 workers:    {total / seconds / 1e6:7.2f} M bars/s  ({seconds:.2f} s; "
                f"{total / net / 1e6:.2f} M bars/s without generation, "
                f"{total / net / rates[(label, 1)]:.2f}x one thread)"
            )
        count = 4000
        seconds, _ = timed(lambda: client.gather(client.map(int, range(count), pure=False)))
        print(f"scheduler cost per trivial task: {seconds / count * 1e3:.2f} ms ({count} tasks)")
        small = dd.from_pandas(pd.concat([symbol_bars(k, 50) for k in range(20)]), npartitions=200, sort=False)
        lazy = sdask.compute_features(small, finite, by="symbol")
        tasks = len(lazy.__dask_graph__())
        seconds, _ = timed(lambda: lazy.compute())
        print(f"sarvek.dask per task (200 tiny time pieces, {tasks} tasks): {seconds / tasks * 1e3:.2f} ms")
        partitioned(client, symbols, bars)
    finally:
        client.close()
        cluster.close()


if __name__ == "__main__":
    main()
