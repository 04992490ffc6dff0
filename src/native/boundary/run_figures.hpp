// The statistics' figures of a run's columns (the turnover per row, the
// trades' figures, the average excursions and NumPy's sums of the cost
// columns), each a task of its own, the tasks shared among threads without
// the interpreter lock (see _run_figures, _turnover, _trade_figures and
// _means_skipping_nan).
//
// _run_figures(pnl, mae, gmfe, rows, before, after, written_off, equity,
//              *columns), METH_FASTCALL: computes them on the usable CPUs and
//   returns (turnover per row, (counted, wins, losses, gains, lost, total),
//   (mean mae, mean gmfe), (sum of each column, ...)).
// _start_figures(...), the same arguments: starts them on a thread of its own
//   and returns a _FiguresTask at once; its result() returns that tuple, the
//   calling thread taking the tasks not started yet. Meanwhile the caller
//   may run Python code: the task holds its inputs (strong references, with
//   their buffers) and owns what it writes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmora::py {

PyObject* run_figures(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* start_figures(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// Adds the _FiguresTask type to `module`; -1 with an exception set.
int add_figures_task_type(PyObject* module);

}  // namespace pelmora::py
