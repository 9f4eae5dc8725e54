// fennowick._inspect: read-only inspection of a map's backing file for the
// command line and the tests. It never writes into the file.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "map/checker.hpp"

namespace {

PyObject *check(PyObject *, PyObject *arg) {
  PyObject *path = nullptr;
  if (!PyUnicode_FSConverter(arg, &path)) return nullptr;
  std::string name(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
  Py_DECREF(path);
  if (name.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return nullptr;
  }
  fennowick::CheckReport r;
  Py_BEGIN_ALLOW_THREADS r = fennowick::check_map_file(name);
  Py_END_ALLOW_THREADS
  return Py_BuildValue(
      "{s:O,s:s,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:I,s:O}", "ok",
      r.ok ? Py_True : Py_False, "problem", r.problem.c_str(), "file_size", r.file_size, "arena_size",
      r.arena_size, "arena_used", r.arena_used, "bucket_chunk_number", r.bucket_chunk_number,
      "buckets_per_chunk", r.buckets_per_chunk, "bucket_chunks_in_use", r.bucket_chunks_in_use, "buckets",
      r.buckets, "entries_found", r.entries_found, "entry_count", r.entry_count, "expansion_participants",
      r.expansion_participants, "nodes", r.nodes, "data_chunks", r.data_chunks, "free_chunks", r.free_chunks,
      "key_bytes", r.key_bytes, "value_bytes", r.value_bytes, "longest_bucket", r.longest_bucket,
      "data_chunk_unit", r.data_chunk_unit, "expanding", r.expanding ? Py_True : Py_False);
}

PyMethodDef methods[] = {
    {"check", check, METH_O,
     "check(path) -> dict\n\nWalk the map file at path read-only and report its shape and the first "
     "inconsistency found ('ok' False and 'problem' set), or 'ok' True."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_inspect", "Read-only inspection of map files.", 0, methods, slots,
                      nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__inspect() { return PyModuleDef_Init(&module); }
