"""The systems behind one small interface: the base adapter, quillmap, the
references (a dict, the serializer alone) and the shared dictionaries that
pickle by themselves (Manager().dict(), UltraDict, shared-memory-dict)."""

from __future__ import annotations

import importlib.util
import os
from typing import Any

from fennowick.bench.settings import FORK, MISSING, dumps, loads



# ---- adapters ------------------------------------------------------------------------

def _allocated(*paths: str) -> int:
    """Bytes actually allocated on disk (or in tmpfs) by files or folders."""
    total = 0
    for p in paths:
        if os.path.isdir(p):
            for root, _dirs, files in os.walk(p):
                for f in files:
                    try:
                        total += os.stat(os.path.join(root, f)).st_blocks * 512
                    except OSError:
                        pass
        else:
            try:
                total += os.stat(p).st_blocks * 512
            except OSError:
                pass
    return total


def _module_missing(*modules: str) -> str | None:
    for m in modules:
        if importlib.util.find_spec(m) is None:
            return f"Python package `{m}` is not installed"
    return None


class Adapter:
    """One system under test. ``insert(k, v)``, ``get(k)`` and ``remove(k)``
    are plain attributes bound to the fastest callables the system offers
    (the timed loops call them directly); ``fetch(k)`` returns the value or
    MISSING and is used for checks only."""

    key = ""
    label = ""
    shared = True          # one store usable from several processes
    floor = False          # a reference row, not a peer
    reads_only = False     # report read phases only
    checks = True          # fetch()/count() tell the stored state
    config = ""

    insert: Any
    get: Any
    remove: Any

    def __init__(self, workdir: str) -> None:
        self.workdir = workdir
        self.serial = 0

    @classmethod
    def missing(cls) -> str | None:
        return None

    def _next(self, stem: str) -> str:
        self.serial += 1
        return os.path.join(self.workdir, f"{stem}-{os.getpid()}-{self.serial}")

    def start(self) -> None: ...
    def stop(self) -> None: ...
    def create(self, entries: int, value_size: int) -> None: raise NotImplementedError
    def destroy(self) -> None: ...
    def attach(self) -> None: ...
    def detach(self) -> None: ...
    def begin_phase(self) -> None: ...
    def pause(self) -> None: ...     # before forking workers: close what must not cross a fork
    def resume(self) -> None: ...    # after they are done: open it again
    def fetch(self, k: Any) -> Any: raise NotImplementedError
    def count(self) -> int | None: return None
    def footprint(self) -> int | None: return None
    def server_pids(self) -> list[int]: return []


class QuillmapAdapter(Adapter):
    key = "quillmap"
    label = "quillmap"
    config = ("pickle serializer; its file where new maps go by default (/dev/shm unless TMPDIR is set); "
              "starts at 1,024 buckets (bucket_chunk_size_exponent=10, "
              "bucket_chunk_number=2**14) and grows by itself; arena sized for the entries")

    @classmethod
    def missing(cls) -> str | None:
        try:
            from fennowick.quillmap import quillmap  # noqa: F401  (does it import?)
        except ImportError as e:
            return f"fennowick.quillmap does not import: {e}"
        return None

    def create(self, entries: int, value_size: int) -> None:
        from fennowick.quillmap import quillmap

        size = max(64 << 20, entries * (640 + 2 * value_size))
        self.d = quillmap(size=size, bucket_chunk_size_exponent=10, bucket_chunk_number=1 << 14)
        self.name = self.d.name
        self._bind()

    def _bind(self) -> None:
        self.insert, self.get, self.remove = self.d.insert, self.d.get, self.d.remove

    def attach(self) -> None:
        from fennowick.quillmap import quillmap

        self.d = quillmap(name=self.name)
        self._bind()

    def detach(self) -> None:
        self.d = self.insert = self.get = self.remove = None

    def destroy(self) -> None:
        self.detach()
        try:
            os.unlink(self.name)
        except OSError:
            pass

    def fetch(self, k: Any) -> Any:
        r = self.d.get(k)
        return r[1] if r[0] else MISSING

    def count(self) -> int:
        from fennowick import _inspect

        return _inspect.check(self.name)["entry_count"]

    def footprint(self) -> int:
        return _allocated(os.fsdecode(self.name))


class DictAdapter(Adapter):
    key = "dict"
    label = "dict (floor)"
    shared = False
    floor = True
    config = "a plain dict in the process: no sharing, no serializer"

    def create(self, entries: int, value_size: int) -> None:
        d = self.d = {}
        self.insert, self.get = d.__setitem__, d.get
        self.remove = lambda k: d.pop(k, None)

    def destroy(self) -> None:
        self.d = {}

    def fetch(self, k: Any) -> Any:
        return self.d.get(k, MISSING)

    def count(self) -> int:
        return len(self.d)


class PickleAdapter(Adapter):
    key = "pickle"
    label = "pickle (floor)"
    shared = False
    floor = True
    checks = False
    config = "serializer alone: pickle.dumps(key) + pickle.loads(value) for a read, dumps of both for a write"

    def create(self, entries: int, value_size: int) -> None:
        stored = dumps(b"v" * value_size)
        self.insert = lambda k, v: (dumps(k), dumps(v))
        self.get = lambda k: (dumps(k), loads(stored))
        self.remove = lambda k: dumps(k)


class ManagerAdapter(Adapter):
    key = "manager"
    label = "Manager().dict()"
    config = "multiprocessing.Manager() (fork) dict proxy; every worker uses its own connection"

    def start(self) -> None:
        self.mgr = FORK.Manager()

    def stop(self) -> None:
        self.mgr.shutdown()

    def create(self, entries: int, value_size: int) -> None:
        self.d = self.mgr.dict()
        self._bind()

    def _bind(self) -> None:
        d = self.d
        self.insert, self.get = d.__setitem__, d.get
        self.remove = lambda k: d.pop(k, None)

    def attach(self) -> None:
        self._bind()  # the proxy came through fork; it opens its own connection

    def destroy(self) -> None:
        self.d = self.insert = self.get = self.remove = None

    def fetch(self, k: Any) -> Any:
        v = self.d.get(k)
        return MISSING if v is None else v

    def count(self) -> int:
        return len(self.d)

    def server_pids(self) -> list[int]:
        return [self.mgr._process.pid]

class UltraDictAdapter(Adapter):
    key = "ultradict"
    label = "UltraDict"
    config = ("UltraDict with the pickle serializer, shared_lock=True (needs `atomics`; "
              "otherwise the fork-inherited lock), update stream sized for the writes")

    @classmethod
    def missing(cls) -> str | None:
        return _module_missing("UltraDict")

    def start(self) -> None:
        self.shared_lock = importlib.util.find_spec("atomics") is not None
        if not self.shared_lock:
            self.config = "UltraDict, pickle serializer, fork-inherited lock (`atomics` missing)"

    def create(self, entries: int, value_size: int) -> None:
        from UltraDict import UltraDict

        self.name = f"qmb{os.getpid()}_{self.serial}"
        self.serial += 1
        buffer_size = min((1 << 31) - 1, max(1 << 20, 2 * entries * (value_size + 64)))
        self.ud = UltraDict(name=self.name, create=True, buffer_size=buffer_size,
                            shared_lock=self.shared_lock, auto_unlink=False)
        self._bind()

    def _bind(self) -> None:
        ud = self.ud
        self.insert, self.get = ud.__setitem__, ud.get
        self.remove = lambda k: ud.pop(k, None)

    def attach(self) -> None:
        if self.shared_lock:
            from UltraDict import UltraDict

            self.ud = UltraDict(name=self.name, create=False)
        self._bind()

    def detach(self) -> None:
        if self.shared_lock:
            self.ud.close()

    def destroy(self) -> None:
        self.ud.unlink()

    def fetch(self, k: Any) -> Any:
        v = self.ud.get(k)
        return MISSING if v is None else v

    def count(self) -> int:
        return len(self.ud)

    def footprint(self) -> int:
        dump = bytes(self.ud.full_dump_memory_name_remote).decode().strip().strip("\x00")
        names = [self.name, self.name + "_memory"] + ([dump] if dump else [])
        return _allocated(*(f"/dev/shm/{n}" for n in names))


class SharedMemoryDictAdapter(Adapter):
    key = "shared-memory-dict"
    label = "shared-memory-dict"
    config = ("SharedMemoryDict (pickle) with SHARED_MEMORY_USE_LOCK=1; segment sized to "
              "twice the pickled data")

    @classmethod
    def missing(cls) -> str | None:
        return _module_missing("shared_memory_dict")

    def start(self) -> None:
        os.environ["SHARED_MEMORY_USE_LOCK"] = "1"   # read when the module is imported

    def create(self, entries: int, value_size: int) -> None:
        from shared_memory_dict import SharedMemoryDict

        self.name = f"qmb{os.getpid()}_{self.serial}"
        self.serial += 1
        self.size = max(1 << 20, 2 * entries * (value_size + 48))
        self.smd = SharedMemoryDict(name=self.name, size=self.size)
        self._bind()

    def _bind(self) -> None:
        smd = self.smd
        self.insert, self.get = smd.__setitem__, smd.get
        self.remove = lambda k: smd.pop(k, None)

    def attach(self) -> None:
        from shared_memory_dict import SharedMemoryDict

        self.smd = SharedMemoryDict(name=self.name, size=self.size)
        self._bind()

    def destroy(self) -> None:
        try:
            self.smd.shm.unlink()
        finally:
            self.smd.cleanup()

    def fetch(self, k: Any) -> Any:
        v = self.smd.get(k)
        return MISSING if v is None else v

    def count(self) -> int:
        return len(self.smd)

    def footprint(self) -> int:
        return _allocated(f"/dev/shm/sm_{self.name}")
