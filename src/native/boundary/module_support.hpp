// Small pieces every extension module of the package shares: the
// one-interpreter guard and the module-dict global lookup with NameError.
#pragma once

#include <Python.h>

#include "boundary/pyref.hpp"

namespace pelmora::py {

// Both modules keep process-wide native state, so they may only ever be
// created in one interpreter. Returns false with ImportError set otherwise.
bool check_single_interpreter();

// module_dict[name] as a borrowed reference; NameError when it is missing.
PyObject* get_global(PyObject* module_dict, PyObject* name);

// Python's `obj.append(item)`, with the list fast path.
bool append_to(PyObject* target, PyObject* item);

// Interned str, kept for the life of the process.
PyObject* intern(const char* s);

}  // namespace pelmora::py

namespace pelmora::py {
// The Py_mod_create slot of every module of the package: the one-interpreter
// guard, then a plain module named after the import machinery's module_spec.
PyObject* create_module(PyObject* module_spec, PyModuleDef* def);
}  // namespace pelmora::py

namespace pelmora::py {
// The two slots of every module of the package: the shared create slot and
// the module's own exec function.
template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {0, nullptr},
};
}  // namespace pelmora::py
