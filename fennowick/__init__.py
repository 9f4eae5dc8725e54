"""A dictionary whose hash table lives in a memory-mapped file, shared by many processes.

    from fennowick.quillmap import quillmap
    d = quillmap(size=64 << 20, bucket_chunk_size_exponent=10)  # a new map; d.name: its file's path (bytes)
    e = quillmap(name=d.name)           # the same map, from any process (serializer and hash as recorded)

``open_dict(name=...)`` opens either a map file or, given a ``redis://`` name, a
namespace of a Redis Cluster (``fennowick.cluster.ClusterMap``) with the same
operations: moving a program onto a cluster changes that one argument.

Keys are compared by their serialized bytes, not by ``==``: ``1``, ``1.0`` and
``True`` are three keys; a ``frozenset`` key pickles in hash order and is not
found by processes with another string-hash seed; with pickle, ``(s, s)`` and
``(s, t)`` differ even when ``s == t`` (a repeated object becomes a
back-reference). Safe keys are ``str``, ``bytes``, ``int``, ``float``, ``None``
and tuples of distinct such objects; turn anything else into a canonical
``str`` or ``bytes`` first (``json.dumps(obj, sort_keys=True)``).

The package binds the extension module ``fennowick.quillmap``, not the type of
the same name: binding the type here would hide the module's namespace.
"""

from fennowick import _errors  # noqa: F401  (loaded now: an error may come when no file can be opened)
from fennowick import quillmap
from fennowick.cluster import open_dict  # a map file or a Redis Cluster namespace, by name (redis-py only if used)

__all__ = ["quillmap", "open_dict"]
