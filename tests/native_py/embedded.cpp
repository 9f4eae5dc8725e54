// The embedded interpreter, the test-only `_pm` module and the test main.
#include "embedded.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace fennowick::pytest {

namespace {

using Map = ConcurrentHashMap_pointer;
constexpr const char *capsule_name = "pm";

// Leaves a Python error for a C++ exception, unless the map already left
// one (a raising comparison), which then wins.
PyObject *fail(const std::exception &e) {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
  return nullptr;
}

void drop_map(PyObject *capsule) { delete static_cast<Map *>(PyCapsule_GetPointer(capsule, capsule_name)); }

Map *map_of(PyObject *h) { return static_cast<Map *>(PyCapsule_GetPointer(h, capsule_name)); }

PyObject *wrap(Map *m) {
  PyObject *c = PyCapsule_New(m, capsule_name, drop_map);
  if (c == nullptr) delete m;
  return c;
}

PyObject *pm_create(PyObject *, PyObject *args) {
  unsigned char exp;
  unsigned long long chunks;
  if (!PyArg_ParseTuple(args, "bK", &exp, &chunks)) return nullptr;
  try {
    std::string name;
    return wrap(new Map(name, exp, chunks));
  } catch (const std::exception &e) {
    return fail(e);
  }
}

PyObject *pm_attach(PyObject *, PyObject *args) {
  const char *name;
  if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
  try {
    std::string n = name;
    return wrap(new Map(n, 2, 2));
  } catch (const std::exception &e) {
    return fail(e);
  }
}

PyObject *pm_name(PyObject *, PyObject *args) {
  PyObject *h;
  if (!PyArg_ParseTuple(args, "O", &h)) return nullptr;
  Map *m = map_of(h);
  if (m == nullptr) return nullptr;
  return PyUnicode_FromString(std::to_string(reinterpret_cast<std::uintptr_t>(m)).c_str());
}

PyObject *pm_insert(PyObject *, PyObject *args) {
  PyObject *h, *k, *v;
  if (!PyArg_ParseTuple(args, "OOO", &h, &k, &v)) return nullptr;
  Map *m = map_of(h);
  if (m == nullptr) return nullptr;
  const Py_hash_t hash = PyObject_Hash(k);
  if (hash == -1 && PyErr_Occurred()) return nullptr;
  try {
    m->insert(k, v, hash);
  } catch (const std::exception &e) {
    return fail(e);
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

PyObject *pm_get(PyObject *, PyObject *args) {
  PyObject *h, *k, *dflt = Py_None;
  if (!PyArg_ParseTuple(args, "OO|O", &h, &k, &dflt)) return nullptr;
  Map *m = map_of(h);
  if (m == nullptr) return nullptr;
  const Py_hash_t hash = PyObject_Hash(k);
  if (hash == -1 && PyErr_Occurred()) return nullptr;
  PyObject *out = nullptr;
  try {
    if (!m->get(k, hash, out)) out = dflt;
  } catch (const std::exception &e) {
    return fail(e);
  }
  if (PyErr_Occurred()) return nullptr;
  Py_INCREF(out);
  return out;
}

PyObject *pm_remove(PyObject *, PyObject *args) {
  PyObject *h, *k;
  if (!PyArg_ParseTuple(args, "OO", &h, &k)) return nullptr;
  Map *m = map_of(h);
  if (m == nullptr) return nullptr;
  const Py_hash_t hash = PyObject_Hash(k);
  if (hash == -1 && PyErr_Occurred()) return nullptr;
  bool removed;
  try {
    removed = m->remove(k, hash);
  } catch (const std::exception &e) {
    return fail(e);
  }
  if (PyErr_Occurred()) return nullptr;
  return PyBool_FromLong(removed);
}

PyObject *pm_expand(PyObject *, PyObject *args) {
  const char *name;
  unsigned long long target;
  if (!PyArg_ParseTuple(args, "sK", &name, &target)) return nullptr;
  try {
    python_expansion_helper_pointer(name, target);
  } catch (const std::exception &e) {
    return fail(e);
  }
  Py_RETURN_NONE;
}

PyObject *pm_stats(PyObject *, PyObject *args) {
  PyObject *h;
  if (!PyArg_ParseTuple(args, "O", &h)) return nullptr;
  Map *m = map_of(h);
  if (m == nullptr) return nullptr;
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(m->entry_count()),
                       static_cast<unsigned long long>(m->bucket_chunks_in_use()),
                       static_cast<unsigned long long>(m->participants()));
}

PyObject *pm_check(PyObject *, PyObject *args) {
  PyObject *h;
  if (!PyArg_ParseTuple(args, "O", &h)) return nullptr;
  Map *m = map_of(h);
  if (m == nullptr) return nullptr;
  try {
    const Map::TableCheck r = m->check();
    return Py_BuildValue("(OsKK)", r.ok ? Py_True : Py_False, r.problem.c_str(),
                         static_cast<unsigned long long>(r.entries), static_cast<unsigned long long>(r.nodes));
  } catch (const std::exception &e) {
    return fail(e);
  }
}

PyObject *pm_destroy(PyObject *, PyObject *args) {
  PyObject *h;
  if (!PyArg_ParseTuple(args, "O", &h)) return nullptr;
  Map *m = map_of(h);
  if (m == nullptr) return nullptr;
  m->destroy();
  Py_RETURN_NONE;
}

PyMethodDef pm_methods[] = {
    {"create", pm_create, METH_VARARGS, nullptr}, {"attach", pm_attach, METH_VARARGS, nullptr},
    {"name", pm_name, METH_VARARGS, nullptr},     {"insert", pm_insert, METH_VARARGS, nullptr},
    {"get", pm_get, METH_VARARGS, nullptr},       {"remove", pm_remove, METH_VARARGS, nullptr},
    {"expand", pm_expand, METH_VARARGS, nullptr}, {"stats", pm_stats, METH_VARARGS, nullptr},
    {"check", pm_check, METH_VARARGS, nullptr},   {"destroy", pm_destroy, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef pm_module = {PyModuleDef_HEAD_INIT, "_pm", nullptr, -1, pm_methods,
                         nullptr, nullptr, nullptr, nullptr};

PyObject *init_pm() { return PyModule_Create(&pm_module); }

}  // namespace

::testing::AssertionResult run(PyObject *globals, const std::string &code) {
  Ref r(PyRun_String(code.c_str(), Py_file_input, globals, globals));
  if (r) return ::testing::AssertionSuccess();
  PyErr_Print();
  return ::testing::AssertionFailure() << "Python code raised (traceback above)";
}

Ref eval(PyObject *globals, const std::string &expr) {
  return Ref(PyRun_String(expr.c_str(), Py_eval_input, globals, globals));
}

Ref fresh_globals() {
  Ref g(PyDict_New());
  PyDict_SetItemString(g.get(), "__builtins__", PyEval_GetBuiltins());
  Ref pm(PyImport_ImportModule("_pm"));
  if (pm) PyDict_SetItemString(g.get(), "_pm", pm.get());
  return g;
}

Watchdog::Watchdog(int seconds, std::string what)
    : t_([this, seconds, what = std::move(what)] {
        std::unique_lock<std::mutex> lk(m_);
        if (!cv_.wait_for(lk, std::chrono::seconds(seconds), [this] { return done_; })) {
          std::fprintf(stderr, "watchdog: %s did not finish within %d s (deadlock?)\n", what.c_str(), seconds);
          std::fflush(stderr);
          std::_Exit(3);
        }
      }) {}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lk(m_);
    done_ = true;
  }
  cv_.notify_all();
  t_.join();
}

}  // namespace fennowick::pytest

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (CTest's discovery) needs no interpreter.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  PyImport_AppendInittab("_pm", fennowick::pytest::init_pm);
  Py_Initialize();
  const int rc = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) return rc ? rc : 120;
  return rc;
}
