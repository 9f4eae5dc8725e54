"""A short randomized multi-process stress run, checked against a model.

A long run, any seed: python tests/python/stress.py --seed S --seconds 600
"""

import random

import stress


def test_four_processes_random_mix_against_a_model():
    seed = random.randrange(1 << 31)
    print(f"stress seed {seed}")
    try:
        r = stress.run(seed, processes=4, seconds=20, join_timeout=120)
    except AssertionError as e:
        raise AssertionError(f"{e} (rerun: python tests/python/stress.py --seed {seed})") from None
    print(f"stress seed {seed}: {r['total_ops']} operations, {r['ops']['expansion']} explicit "
          f"expansions, {r['buckets']} buckets at the end")
    assert r["ops"]["get"] > 0 and r["ops"]["remove"] > 0 and r["ops"]["replace"] > 0
    assert r["buckets"] >= 1024, f"seed {seed}: the table grew only to {r['buckets']} buckets"
