#include "boundary/module_support.hpp"

#include <cstdint>

namespace pelmora::py {

bool check_single_interpreter() {
  static std::int64_t main_interpreter_id = -1;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return false;
  if (main_interpreter_id == -1) {
    main_interpreter_id = id;
  } else if (main_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
  }
  return true;
}

PyObject* get_global(PyObject* module_dict, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(module_dict, name);
  if (v == nullptr && !PyErr_Occurred()) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return v;
}

bool append_to(PyObject* target, PyObject* item) {
  if (PyList_CheckExact(target)) return PyList_Append(target, item) == 0;
  static PyObject* append_name = intern("append");
  Ref r(PyObject_CallMethodOneArg(target, append_name, item));
  return static_cast<bool>(r);
}

PyObject* intern(const char* s) { return PyUnicode_InternFromString(s); }

}  // namespace pelmora::py

namespace pelmora::py {
PyObject* create_module(PyObject* module_spec, PyModuleDef*) {
  if (!check_single_interpreter()) return nullptr;
  Ref name(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  return PyModule_NewObject(name.get());
}
}  // namespace pelmora::py
