// The definition of the shared NumPy API table (see numpy.hpp).
#define PELMORA_NUMPY_API_DEFINITION
#include "boundary/numpy.hpp"

namespace pelmora::py {

int import_numpy() { return PyArray_ImportNumPyAPI(); }

}  // namespace pelmora::py
