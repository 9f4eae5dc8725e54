"""Growth as a Python program sees it: M int keys inserted into a map that
starts at one chunk of buckets and doubles as it fills, against the same keys
inserted into a map given all its chunks first (by the expansion helper,
before the clock starts). Prints, for both, the total time, the longest
single insert and the 99.99th percentile, and the ratio of the totals.

    python bench/python/bench_growth.py                 # 10,000,000 keys, 2^16 buckets a chunk, 128 chunks
    python bench/python/bench_growth.py --quick         # to keep it working
    python bench/python/bench_growth.py --repeat 2      # the two maps in turn, best total of each

Maps go where new maps go by default (TMPDIR, else /dev/shm). Compare the
figures of one run, on an otherwise idle machine; bench_map's
BM_GrowthLatency measures the same without the interpreter.
"""

from __future__ import annotations

import argparse
import array
import gc
import time

from fennowick.quillmap import dict_expansion, quillmap


def one(total: int, exponent: int, chunks: int, presized: bool) -> tuple[float, float, float]:
    """(seconds, longest insert, p99.99) of inserting keys 0..total-1."""
    d = quillmap(size=total * 672 + (256 << 20), bucket_chunk_size_exponent=exponent,
                 bucket_chunk_number=chunks)
    try:
        while presized and d.stats()["bucket_chunks_in_use"] < chunks:
            dict_expansion(d.name, chunks)  # one doubling a call
        insert, now = d.insert, time.perf_counter_ns
        value = b"v" * 16
        ts = array.array("q", bytes(8 * (total + 1)))
        gc.disable()
        try:
            ts[0] = now()
            for k in range(total):
                insert(k, value)
                ts[k + 1] = now()
        finally:
            gc.enable()
        if len(d) != total or d.stats()["bucket_chunks_in_use"] != chunks:
            raise SystemExit(f"the map holds {len(d):,} entries in {d.stats()['bucket_chunks_in_use']} chunks, "
                             f"expected {total:,} in {chunks}")
        lat = sorted(ts[i + 1] - ts[i] for i in range(total))
        return (ts[total] - ts[0]) / 1e9, lat[-1] / 1e6, lat[int(total * 0.9999)] / 1e3
    finally:
        d.unlink()
        d.close()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="200,000 keys, 2^10 buckets a chunk")
    ap.add_argument("--repeat", type=int, default=1)
    args = ap.parse_args()
    total, exponent, chunks = (200_000, 10, 128) if args.quick else (10_000_000, 16, 128)
    best: dict[bool, tuple[float, float, float]] = {}
    for _ in range(args.repeat):
        for presized in (False, True):
            r = one(total, exponent, chunks, presized)
            if presized not in best or r[0] < best[presized][0]:
                best[presized] = r
    print(f"{total:,} int keys, 16-byte values, chunks of 2^{exponent} buckets up to {chunks}; "
          f"best of {args.repeat}")
    print(f"{'map':<26}{'seconds':>9}{'longest insert':>16}{'p99.99':>10}")
    for presized, label in ((False, "growing"), (True, "all buckets made first")):
        s, longest, p = best[presized]
        print(f"{label:<26}{s:>9.2f}{longest:>13.2f} ms{p:>7.1f} µs")
    print(f"growing takes {best[False][0] / best[True][0]:.2f} of the time of the map made with all its buckets")


if __name__ == "__main__":
    main()
