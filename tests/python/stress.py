"""Randomized multi-process stress of one shared map, checked against a model.

Several forked processes each run a seeded random mix of insert (new and
replace), get and remove over private keys (owned by one process) and shared
keys (used by all), with values of 0 B to 64 KiB, on a map that starts with a
single bucket; one process also calls expansion(2) now and then. Every value
is a pickled (writer, seq, key, padding) so the final state can be checked
exactly against what each process reports at the end.

    python tests/python/stress.py --seed 7 --processes 4 --seconds 300
"""

import argparse
import multiprocessing as mp
import os
import pickle
import random
import sys
import tempfile
import time
import traceback

if __name__ == "__main__":
    # Backing files go to a private directory, removed at the end, even if
    # the run dies half way. Set before the module first creates a file.
    _PRIVATE_TMP = tempfile.mkdtemp(prefix="quillmap-stress-")
    os.environ["TMPDIR"] = _PRIVATE_TMP

import fennowick._inspect as inspect_map  # noqa: E402
from fennowick.quillmap import quillmap  # noqa: E402

MAP_ARGS = dict(size=1 << 26, bucket_chunk_size_exponent=0, bucket_chunk_number=1 << 16)
PRIVATE_KEYS = 3000     # per process
SHARED_KEYS = 500
EXPANSION_EVERY = 2.0   # seconds, on average, between explicit expansions


def value_size(rng):
    r = rng.random()
    if r < 0.05:
        return 0
    if r < 0.75:
        return rng.randrange(1, 64)
    if r < 0.95:
        return rng.randrange(64, 2048)
    if r < 0.99:
        return rng.randrange(2048, 16384)
    return rng.randrange(16384, 65537)


def make_value(writer, seq, key, size):
    return pickle.dumps((writer, seq, key, bytes([seq % 251]) * size))


def decode(raw, key):
    """(writer, seq) of a stored value; raises AssertionError if it is not one
    this test wrote for `key` or its padding is damaged."""
    assert isinstance(raw, bytes), f"value of {key!r} is {type(raw)}"
    writer, seq, vkey, pad = pickle.loads(raw)
    assert vkey == key, f"value stored under {key!r} was written for {vkey!r}"
    assert pad == bytes([seq % 251]) * len(pad), f"padding of {key!r} damaged"
    return writer, seq


def private_key(w, i):
    return ("p", w, i)


def shared_key(i):
    return ("s", i)


def worker(wid, name, seed, seconds, result_path):
    """Body of one process; ends with os._exit (0 ok, 1 check failed, 2 error)."""
    code = 2
    try:
        _work(wid, name, seed, seconds, result_path)
        code = 0
    except AssertionError:
        traceback.print_exc()
        sys.stderr.write(f"stress worker {wid} failed, seed {seed}\n")
        code = 1
    except BaseException:
        traceback.print_exc()
        sys.stderr.write(f"stress worker {wid} error, seed {seed}\n")
    finally:
        sys.stderr.flush()
        os._exit(code)


def _work(wid, name, seed, seconds, result_path):
    d = quillmap(name=name)   # own object: never the one inherited through fork
    rng = random.Random(f"{seed}/{wid}")
    model = {}                # private key -> last value written, None if removed
    shared_log = set()        # (seq) of every shared write of this process
    ops = dict(insert=0, replace=0, get=0, remove=0, expansion=0)
    seq = 0
    begin = time.monotonic()
    deadline = begin + seconds
    next_expansion = time.monotonic() + rng.expovariate(1 / EXPANSION_EVERY)
    while True:
        now = time.monotonic()
        if now >= deadline:
            break
        if wid == 0 and now >= next_expansion:
            assert d.expansion(2) == 1
            ops["expansion"] += 1
            next_expansion = time.monotonic() + rng.expovariate(1 / EXPANSION_EVERY)
        # the key space in use grows through the run, so the table keeps
        # growing (and expanding under load) until the end
        grown = min(1.0, (now - begin) / seconds)
        n_private = 16 + int((PRIVATE_KEYS - 16) * grown)
        n_shared = 8 + int((SHARED_KEYS - 8) * grown)
        for _ in range(50):
            seq += 1
            op = rng.random()
            if rng.random() < 0.6:
                key = private_key(wid, rng.randrange(n_private))
                if op < 0.4:
                    v = make_value(wid, seq, key, value_size(rng))
                    ops["replace" if model.get(key) is not None else "insert"] += 1
                    assert d.insert(key, v) == 1
                    model[key] = v
                elif op < 0.8:
                    ops["get"] += 1
                    got = d.get(key)
                    want = model.get(key)
                    expect = [False] if want is None else [True, want]
                    if got != expect:
                        raise AssertionError(
                            f"worker {wid} seq {seq}: get {key!r} gave "
                            f"{_short(got)}, last write was {_short(expect)}")
                else:
                    ops["remove"] += 1
                    present = model.get(key) is not None
                    r = d.remove(key)
                    assert r == (1 if present else 0), \
                        f"worker {wid} seq {seq}: remove {key!r} -> {r}, present={present}"
                    if key in model:
                        model[key] = None
            else:
                key = shared_key(rng.randrange(n_shared))
                if op < 0.4:
                    ops["insert"] += 1
                    shared_log.add(seq)   # logged before: the write may land
                    assert d.insert(key, make_value(wid, seq, key, value_size(rng))) == 1
                elif op < 0.8:
                    ops["get"] += 1
                    got = d.get(key)
                    assert got == [False] or (len(got) == 2 and got[0] is True), got
                    if got[0]:
                        decode(got[1], key)
                else:
                    ops["remove"] += 1
                    assert d.remove(key) in (0, 1)
    with open(result_path, "wb") as f:
        pickle.dump(dict(model=model, shared_log=shared_log, ops=ops), f)


def _short(x):
    s = repr(x)
    return s if len(s) < 200 else s[:200] + "..."


def run(seed, processes=4, seconds=30.0, join_timeout=None, size_log2=26):
    """Run the stress and check the final state. Returns a dict of figures;
    raises AssertionError (mentioning the seed) on any fault."""
    join_timeout = join_timeout if join_timeout is not None else seconds + 120
    d = quillmap(**dict(MAP_ARGS, size=1 << size_log2))
    name = d.name
    resdir = tempfile.mkdtemp(prefix="quillmap-stress-results-")
    paths = [os.path.join(resdir, f"w{w}") for w in range(processes)]
    tag = f"[stress seed {seed}]"
    try:
        ctx = mp.get_context("fork")
        ps = [ctx.Process(target=worker, args=(w, name, seed, seconds, paths[w]))
              for w in range(processes)]
        start = time.monotonic()
        for p in ps:
            p.start()
        codes = []
        for p in ps:
            p.join(max(1.0, start + join_timeout - time.monotonic()))
            if p.is_alive():
                p.kill()
                p.join(10)
                codes.append("hung")
            else:
                codes.append(p.exitcode)
        assert codes == [0] * processes, f"{tag} worker exit codes {codes}"
        results = []
        for path in paths:
            with open(path, "rb") as f:
                results.append(pickle.load(f))

        present = 0
        for w, res in enumerate(results):
            for key, want in res["model"].items():
                got = d.get(key)
                expect = [False] if want is None else [True, want]
                assert got == expect, \
                    f"{tag} final {key!r}: {_short(got)}, owner's last op left {_short(expect)}"
                present += want is not None
            for i in range(PRIVATE_KEYS):   # keys never written stay absent
                key = private_key(w, i)
                if key not in res["model"]:
                    assert d.get(key) == [False], f"{tag} never-written {key!r} present"
        for i in range(SHARED_KEYS):
            key = shared_key(i)
            got = d.get(key)
            if got[0]:
                try:
                    writer, seq = decode(got[1], key)
                except AssertionError as e:
                    raise AssertionError(f"{tag} {e}") from None
                assert 0 <= writer < processes and seq in results[writer]["shared_log"], \
                    f"{tag} shared {key!r} holds ({writer}, {seq}), never written for it"
                present += 1
        report = inspect_map.check(name)
        assert report["ok"], f"{tag} check: {report['problem']}"
        assert report["entry_count"] == report["entries_found"] == present, \
            f"{tag} entry_count {report['entry_count']}, entries_found " \
            f"{report['entries_found']}, keys present {present}"
        ops = {}
        for res in results:
            for k, n in res["ops"].items():
                ops[k] = ops.get(k, 0) + n
        buckets = report["buckets"]
        return dict(seed=seed, processes=processes, seconds=seconds, ops=ops,
                    total_ops=sum(n for k, n in ops.items() if k != "expansion"),
                    entries=present, buckets=buckets, arena_used=report["arena_used"],
                    expansions=buckets.bit_length() - 1)
    finally:
        for path in paths:
            if os.path.exists(path):
                os.unlink(path)
        os.rmdir(resdir)
        d.__del__()
        if os.path.exists(name):
            os.unlink(name)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--processes", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--size-log2", type=int, default=26, help="arena size, log2 bytes")
    a = ap.parse_args(argv)
    seed = a.seed if a.seed is not None else random.randrange(1 << 31)
    print(f"stress: seed {seed}, {a.processes} processes, {a.seconds} s", flush=True)
    try:
        r = run(seed, a.processes, a.seconds, size_log2=a.size_log2)
    except BaseException:
        traceback.print_exc()
        print(f"stress FAILED, seed {seed}", flush=True)
        return 1
    print(f"stress ok, seed {r['seed']}: {r['total_ops']} operations {r['ops']}, "
          f"{r['entries']} entries, {r['arena_used']} arena bytes used, {r['buckets']} buckets "
          f"(log2 = {r['expansions']} doublings)", flush=True)
    return 0


if __name__ == "__main__":
    try:
        code = main()
    finally:
        import shutil
        shutil.rmtree(_PRIVATE_TMP, ignore_errors=True)
    sys.exit(code)
