// The journal's keyword options of an account (capital, lots, slippage,
// minimum fee, leverage, financing, liquidity, maintenance margin), described once: the names, their
// defaults as the signature shows them, and their conversion to Execution.
#pragma once

#include <Python.h>

#include <cstdint>

#include "boundary/pyviews.hpp"
#include "core/execution.hpp"

namespace pelmora::py {

inline constexpr int kExecutionCount = 14;
inline constexpr const char* kExecutionNames[kExecutionCount] = {
    "capital", "lot_size", "slippage", "min_fee", "max_gross",
    "cash_rate", "borrow_rate", "short_fee", "day_length",
    "volume", "max_participation", "impact", "impact_window", "maintenance_margin"};
inline constexpr const char* kExecutionDefaults[kExecutionCount] = {
    "None", "None", "0.0", "0.0", "1.0", "0.0", "0.0", "0.0", "86400000000000",
    "None", "None", "0.0", "20", "None"};

// Converts the keyword values (nullptr: not given) for a run of `n_stocks`
// position labels on the trade-price matrix `price` and the price dates
// `dates`; `volume` holds the volume matrix's buffer for the run. Refuses
// what pelmora.options refuses, with its texts (option_texts.hpp). Under the
// lock; throws Failure with the argument named.
void convert_execution(PyObject* const* raw, std::int64_t n_stocks, const View2D<double>& price,
                       const View1D<std::int64_t>& dates, Buffer& volume, Execution& x);

// Index of `key` among the names, or -1.
int execution_index(PyObject* key);

}  // namespace pelmora::py
