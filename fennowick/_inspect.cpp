// fennowick._inspect: inspection of a map's backing file for the command line
// and the tests. check() reads the file (and takes its locks while live
// processes have it open); repair() rewrites it and is for a map that no
// process has open.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "map/checker.hpp"
#include "map/repair.hpp"
#include "map/string_map.hpp"

namespace {

using fennowick::CheckReport;

bool path_arg(PyObject *arg, std::string &name) {
  PyObject *path = nullptr;
  if (!PyUnicode_FSConverter(arg, &path)) return false;
  name.assign(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
  Py_DECREF(path);
  if (name.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

// Appends `item` (a new reference, null on failure) to `list`.
bool append(PyObject *list, PyObject *item) {
  if (item == nullptr) return false;
  const int rc = PyList_Append(list, item);
  Py_DECREF(item);
  return rc == 0;
}

PyObject *slot_dict(const fennowick::LiveSlot &s) {
  return Py_BuildValue("{s:I,s:I,s:s,s:s,s:s,s:L}", "index", s.index, "pid", s.pid, "liveness",
                       fennowick::liveness_name(s.liveness), "operation", fennowick::operation_name(s.operation),
                       "expansion", s.expansion == fennowick::exp_out ? "out" : "in", "count_delta",
                       static_cast<long long>(s.count_delta));
}

PyObject *slot_list(const std::vector<fennowick::LiveSlot> &slots) {
  PyObject *list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (const auto &s : slots)
    if (!append(list, slot_dict(s))) {
      Py_DECREF(list);
      return nullptr;
    }
  return list;
}

PyObject *lock_dict(const fennowick::HeldLock &h) {
  PyObject *bucket = h.lock == "bucket" ? PyLong_FromUnsignedLongLong(h.bucket) : Py_NewRef(Py_None);
  PyObject *slot = h.slot >= 0 ? PyLong_FromLong(h.slot) : Py_NewRef(Py_None);
  PyObject *pid = h.pid != 0 ? PyLong_FromUnsignedLong(h.pid) : Py_NewRef(Py_None);
  PyObject *d = nullptr;
  if (bucket && slot && pid)
    d = Py_BuildValue("{s:s,s:O,s:I,s:O,s:O,s:s}", "lock", h.lock.c_str(), "bucket", bucket, "holder", h.holder,
                      "slot", slot, "pid", pid, "liveness",
                      h.holder == 0 ? "unknown holder" : fennowick::liveness_name(h.liveness));
  Py_XDECREF(bucket);
  Py_XDECREF(slot);
  Py_XDECREF(pid);
  return d;
}

PyObject *report_dict(const CheckReport &r) {
  PyObject *d = Py_BuildValue(
      "{s:O,s:s,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:I,s:O,s:O,s:O,s:K}", "ok",
      r.ok ? Py_True : Py_False, "problem", r.problem.c_str(), "file_size", r.file_size, "arena_size",
      r.arena_size, "arena_used", r.arena_used, "bucket_chunk_number", r.bucket_chunk_number,
      "buckets_per_chunk", r.buckets_per_chunk, "bucket_chunks_in_use", r.bucket_chunks_in_use, "buckets",
      r.buckets, "entries_found", r.entries_found, "entry_count", r.entry_count, "expansion_participants",
      r.expansion_participants, "nodes", r.nodes, "data_chunks", r.data_chunks, "free_chunks", r.free_chunks,
      "key_bytes", r.key_bytes, "value_bytes", r.value_bytes, "longest_bucket", r.longest_bucket,
      "data_chunk_unit", r.data_chunk_unit, "expanding", r.expanding ? Py_True : Py_False, "needs_recovery",
      r.needs_recovery ? Py_True : Py_False, "in_use", r.in_use ? Py_True : Py_False, "registry_offset",
      r.registry_offset);
  if (d == nullptr) return nullptr;
  // The exact count exists only with a registry; entry_count is the legacy
  // word, an estimate once processes can die between their two updates.
  PyObject *exact = r.registry_offset != 0 ? PyLong_FromLongLong(r.exact_entry_count) : Py_NewRef(Py_None);
  PyObject *notes = PyList_New(0);
  PyObject *locks = PyList_New(0);
  PyObject *slots = slot_list(r.live_slots);
  bool ok = exact && notes && locks && slots;
  for (std::size_t i = 0; ok && i < r.notes.size(); ++i) ok = append(notes, PyUnicode_DecodeUTF8(r.notes[i].data(), static_cast<Py_ssize_t>(r.notes[i].size()), "replace"));
  for (std::size_t i = 0; ok && i < r.held_locks.size(); ++i) ok = append(locks, lock_dict(r.held_locks[i]));
  ok = ok && PyDict_SetItemString(d, "confirmed", r.confirmed ? Py_True : Py_False) == 0 &&
       PyDict_SetItemString(d, "walked_under_locks", r.walked_under_locks ? Py_True : Py_False) == 0;
  ok = ok && PyDict_SetItemString(d, "exact_entry_count", exact) == 0 && PyDict_SetItemString(d, "notes", notes) == 0 &&
       PyDict_SetItemString(d, "held_locks", locks) == 0 && PyDict_SetItemString(d, "live_slots", slots) == 0;
  Py_XDECREF(exact);
  Py_XDECREF(notes);
  Py_XDECREF(locks);
  Py_XDECREF(slots);
  if (!ok) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

PyObject *check(PyObject *, PyObject *arg) {
  std::string name;
  if (!path_arg(arg, name)) return nullptr;
  CheckReport r;
  Py_BEGIN_ALLOW_THREADS r = fennowick::check_map_file(name);
  Py_END_ALLOW_THREADS
  return report_dict(r);
}

PyObject *repair(PyObject *, PyObject *arg) {
  std::string name;
  if (!path_arg(arg, name)) return nullptr;
  // With the interpreter lock held: opening the map allocates through the
  // interpreter's allocator.
  const fennowick::RepairReport r = fennowick::repair_map_file(name);
  PyObject *reclaimed = PyList_New(0);
  PyObject *blocking = slot_list(r.blocking);
  PyObject *after = report_dict(r.after);
  bool ok = reclaimed && blocking && after;
  for (const auto &c : r.reclaimed)
    if (ok && c.unit != 0)
      ok = append(reclaimed, Py_BuildValue("{s:I,s:K,s:K}", "unit", c.unit, "chunks", c.chunks, "bytes", c.bytes));
  PyObject *d = nullptr;
  if (ok)
    d = Py_BuildValue("{s:O,s:O,s:s,s:O,s:K,s:O,s:K,s:K,s:K,s:O,s:s,s:K,s:K,s:O}", "done", r.done ? Py_True : Py_False,
                      "refused", r.refused ? Py_True : Py_False, "problem", r.problem.c_str(), "blocking", blocking,
                      "dead_views", r.dead_views, "reclaimed", reclaimed, "entries_found", r.entries_found, "bump",
                      r.bump, "swept_to", r.swept_to, "sweep_complete", r.sweep_complete ? Py_True : Py_False,
                      "sweep_stop", r.sweep_stop.c_str(), "locks_cleared", r.locks_cleared, "forwards_cleared",
                      r.forwards_cleared, "after", after);
  Py_XDECREF(reclaimed);
  Py_XDECREF(blocking);
  Py_XDECREF(after);
  return d;
}

PyMethodDef methods[] = {
    {"check", check, METH_O,
     "check(path) -> dict\n\nWalk the map file at path and report its shape, its held locks with "
     "their holders, the views attached, and the first inconsistency found ('ok' False and 'problem' set), "
     "or 'ok' True ('needs_recovery' True when dead holders left work that the next opener recovers). "
     "Writes nothing but lock words: a map that live processes have open is walked bucket by bucket under "
     "its locks when the file is writable ('walked_under_locks'); 'confirmed' False when a problem was met "
     "by a walk without locks on a map that others change."},
    {"repair", repair, METH_O,
     "repair(path) -> dict\n\nOffline repair of a map that no process has open: recover dead views, give "
     "chunks that nothing reaches back to the free lists, reset locks and counts. Refuses ('refused' True, "
     "'blocking' the views) while a view of a running process is attached."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_inspect", "Inspection and offline repair of map files.", 0, methods,
                      slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__inspect() { return PyModuleDef_Init(&module); }
