// Argument handling shared by the native entries: matching FASTCALL arguments
// to names, the position-to-price column map built from the labels, and the
// two dicts of run_many (the shared arrays and one variant).
#pragma once

#include <Python.h>

#include <cstdint>
#include <map>

#include "boundary/pyref.hpp"
#include "boundary/run_args.hpp"

namespace pelmora::py {

// Matches FASTCALL arguments to `names` (the first `n_required` required; the
// names from `n_positional` on keyword-only, -1: none) and raises the host's
// argument errors with their exact texts. `out` receives borrowed references
// (nullptr for a missing optional).
bool parse_arguments(const char* fname, const char* const* names, int n_required, int n_total,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                     int n_positional = -1);

// Position columns to price columns by the UTF-8 bytes of their names (the
// last duplicate price name wins). Throws Failure with the frame of map_columns.
std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns);

// Labels are walked one by one in Python to map the columns, and a run
// indexes stocks with C ints: a label array longer than that is refused by
// its length first (a broadcast view of a single label can be any length).
// Throws Failure.
void check_label_counts(PyObject* price_columns, PyObject* pos_columns);

// run_many's `arrays` dict as strong references, in parameter order (the 11
// arrays and delisting_bars; options are null). Returns false with TypeError
// set when it is not a dict of those names.
bool run_arrays(PyObject* arrays, Ref (&base)[kRunTotal]);

// run_many's `threads` (None or absent: `threads` unchanged; at most 1024).
// Returns false with the exception set when it is not an int of at least 1.
bool threads_argument(PyObject* obj, int& threads);

inline constexpr int kMaxVariantExtras = 16;

// One variant's 25 raw arguments as strong references, taken when the call
// starts: neither the `arrays` dict nor the variant dicts are read again, so
// code that edits them (an option's conversion hook, another thread) cannot
// free what a variant still reads.
struct VariantArgs {
  Ref values[kRunTotal];  // null: the option was not given
  Ref extra[kMaxVariantExtras];  // the entry's own options by its list of names; null: not given
  Ref error;              // the exception of a malformed variant
};

// Takes variant `k`'s arguments from its dict over `base`. Sets an exception
// and returns false when the variant is malformed.
// `extra_names` (at most kMaxVariantExtras): keys the entry takes beside the
// run's options, into out.extra in that order.
bool variant_arguments(const Ref* base, PyObject* variant, VariantArgs& out, std::int64_t k,
                       const char* const* extra_names = nullptr, int n_extra = 0);

}  // namespace pelmora::py
