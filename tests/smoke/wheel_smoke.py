"""A user's first minutes with an installed wheel: no compiler anywhere on
PATH, a map made in one process, filled from another that opens it by name,
and each process seeing the other's writes. Run by scripts/wheel_smoke.sh in
a fresh virtual environment holding only the wheel and its dependencies."""

import multiprocessing as mp
import os
import shutil
import sys

from fennowick.quillmap import quillmap

N = 1000


def child(name, q):
    d = quillmap(name=name)  # serializer and hash come from the file
    assert [d[i] for i in range(N)] == [i * i for i in range(N)]
    d.insert_many((("child", i), str(i)) for i in range(N))
    del d[0]
    q.put(len(d))


def main():
    compilers = [c for c in ("cc", "gcc", "g++", "c++", "clang", "cmake") if shutil.which(c)]
    assert not compilers, f"a compiler is on PATH: {compilers}"
    import fennowick.quillmap as qm
    assert qm.__file__.startswith(sys.prefix), (qm.__file__, sys.prefix)

    d = quillmap(size=64 << 20, bucket_chunk_size_exponent=10)
    try:
        d.update({i: i * i for i in range(N)})
        q = mp.get_context("spawn").Queue()
        p = mp.get_context("spawn").Process(target=child, args=(d.name, q))
        p.start()
        p.join(60)
        assert p.exitcode == 0, f"child exit code {p.exitcode}"
        assert q.get(timeout=5) == 2 * N - 1 == len(d)
        assert 0 not in d and d[("child", 7)] == "7" and d[N - 1] == (N - 1) ** 2
    finally:
        d.unlink()
    print(f"ok: Python {sys.version.split()[0]}, {os.path.basename(qm.__file__)}, {len(d)} entries shared")


if __name__ == "__main__":
    main()
