"""Sizes, time limits and constants of a benchmark run."""

from __future__ import annotations

import multiprocessing as mp
import pickle
from dataclasses import dataclass


MISSING = object()
CHUNK = 2048                     # at most this many operations between two looks at the clock
FORK = mp.get_context("fork")
dumps = pickle.dumps
loads = pickle.loads
NOTE_LIMIT = 300


def error_note(e: BaseException) -> str:
    """An exception in a line of a report: some peers put whole buffers (of
    hundreds of megabytes) into their messages."""
    return clip(f"{type(e).__name__}: {e}")


def clip(text: str) -> str:
    return text if len(text) <= NOTE_LIMIT else text[:NOTE_LIMIT] + f"... ({len(text):,} characters)"


# ---- sizes and time limits -----------------------------------------------------------

@dataclass(frozen=True)
class Config:
    quick: bool
    n: int                    # keys in the single-process, read-heavy and writer workloads
    m: int                    # entries the growth workload aims at
    size_bytes: int           # data per store in the value-size workload
    size_cap: int             # at most this many entries per value size
    phase_cap: float          # seconds one timed phase (or a prefill) may take; its rate is over what it did
    growth_budget: float      # seconds to grow from empty to m
    early_stop: bool          # growth: give up at a quarter of the budget when the average rate so far
                              # would not reach 60 % of m by the end
    rep_allowance: float      # a short run is repeated (up to reps) while all its repetitions fit in this
    reps: int = 5

    def sizes_count(self, value_size: int) -> int:
        return max(8, min(self.size_cap, self.size_bytes // value_size))


FULL = Config(quick=False, n=1_000_000, m=10_000_000, size_bytes=256 << 20, size_cap=100_000,
              phase_cap=10.0, growth_budget=600.0, early_stop=True, rep_allowance=15.0)
QUICK = Config(quick=True, n=500, m=2_000, size_bytes=1 << 20, size_cap=300,
               phase_cap=5.0, growth_budget=10.0, early_stop=False, rep_allowance=0.3)

VALUE_SIZES = (16, 256, 4096, 65536)
SINGLE_PHASES = ("insert", "get", "get absent", "replace", "remove")
READ_PHASES = {"get", "get absent", "mixed"}
