"""Exception classes that are both an OSError and the type raised before.

A failure of the operating system is raised as the OSError subclass its errno
selects and as the type such failures were raised as before, through a class
derived from both, made on first use. The classes are made here, in a plain
module, so that a process that has never made one can still unpickle one (a
pool worker's exception crosses back to its parent).
"""

_classes = {}


def _make(os_type, old_type, plain, name):
    key = (os_type, old_type, bool(plain))
    cls = _classes.get(key)
    if cls is not None:
        return cls
    body = {"__module__": "fennowick.quillmap",
            "__reduce__": lambda self: (_rebuild_os_error, (os_type, old_type, bool(plain), name, self.args,
                                                            self.errno, self.strerror, self.filename))}
    if plain:
        body["__str__"] = BaseException.__str__
        body["__repr__"] = lambda self: old_type.__name__ + (
            "(%r)" % self.args[0] if len(self.args) == 1 else repr(self.args))
    cls = type(name, (os_type, old_type), body)
    import fennowick.quillmap as module
    setattr(module, name, cls)
    _classes[key] = cls
    return cls


def _rebuild_os_error(os_type, old_type, plain, name, args, errno, strerror, filename):
    e = _make(os_type, old_type, plain, name)(*args)
    e.errno, e.strerror, e.filename = errno, strerror, filename
    return e
