// Excursion arithmetic of one trade: the day-by-day path of its return from the
// entry row through the exit (and at least `window` rows past the entry), and
// the sampled/summary blocks written into the excursion array.
//
// Layout of the excursion array: S = (window - 1) // window_step + 1 sample
// blocks followed by one summary block, kExcursionBlock doubles each, named
// by kExcursionFields:
//   cummin - 1, cummax - 1, cummax at the last new low - 1, mdd,
//   rows in profit, return - 1.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/views.hpp"

namespace pelmora {

inline constexpr int kExcursionBlock = 6;
inline constexpr const char* kExcursionFields[kExcursionBlock] = {
    "mae", "gmfe", "bmfe", "mdd", "profit_bars", "trade_return"};

// The six series of one path, one element per position (row i_entry + n).
// Kept between trades so their capacity is reused.
struct ExcursionPath {
  std::vector<double> returns, cummax, cummin, mdd, profit_period;
  std::vector<std::int64_t> cummin_i;
  std::int64_t i_entry = 0;
  std::int64_t i_exit = 0;

  std::size_t length() const { return cummax.size(); }
};

struct ExcursionTrade {
  std::int64_t pid;  // price column
  std::int64_t i_entry;
  std::int64_t i_exit;
  bool is_long;
  bool entry_transaction;
  bool exit_transaction;
};

struct ExcursionParams {
  View2D<double> price;  // trade prices; its row count bounds the path
  View2D<double> close;
  bool close_missing = false;  // the close matrix is None
  // The caller has checked that no close is zero: a summary alone then reads
  // no row past its position (those rows could fail on a zero close only).
  bool closes_checked = false;
  double fee_ratio = 0.0;
  double tax_ratio = 0.0;
  int window = 0;
  int window_step = 0;
};

// The last row of a trade's path: its exit row, or `window` rows past its
// entry when that is later, and never past the data's last row.
inline std::int64_t path_end(const ExcursionParams& params, std::int64_t i_entry,
                             std::int64_t i_exit) {
  std::int64_t end = i_exit;
  if (i_entry + params.window > end) end = i_entry + params.window;
  if (end >= params.price.rows) end = params.price.rows - 1;
  return end;
}

// Builds the path of one trade into `path`. Throws Failure on the errors of
// the computation (out-of-range rows/columns, zero prices, negative length).
void compute_excursion_path(const ExcursionParams& params, const ExcursionTrade& trade,
                            ExcursionPath& path);

// Length of the excursion array; throws the integer-division failures.
std::int64_t excursion_array_size(int window, int window_step);

// Writes the sample blocks and the summary block into `out` (already filled
// with -1 by the caller). Every write is bounds-checked.
void write_excursion_array(const ExcursionPath& path, int window, int window_step, double* out,
                           std::int64_t out_size);

// Both steps at once for window >= 1 and window_step >= 1, into the
// excursion_array_size(window, window_step) elements of `out`: every element
// is written (the sample blocks past the path's end with -1), whatever `out`
// held before, unless the computation fails.
void compute_excursion_array(const ExcursionParams& params, const ExcursionTrade& trade,
                             double* out, std::int64_t out_size);

// The excursion arrays of up to kExcursionBatch trades at once (window >= 1
// and window_step >= 1), each into its own `out_size` elements, written
// whole as compute_excursion_array writes them. The results are those of compute_excursion_array trade by trade.
// Returns -1, or the index of the first trade whose computation failed, with
// its failure in `failure` (the later trades are computed all the same).
// `summary_only`: each out is the kExcursionBlock elements of the summary
// block alone (the array's last block), computed without the samples and
// without the arithmetic of the rows past the summary's position, which
// cannot change it; those rows are still read for the failures they raise,
// so the values and the failures are those of the whole arrays.
inline constexpr int kExcursionBatch = 16;
std::int64_t compute_excursion_arrays(const ExcursionParams& params, const ExcursionTrade* trades,
                                      double* const* outs, std::int64_t out_size, int n,
                                      Failure& failure, bool summary_only = false);

// One trade's excursion array, exactly as the excursion module builds it: the
// same reads, results and failures, in the same order. `alloc(n)` gives room
// for the n elements of the array (it throws for a negative n, as an array
// constructor does); `path` is scratch reused between trades. Returns n.
template <class Alloc>
std::int64_t build_excursion_array(const ExcursionParams& params, const ExcursionTrade& trade,
                                   ExcursionPath& path, Alloc&& alloc) {
  if (params.window >= 1 && params.window_step >= 1) {
    // compute_excursion_array writes every element (those past the path
    // with -1): no fill first.
    const std::int64_t size = excursion_array_size(params.window, params.window_step);
    double* out = alloc(size);
    compute_excursion_array(params, trade, out, size);
    return size;
  }
  compute_excursion_path(params, trade, path);
  const std::int64_t size = excursion_array_size(params.window, params.window_step);
  double* out = alloc(size);
  for (std::int64_t k = 0; k < size; ++k) out[k] = -1.0;
  write_excursion_array(path, params.window, params.window_step, out, size);
  return size;
}

// A walk started before its trade's exit is known, walked ahead over rows that
// come before the exit, and finished once the exit is known. For window >= 1,
// window_step >= 1 and a trade whose rows up to the data's last are inside
// both matrices; the array it writes is compute_excursion_array's, bit for
// bit, and it fails where that fails, as long as it was not walked past the
// summary's position (finish says so, and then writes nothing).
class ExcursionCursor {
 public:
  ExcursionCursor();
  ~ExcursionCursor();
  ExcursionCursor(ExcursionCursor&&) noexcept;
  ExcursionCursor& operator=(ExcursionCursor&&) noexcept;

  // Starts the walk of `trade` (its exit is not read) into the out_size
  // elements of `out`, which must outlive the walk; `params` is copied.
  // False when the trade is not of the kind above (nothing kept). Throws the
  // failures of the start.
  bool start(const ExcursionParams& params, const ExcursionTrade& trade, double* out,
             std::int64_t out_size);
  // Walks on through `row`; throws a failure met on the way (the walk is then
  // of no further use).
  void walk_to(std::int64_t row);
  // The last row walked: the entry row before any.
  std::int64_t reached() const;
  // Ends the walk at exit row i_exit: false, with nothing written, when it has
  // already gone past the summary's position; else walks the rest and
  // patches the return, throwing as compute_excursion_array would.
  bool finish(std::int64_t i_exit, bool exit_transaction);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

[[noreturn]] inline void negative_dimensions() {
  fail(ErrorKind::ValueError, "negative dimensions are not allowed");
}

}  // namespace pelmora
