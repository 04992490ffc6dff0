#include "boundary/native_api.hpp"

#include <cstring>

#include "boundary/pyref.hpp"

namespace pelmora::api {

namespace {

bool bind_one(PyObject* table, const Export& e, void** slot) {
  const char* kind = e.is_variable ? "variable" : "function";
  PyObject* cap = table ? PyDict_GetItemString(table, e.name) : nullptr;
  if (cap == nullptr) {
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", kModuleName,
                 kind, e.name);
    return false;
  }
  if (!PyCapsule_IsValid(cap, e.signature)) {
    const char* got = PyCapsule_GetName(cap);
    if (got == nullptr && PyErr_Occurred()) return false;
    PyErr_Format(PyExc_TypeError,
                 "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)", kind,
                 kModuleName, e.name, e.signature, got ? got : "");
    return false;
  }
  *slot = PyCapsule_GetPointer(cap, e.signature);
  return *slot != nullptr;
}

}  // namespace

bool bind(Bindings& out) {
  py::Ref module(PyImport_ImportModule(kModuleName));
  if (!module) return false;
  py::Ref table(PyObject_GetAttrString(module.get(), kCapsuleDictName));
  if (!table) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
  } else if (!PyDict_Check(table.get())) {
    table.reset();
  }
  void* slots[7] = {};
  for (int i = 0; i < 7; ++i) {
    if (!bind_one(table.get(), kExports[i], &slots[i])) return false;
  }
  Bindings b;
  b.entry = static_cast<ArrayPtr*>(slots[0]);
  b.position = static_cast<ArrayPtr*>(slots[1]);
  b.start_analysis = reinterpret_cast<StartAnalysisFn>(slots[2]);
  b.record_date = reinterpret_cast<RecordDateFn>(slots[3]);
  b.record_entry = reinterpret_cast<RecordEntryFn>(slots[4]);
  b.record_exit = reinterpret_cast<RecordExitFn>(slots[5]);
  b.end_analysis = reinterpret_cast<EndAnalysisFn>(slots[6]);
  out = b;
  return true;
}

}  // namespace pelmora::api
