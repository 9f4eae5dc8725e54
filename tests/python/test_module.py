"""The module as Python and native callers see it: namespace, documentation,
the type's shape, the guards of initialisation and the native tables."""

import ctypes
import importlib
import sys

import pytest

import fennowick.quillmap as qm
import fennowick.tolvane_base as tb
from fennowick.quillmap import quillmap
from helpers import SMALL, run_python


def test_namespace_holds_functions_type_and_serializers():
    for name in ("quillmap", "dict_insert", "dict_get", "dict_remove", "dict_expansion",
                 "multiprocessing", "os", "pickle", "json", "orjson", "msgpack", "msgspec", "__builtins__"):
        assert hasattr(qm, name), name
    assert qm.dict_expansion.__module__ == "fennowick.quillmap"


def test_exported_table_names_each_function_by_its_signature():
    assert {k: type(v).__name__ for k, v in qm.__capi__.items()} == {
        "dict_insert": "PyCapsule", "dict_get": "PyCapsule", "dict_remove": "PyCapsule"}
    assert "dict_expansion" not in qm.__capi__
    assert set(tb.__capi__) == {"hash_key", "hash_key_bytes"}


def test_reimport_after_removal_returns_the_same_module():
    module = sys.modules.pop("fennowick.quillmap")
    try:
        assert importlib.import_module("fennowick.quillmap") is module
    finally:
        sys.modules["fennowick.quillmap"] = module


def test_type_identity_layout_and_immutability():
    assert quillmap.__module__ == "fennowick.quillmap"
    assert quillmap.__name__ == "quillmap"
    assert quillmap.__doc__ == "\nclass provide quillmap\n    "
    assert quillmap.__bases__ == (tb.tolvane_base,)
    assert tb.tolvane_base.__basicsize__ == 40
    assert quillmap.__basicsize__ == 72
    with pytest.raises(TypeError):
        quillmap.insert = None
    with pytest.raises(TypeError):
        del quillmap.get


@pytest.mark.parametrize("obj, first_line", [
    (quillmap.__init__, "__init__(self, name: bytes = None, size: int = 650000000, "
                        "bucket_chunk_size_exponent: int = 20, bucket_chunk_number: int = 100, "
                        "chunk_size_exponent: int = 5, serializer: unicode = u'pickle', "
                        "hash_function: Callable = hash)"),
    (quillmap.insert, "insert(self, input_key, input_value) -> int"),
    (quillmap.get, "get(self, input_key) -> list"),
    (quillmap.remove, "remove(self, input_key) -> int"),
    (quillmap.expansion, "expansion(self, parallelism: int = 0) -> int"),
    (qm.dict_insert, "dict_insert(target: quillmap, input_key, input_value) -> int"),
    (qm.dict_get, "dict_get(target: quillmap, input_key) -> list"),
    (qm.dict_remove, "dict_remove(target: quillmap, input_key) -> int"),
    (qm.dict_expansion, "dict_expansion(name: bytes, target_length: int)"),
])
def test_docstrings_open_with_the_signature(obj, first_line):
    lines = obj.__doc__.split("\n")
    assert lines[0] == first_line
    assert lines[1] == ""


def _stub_signatures():
    """(owner, name) -> [(parameter, kind)] for every function of the stub;
    of overloads, the one with the most parameters."""
    import ast
    import os
    from inspect import Parameter
    tree = ast.parse(open(os.path.join(os.path.dirname(qm.__file__), "quillmap.pyi")).read())
    found = {}

    def add(owner, fn, method):
        a = fn.args
        params = [(p.arg, Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
        params += [(p.arg, Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
        params += [(a.vararg.arg, Parameter.VAR_POSITIONAL)] if a.vararg else []
        params += [(p.arg, Parameter.KEYWORD_ONLY) for p in a.kwonlyargs]
        params += [(a.kwarg.arg, Parameter.VAR_KEYWORD)] if a.kwarg else []
        if method:
            params = params[1:]   # self: positional-only at run time
        if any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
            return
        if len(params) >= len(found.get((owner, fn.name), [])):
            found[(owner, fn.name)] = params

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            add(qm, node, False)
        elif isinstance(node, ast.ClassDef) and node.name == "quillmap":
            for fn in node.body:
                if isinstance(fn, ast.FunctionDef):
                    add(quillmap, fn, True)
    return found


STUB_SIGNATURES = _stub_signatures()


@pytest.mark.parametrize("owner, name", STUB_SIGNATURES,
                         ids=[("quillmap." if o is quillmap else "") + n for o, n in STUB_SIGNATURES])
def test_signatures_of_every_method_and_function_match_the_stub(owner, name):
    import inspect
    signature = inspect.signature(getattr(owner, name))
    params = list(signature.parameters.values())
    if owner is quillmap:
        assert params[0].name == "self"
        params = params[1:]
    assert [(p.name, p.kind) for p in params] == STUB_SIGNATURES[(owner, name)]
    if name == "__init__":   # the class itself reads as its constructor
        assert list(inspect.signature(quillmap).parameters.values()) == params


def test_docstring_bodies():
    assert quillmap.__init__.__doc__.split("\n")[2] == "constructor of quillmap"
    assert "can be any callable user defined" in quillmap.__init__.__doc__
    assert qm.dict_expansion.__doc__.endswith("\n    :return: 1 if successfully expanded\n    ")
    assert quillmap.expansion.__doc__.endswith("\n        :return: 1 if successfully expanded\n        ")


def test_name_attribute_is_read_only_bytes(small):
    assert isinstance(small.name, bytes) and small.name.startswith(b"/")
    with pytest.raises(AttributeError):
        small.name = b"/elsewhere"
    assert quillmap.__new__(quillmap).name is None  # never initialised


def test_instances_carry_a_dict_and_subclass():
    class Tagged(quillmap):
        pass

    d = Tagged(**SMALL)
    d.tag = "mine"
    assert d.__dict__ == {"tag": "mine"}
    assert d.insert("k", "v") == 1 and d.get("k") == [True, "v"]


ONE_INTERPRETER = ("ImportError: Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process.")
# From 3.12 the module declares that it does not support sub-interpreters, and
# those with a lock of their own refuse it before it runs.
DECLARED = "ImportError: module fennowick.quillmap does not support loading in subinterpreters"


@pytest.mark.parametrize("kind, refusal", [
    ("legacy", ONE_INTERPRETER),
    ("isolated", ONE_INTERPRETER if sys.version_info < (3, 12) else DECLARED),
])
def test_sub_interpreter_import_is_refused(kind, refusal):
    r = run_python(
        "import sys, fennowick.quillmap\n"
        f"kind = {kind!r}\n"
        "if sys.version_info >= (3, 13):\n"
        "    import _interpreters as si\n"
        "    err = si.exec(si.create(kind), 'import fennowick.quillmap')\n"
        "    print(err.formatted if err else 'imported')\n"
        "else:\n"
        "    import _xxsubinterpreters as si\n"
        "    try:\n"
        "        si.run_string(si.create(isolated=kind == 'isolated'), 'import fennowick.quillmap')\n"
        "        print('imported')\n"
        "    except si.RunFailedError as e:\n"
        "        print(str(e).replace(\"<class 'ImportError'>\", 'ImportError'))\n"
        "d = fennowick.quillmap.quillmap(size=1 << 20, bucket_chunk_size_exponent=2)\n"
        "assert d.insert(1, 'a') == 1 and d.get(1) == [True, 'a']\n"
        "d.unlink()\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == refusal


def test_imports_without_optional_serializers():
    r = run_python(
        "import sys\n"
        "for m in ('orjson', 'msgpack', 'msgspec'): sys.modules[m] = None\n"
        "import fennowick.quillmap as q\n"
        "assert not any(hasattr(q, m) for m in ('orjson', 'msgpack', 'msgspec'))\n"
        "try:\n"
        "    q.quillmap(size=1 << 20, bucket_chunk_size_exponent=2, serializer='orjson')\n"
        "except NameError as e:\n"
        "    print(e)\n"
        "d = q.quillmap(size=1 << 20, bucket_chunk_size_exponent=2, serializer='pickle')\n"
        "assert d.insert(1, 'a') == 1 and d.get(1) == [True, 'a']\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "name 'orjson' is not defined"


# ---- native callers ---------------------------------------------------------

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype, _get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype, _get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]

INSERT = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)
GET = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)
REMOVE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.c_int)


def _pointer(capsule):
    return _get_pointer(capsule, _get_name(capsule))


@pytest.fixture(scope="module")
def vtable():
    capsule = quillmap.__dict__["__quillmap_vtable__"]
    slots = ctypes.cast(_pointer(capsule), ctypes.POINTER(ctypes.c_void_p * 4)).contents
    return INSERT(slots[0]), GET(slots[1]), REMOVE(slots[2])


def test_capsule_entry_points_operate_on_the_map(small):
    insert = INSERT(_pointer(qm.__capi__["dict_insert"]))
    get = GET(_pointer(qm.__capi__["dict_get"]))
    remove = REMOVE(_pointer(qm.__capi__["dict_remove"]))
    assert _get_name(qm.__capi__["dict_get"]) == b"PyObject *(struct QuillmapObject *, PyObject *, int)"
    assert insert(small, "k", "v", 0) == 1
    assert get(small, "k", 0) == [True, "v"] == small.get("k")
    assert remove(small, "k", 0) == 1 and remove(small, "k", 0) == 0
    with pytest.raises(ValueError, match="closed"):
        get(quillmap.__new__(quillmap), "k", 0)


def test_method_table_dispatches_to_python_overrides(vtable):
    insert, get, remove = vtable

    class Logged(quillmap):
        def insert(self, key, value):
            return 7

        def get(self, key):
            return 3  # not a list: refused

    s = Logged(**SMALL)
    assert insert(s, 1, 2, 0) == 7
    assert insert(s, 1, 2, 1) == 1  # skip_dispatch: the type's own insert
    assert quillmap.get(s, 1) == [True, 2]
    with pytest.raises(TypeError) as e:
        get(s, 1, 0)
    assert str(e.value) == "Expected list, got int"

    # The no-override outcome is cached; an attribute set on the instance
    # afterwards must still win.
    plain = quillmap(**SMALL)
    assert remove(plain, 1, 0) == 0
    assert remove(plain, 1, 0) == 0
    plain.remove = lambda key: 5
    assert remove(plain, 1, 0) == 5
    del plain.remove
    assert remove(plain, 1, 0) == 0


def test_package_docstring_example_runs():
    import fennowick
    example = [line.strip() for line in fennowick.__doc__.split("\n") if line.startswith("    ")]
    scope = {}
    exec("\n".join(example), scope)
    assert scope["e"].name == scope["d"].name
    scope["d"].unlink()
