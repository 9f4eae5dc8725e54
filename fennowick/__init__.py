"""A dictionary whose hash table lives in a memory-mapped file, shared by many processes.

    from fennowick.quillmap import quillmap
    d = quillmap(size=1 << 24)          # a new map; d.name is its file's path (bytes)
    e = quillmap(name=d.name)           # the same map, from any process

The package binds the extension module ``fennowick.quillmap``, not the type of
the same name: binding the type here would hide the module's namespace.
"""

from fennowick import quillmap

__all__ = ["quillmap"]
