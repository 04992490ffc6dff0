// The journal's output dict: a dict subclass whose only difference is that
// the next-period orders, stored under "next_period", can still be read
// under their old key "report" (with a DeprecationWarning) for one release.
// The old key is not stored, so the output compares equal to a plain dict of
// the same items, iterates, copies and pickles as one (the type is
// pelmora.core.journal.RunOutput, found by pickle by that name).
#pragma once

#include <Python.h>

namespace pelmora::py {

// Creates the type once and adds it to `module` as RunOutput; -1 on error.
int add_run_output_type(PyObject* module);

// A new, empty output dict. Throws Failure.
PyObject* new_run_output();

}  // namespace pelmora::py
