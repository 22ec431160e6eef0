"""Shared helpers of the torvo.ledger tests."""

import gc
import tracemalloc


def memory_growth(work, repeat=20000):
    """Bytes still allocated after running `work` `repeat` times (warmed up first)."""
    for _ in range(200):
        work()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(repeat):
            work()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
