#include "boundary/run_output.hpp"

#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"

namespace pelmora::py {
namespace {

PyTypeObject* g_type = nullptr;  // kept for the life of the process

constexpr const char* kRenamed =
    "the journal output key 'report' is renamed 'next_period'; 'report' will be removed in "
    "the next release";

bool is_old_key(PyObject* key) {
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "report") == 0;
}

// output["report"] when only "next_period" is stored: that value, with the warning.
// Null with no exception set when `key` is not the old key or nothing is stored.
PyObject* old_key_value(PyObject* self, PyObject* key) {
  if (!is_old_key(key)) return nullptr;
  PyObject* value = PyDict_GetItemString(self, "next_period");  // borrowed
  if (value == nullptr) return nullptr;
  Ref held = Ref::borrow(value);  // the warning may run code that edits the dict
  if (PyErr_WarnEx(PyExc_DeprecationWarning, kRenamed, 1) < 0) return nullptr;
  return held.release();
}

PyObject* missing(PyObject* self, PyObject* key) {
  PyObject* value = old_key_value(self, key);
  if (value == nullptr && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return value;
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 2) {
    PyErr_Format(PyExc_TypeError, "get expected 1 or 2 arguments, got %zd", nargs);
    return nullptr;
  }
  PyObject* value = PyDict_GetItemWithError(self, args[0]);
  if (value != nullptr) return Py_NewRef(value);
  if (PyErr_Occurred()) return nullptr;
  value = old_key_value(self, args[0]);
  if (value != nullptr || PyErr_Occurred()) return value;
  return Py_NewRef(nargs == 2 ? args[1] : Py_None);
}

PyMethodDef methods[] = {
    {"__missing__", reinterpret_cast<PyCFunction>(missing), METH_O,
     "The next-period orders under their old key 'report', with a DeprecationWarning."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(get)), METH_FASTCALL,
     "D.get(k[,d]) -> D[k] if k in D else d; 'report' reads 'next_period' with a "
     "DeprecationWarning."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A run's output: a dict (creturn, cash, rebalance_rows, fills, trades,\n"
                    "excursions, positions, next_period). 'report', the old name of\n"
                    "next_period, still reads for one release with a DeprecationWarning.")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec run_output_type = {"pelmora.core.journal.RunOutput", 0, 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_run_output_type(PyObject* module) {
  if (g_type == nullptr) {
    PyObject* type = PyType_FromSpecWithBases(&run_output_type, reinterpret_cast<PyObject*>(&PyDict_Type));
    if (type == nullptr) return -1;
    g_type = reinterpret_cast<PyTypeObject*>(type);
  }
  return PyModule_AddObjectRef(module, "RunOutput", reinterpret_cast<PyObject*>(g_type));
}

PyObject* new_run_output() {
  return checked(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(g_type)));
}

}  // namespace pelmora::py
