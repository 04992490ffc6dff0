// The figures the statistics read from a run's fills and trades, made from
// the journal's own columns before they are handed over, for a caller that
// keeps none of them (a sweep's statistics): run_many(figures=True) returns
// them under "figures" in place of the fill, trade and excursion columns.
//
// Each figure is the one the Python statistics compute from those columns,
// bit for bit: the turnover per row, the trade figures of the positions (the
// records of one holding joined), the means of the trades' mae and gmfe, the
// sums of the cost columns, the first row with a fill and the fill rate.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "boundary/pyref.hpp"
#include "core/journal.hpp"

namespace pelmora::py {

// A dict of the figures of `j`'s run, whose equity is `equity` (n_rows
// values), its trades' summary blocks `summary_width` wide. An empty Ref
// without an exception when the figures need the columns themselves: orders
// left open with a capital (the fill rate follows each order through its
// days) or summary blocks without the two fields. Throws Failure.
Ref statistics_figures(const Journal& j, const double* equity, std::int64_t n_rows,
                       std::int64_t summary_width);

}  // namespace pelmora::py
