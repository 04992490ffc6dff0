// Excursion path and array. The order of every floating-point operation is the
// documented one; do not reassociate (the results are compared bit for bit).
#include "core/excursion.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace pelmora {

std::string buffer_oob_message(int axis) {
  return "Out of bounds on buffer access (axis " + std::to_string(axis) + ")";
}

std::string numpy_oob_message(std::int64_t index, std::int64_t size) {
  return "index " + std::to_string(index) + " is out of bounds for axis 0 with size " +
         std::to_string(size);
}

namespace {

// a[row][col] with NumPy item semantics on each of the two steps.
inline __attribute__((always_inline)) double item(const View2D<double>& a, std::int64_t row, std::int64_t col) {
  const std::int64_t r = item_index(row, a.rows);
  return a.get(r, item_index(col, a.cols));
}

[[noreturn]] void float_division() { fail(ErrorKind::ZeroDivisionError, "float division"); }

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

void write_checked(double* out, std::int64_t size, std::int64_t index, double value) {
  if (index < 0) index += size;
  if (index < 0 || index >= size) fail(ErrorKind::IndexError, buffer_oob_message(0));
  out[index] = value;
}

// The path's extent, and its first position: the entry close over the entry
// trade price (2 minus that for a short), less the entry fee.
struct PathStart {
  std::int64_t i_exit_max;
  std::int64_t length;
  double price_ratio;
  double pv;  // base of the first daily step
};

PathStart start_path(const ExcursionParams& params, const ExcursionTrade& t) {
  const std::int64_t i_exit_max = path_end(params, t.i_entry, t.i_exit);
  const std::int64_t length = i_exit_max - t.i_entry + 1;
  if (length < 0) fail(ErrorKind::OverflowError, "can't convert negative value to size_t");

  const double entry_price = item(params.price, t.i_entry, t.pid);
  if (params.close_missing) fail(ErrorKind::TypeError, "'NoneType' object is not subscriptable");
  const double entry_close = item(params.close, t.i_entry, t.pid);
  if (entry_price == 0) float_division();
  double price_ratio = t.is_long ? entry_close / entry_price : 2 - entry_close / entry_price;
  if (t.entry_transaction) price_ratio = (1 - params.fee_ratio) * price_ratio;
  return {i_exit_max, length, price_ratio, entry_close};
}

// The position of the summary block on a path whose last position is `last`:
// the exit's (span rows past the entry), or the last when the exit is before
// the entry or past the path.
inline std::int64_t summary_position(std::int64_t span, std::int64_t last) {
  return (span >= 0 && span < last) ? span : last;
}

// Moves price_ratio by the ratio of close `v` to the base `pv`; a NaN close
// leaves both the ratio and the base where they were. Returns whether the
// row had a close.
inline __attribute__((always_inline)) bool step_close(double v, bool is_long, double& price_ratio,
                                                      double& pv) {
  if (std::isnan(v)) return false;
  if (pv == 0) float_division();
  const double p = v / pv;
  pv = v;
  if (!std::isnan(p)) price_ratio = is_long ? p * price_ratio : 2 - p * (2 - price_ratio);
  return true;
}

// One row of the path, read with item semantics.
inline __attribute__((always_inline)) bool step_path(const ExcursionParams& params,
                                                     const ExcursionTrade& t, std::int64_t ith,
                                                     std::int64_t i_exit_max, double& price_ratio,
                                                     double& pv) {
  // The path walks one column of a wide matrix: every row is a cache miss
  // unless it is requested a few rows ahead.
  constexpr std::int64_t kAhead = 8;
  const std::int64_t ahead = ith + kAhead;
  if (ahead <= i_exit_max && ahead < params.close.rows && t.pid >= 0 &&
      t.pid < params.close.cols && ith > 0) {
    __builtin_prefetch(params.close.data + ahead * params.close.row_stride +
                       t.pid * params.close.col_stride);
  }
  return step_close(item(params.close, ith, t.pid), t.is_long, price_ratio, pv);
}

// The last return with the exit's trade price in place of the close (when a
// row followed the entry) and the fee and tax taken off.
double exit_return(const ExcursionParams& params, const ExcursionTrade& t, std::int64_t i_exit_max,
                   double last) {
  if (t.i_entry != i_exit_max) {
    // The last row the walk reached: the entry row itself when the path ends
    // before it (an exit row before the entry row).
    const std::int64_t row = i_exit_max > t.i_entry ? i_exit_max : t.i_entry;
    const double pv = item(params.price, row, t.pid);
    const double v = item(params.close, row, t.pid);
    if (v == 0) float_division();
    if (t.is_long) {
      last = (pv / v) * last;
    } else {
      last = 2 - ((2 - last) * pv) / v;
    }
  }
  return (1 - params.fee_ratio - params.tax_ratio) * last;
}

}  // namespace

void compute_excursion_path(const ExcursionParams& params, const ExcursionTrade& t,
                            ExcursionPath& path) {
  path.returns.clear();
  path.cummax.clear();
  path.cummin.clear();
  path.cummin_i.clear();
  path.mdd.clear();
  path.profit_period.clear();
  path.i_entry = t.i_entry;
  path.i_exit = t.i_exit;
  PathStart start = start_path(params, t);
  // A valid path never has more positions than the data has rows (plus one
  // when a negative entry row wraps); reserving more would only waste memory
  // before the first out-of-range read fails.
  const std::size_t reserve =
      static_cast<std::size_t>(std::min(start.length, params.price.rows + 1));
  path.returns.reserve(reserve);
  path.cummax.reserve(reserve);
  path.cummin.reserve(reserve);
  path.cummin_i.reserve(reserve);
  path.mdd.reserve(reserve);
  path.profit_period.reserve(reserve);

  double price_ratio = start.price_ratio;
  path.returns.push_back(price_ratio);
  path.cummax.push_back(1 > price_ratio ? 1.0 : price_ratio);
  path.cummin.push_back(price_ratio > 1 ? 1.0 : price_ratio);
  path.cummin_i.push_back(0);
  path.mdd.push_back(price_ratio - 1 < 0 ? price_ratio - 1 : 0.0);
  path.profit_period.push_back(price_ratio > 1 ? 1.0 : 0.0);

  std::size_t i = 0;
  for (std::int64_t ith = t.i_entry + 1; ith <= start.i_exit_max; ++ith, ++i) {
    const bool have_close = step_path(params, t, ith, start.i_exit_max, price_ratio, start.pv);
    double cmax = path.cummax[i];
    const double cmin = path.cummin[i];
    if (price_ratio > cmax) {
      path.cummax.push_back(price_ratio);
      cmax = price_ratio;
    } else {
      path.cummax.push_back(cmax);
    }
    // A new low records the position before it, whose running maximum is
    // the one in force when the low was made.
    if (cmin > price_ratio) {
      path.cummin.push_back(price_ratio);
      path.cummin_i.push_back(static_cast<std::int64_t>(i));
    } else {
      path.cummin.push_back(cmin);
      path.cummin_i.push_back(path.cummin_i[i]);
    }
    if (cmax == 0) float_division();
    const double newmdd = price_ratio / cmax - 1;
    path.mdd.push_back(path.mdd[i] > newmdd ? newmdd : path.mdd[i]);
    path.profit_period.push_back(have_close && price_ratio > 1 ? path.profit_period[i] + 1
                                                               : path.profit_period[i]);
    path.returns.push_back(price_ratio);
  }

  if (t.exit_transaction) {
    path.returns.back() = exit_return(params, t, start.i_exit_max, path.returns.back());
  }
}

std::int64_t excursion_array_size(int window, int window_step) {
  if (window_step == 0) fail(ErrorKind::ZeroDivisionError, "integer division or modulo by zero");
  const std::int64_t w1 = static_cast<std::int64_t>(window) - 1;
  if (window_step == -1 && w1 == std::numeric_limits<int>::min()) {
    fail(ErrorKind::OverflowError, "value too large to perform division");
  }
  return floor_div(w1, window_step) * kExcursionBlock + 2 * kExcursionBlock;
}

void write_excursion_array(const ExcursionPath& path, int window, int window_step, double* out,
                           std::int64_t out_size) {
  const std::size_t n = path.length();
  const std::size_t stop = std::min(n, static_cast<std::size_t>(static_cast<std::int64_t>(window)));
  std::int64_t index = 0;
  if (window_step > 0) {
    for (std::size_t w = 0; w < stop; w += static_cast<std::size_t>(window_step)) {
      write_checked(out, out_size, index + 0, path.cummin[w] - 1);
      write_checked(out, out_size, index + 1, path.cummax[w] - 1);
      write_checked(out, out_size, index + 2,
                    path.cummax[static_cast<std::size_t>(path.cummin_i[w])] - 1);
      write_checked(out, out_size, index + 3, path.mdd[w]);
      write_checked(out, out_size, index + 4, path.profit_period[w]);
      write_checked(out, out_size, index + 5, path.returns[w] - 1);
      index += kExcursionBlock;
    }
  }
  // Exit position; a negative span selects the last position.
  const std::int64_t span = path.i_exit - path.i_entry;
  std::size_t e = n - 1;
  if (span >= 0 && static_cast<std::size_t>(span) < e) e = static_cast<std::size_t>(span);
  const double mae = path.cummin[e] - 1;
  const double gmfe = path.cummax[e] - 1;
  const std::size_t mae_i = static_cast<std::size_t>(path.cummin_i[e]);
  const double bmfe = path.cummax[mae_i] - 1;
  const std::int64_t base = out_size - kExcursionBlock;
  write_checked(out, out_size, base + 0, mae);
  write_checked(out, out_size, base + 1, gmfe);
  write_checked(out, out_size, base + 2, bmfe);
  write_checked(out, out_size, base + 3, path.mdd[e]);
  write_checked(out, out_size, base + 4, path.profit_period[e]);
  write_checked(out, out_size, base + 5, path.returns[e] - 1);
}

namespace {

// One pass over a trade's path with running scalars instead of six series,
// one row per advance(), so that several walks can go side by side. Valid
// for window >= 1 and window_step >= 1, where every sample block fits; it
// reads the same elements in the same order and performs the same operations
// as compute_excursion_path + write_excursion_array, so the results and the
// failures are identical.
struct Walk {
  const ExcursionParams* params;
  ExcursionTrade t;
  double* out;
  std::int64_t out_size;

  // Only the summary block, at `summary`: no samples (`out` is null).
  bool summary_only = false;
  // The exit is not known yet: no summary position (ExcursionCursor).
  bool provisional = false;

  PathStart start{};
  double price_ratio = 0, cmax = 0, cmin = 0, cmax_at_min = 0, mdd = 0, profit_period = 0;
  std::int64_t last = 0, e = 0, n_samples_end = 0, next_sample = 0, n = 0, ith = 0;
  double* summary = nullptr;
  double* next_block = nullptr;
  bool fast = false;

  __attribute__((always_inline)) void begin() {
    start = start_path(*params, t);
    price_ratio = start.price_ratio;
    cmax = 1 > price_ratio ? 1.0 : price_ratio;
    cmin = price_ratio > 1 ? 1.0 : price_ratio;
    cmax_at_min = cmax;  // cummax at the position recorded for the last new low
    mdd = price_ratio - 1 < 0 ? price_ratio - 1 : 0.0;
    profit_period = price_ratio > 1 ? 1.0 : 0.0;
    // Positions of the samples and of the summary (a negative span selects
    // the last position).
    last = start.length - 1;
    const std::int64_t span = t.i_exit - t.i_entry;
    e = provisional ? std::numeric_limits<std::int64_t>::max() : summary_position(span, last);
    n_samples_end = summary_only ? 0 : std::min<std::int64_t>(start.length, params->window);
    if (!summary_only) {
      summary = out + out_size - kExcursionBlock;
      // The sample blocks past the path's end read -1; the walk writes all
      // the others, so the caller need not fill the array first.
      const std::int64_t step = params->window_step;
      const std::int64_t written = (n_samples_end + step - 1) / step;
      for (double* b = out + written * kExcursionBlock; b < summary; ++b) *b = -1.0;
    }
    next_sample = 0;  // positions 0, step, 2 * step, ... below n_samples_end
    next_block = out;
    emit();
    ith = t.i_entry + 1;
    // Every row of the walk inside the close matrix: read without checks.
    fast = !params->close_missing && ith >= 0 && start.i_exit_max < params->close.rows &&
           t.pid >= 0 && t.pid < params->close.cols;
    // The exit reads the last row's trade price, far from the entry (for the
    // summary alone only when the summary is at the last position).
    if (fast && t.exit_transaction && (!summary_only || e == last) &&
        start.i_exit_max < params->price.rows &&
        t.pid < params->price.cols) {
      const View2D<double>& pm = params->price;
      __builtin_prefetch(pm.data + start.i_exit_max * pm.row_stride + t.pid * pm.col_stride);
    }
  }

  __attribute__((always_inline)) void emit() {
    double* blocks[2] = {nullptr, nullptr};
    if (n == next_sample && n < n_samples_end) {
      blocks[0] = next_block;
      next_sample += params->window_step;
      next_block += kExcursionBlock;
    }
    if (n == e) blocks[1] = summary;
    for (double* b : blocks) {
      if (b == nullptr) continue;
      b[0] = cmin - 1;
      b[1] = cmax - 1;
      b[2] = cmax_at_min - 1;
      b[3] = mdd;
      b[4] = profit_period;
      b[5] = price_ratio - 1;
    }
  }

  // One row of the path, or the exit when the path is done; false then.
  // Inside the matrix the close is read without checks; the series updates
  // are written without data-dependent branches (the comparisons select,
  // NaN included, exactly as the if-statements they stand for).
  __attribute__((always_inline)) bool advance() {
    if (ith > start.i_exit_max) {
      finish();
      return false;
    }
    double pr = price_ratio;
    bool have_close;
    if (fast) {
      constexpr std::int64_t kAhead = 8;
      const View2D<double>& c = params->close;
      if (ith + kAhead <= start.i_exit_max) {
        __builtin_prefetch(c.data + (ith + kAhead) * c.row_stride + t.pid * c.col_stride);
      }
      have_close = step_close(c.get(ith, t.pid), t.is_long, pr, start.pv);
    } else {
      have_close = step_path(*params, t, ith, start.i_exit_max, pr, start.pv);
    }
    return update(have_close, pr);
  }

  __attribute__((always_inline)) bool update(bool have_close, double pr) {
    price_ratio = pr;
    const double cmax_prev = cmax;
    cmax = pr > cmax ? pr : cmax;
    const bool low = cmin > pr;
    cmin = low ? pr : cmin;
    cmax_at_min = low ? cmax_prev : cmax_at_min;
    if (cmax == 0) float_division();
    const double newmdd = pr / cmax - 1;
    mdd = mdd > newmdd ? newmdd : mdd;
    profit_period = profit_period + ((have_close && pr > 1) ? 1.0 : 0.0);
    ++n;
    emit();
    ++ith;
    return true;
  }

  // The rest of the walk when every row is inside the close matrix, in two
  // loops per chunk of rows: the chain of returns first, then the series and
  // the blocks. Each loop then carries only a short dependency from row to
  // row (a product, a running maximum), so the divisions of successive rows
  // overlap instead of waiting on each other. Same operations, same order
  // per series, same failure at the same row.
  void run_fast() {
    walk_fast_to(start.i_exit_max);
    finish();
  }

  // The rows up to `last_row` (at most i_exit_max) of a fast walk, as above.
  void walk_fast_to(std::int64_t last_row) {
    constexpr std::int64_t kChunk = 128, kAhead = 8, kMinQuiet = 8, kAfterQuiet = 16;
    double ratios[kChunk];
    bool closes[kChunk];
    const View2D<double>& c = params->close;
    const std::int64_t stride = c.row_stride;
    const char* const column = c.data + t.pid * c.col_stride;
    const bool is_long = t.is_long;
    // Rows after a quiet stretch that stopped on a row it does not take.
    std::int64_t after_quiet = 0;
    while (ith <= last_row) {
      std::int64_t m = std::min<std::int64_t>(kChunk, last_row - ith + 1);
      if (after_quiet == 0) {
        const std::int64_t next = next_emit();
        // Rows before the next position that writes a block.
        const std::int64_t quiet = std::min<std::int64_t>(last_row - ith + 1, next - n - 1);
        if (quiet >= kMinQuiet && quiet_state()) {
          const std::int64_t walked = t.is_long ? walk_quiet<true>(quiet) : walk_quiet<false>(quiet);
          if (walked == quiet) continue;
          // Stopped on a row it does not take: a few rows the general way.
          after_quiet = walked > 0 ? kAfterQuiet : kChunk;
          m = std::min(last_row - ith + 1, after_quiet);  // ith has moved on
        } else if (n < n_samples_end) {
          // The samples: every row up to the last of them the general way,
          // and the rows after them too when they are too few to be quiet.
          const std::int64_t samples = std::max<std::int64_t>(1, n_samples_end - 1 - n);
          if (last_row - ith + 1 - samples >= kMinQuiet) m = std::min(m, samples);
        } else if (next - n <= m) {
          m = next - n;  // through the summary's position
        }
      }
      after_quiet = std::max<std::int64_t>(0, after_quiet - m);
      double pr = price_ratio;
      double pv = start.pv;
      std::int64_t walked = m;
      bool zero_base = false;
      const char* at = column + ith * stride;
      for (std::int64_t i = 0; i < m; ++i, at += stride) {
        if (ith + i + kAhead <= last_row) __builtin_prefetch(at + kAhead * stride);
        double v;
        std::memcpy(&v, at, sizeof v);
        closes[i] = !std::isnan(v);
        if (closes[i]) {
          if (pv == 0) {
            walked = i;
            zero_base = true;
            break;
          }
          const double p = v / pv;
          pv = v;
          if (!std::isnan(p)) pr = is_long ? p * pr : 2 - p * (2 - pr);
        }
        ratios[i] = pr;
      }
      start.pv = pv;
      update_run(ratios, closes, walked);
      if (zero_base) float_division();
    }
  }

  // Whether the series allow a quiet stretch: every one finite, the ratio,
  // the running maximum and the running minimum above zero, and a finite
  // positive base.
  bool quiet_state() const {
    constexpr double inf = std::numeric_limits<double>::infinity();
    auto finite = [](double x) { return x - x == 0; };
    return price_ratio > 0 && price_ratio < inf && cmax > 0 && cmax < inf && cmin > 0 &&
           finite(cmin) && finite(cmax_at_min) && finite(mdd) && start.pv > 0 && start.pv < inf;
  }

  // Up to `count` rows that write no block, taken in blocks of kQuietBlock
  // rows on the assumption that the block is quiet: every close there a
  // number, no base zero, and every ratio finite and above zero. The block is
  // walked without a test per row and checked once at its end; a block that
  // was not quiet is dropped (the series are as before it) and the walk stops
  // there for the general one to take it. Returns the rows walked.
  //
  // On a quiet block the row-by-row operations give these same values: no
  // step fails, every row has a close, no ratio is NaN. What is not quiet
  // shows at the block's end. A NaN close or ratio makes the ratio NaN from
  // there on. A zero, negative or infinite ratio takes the running minimum to
  // zero or below or the running maximum to infinity. A zero base divides
  // the next close into an infinity or a NaN; a zero base on the block's last
  // row is one the next block starts from and refuses.
  //
  // The drawdown is taken once per run of rows under the same running maximum
  // c instead of once per row: x -> (x / c) - 1 never decreases as x grows
  // (each rounding is monotone), so the least of a run's drawdowns is the one
  // of its least ratio, and a running minimum of finite values keeps the same
  // bits in any order (no NaN, no negative zero among them). The rows in
  // profit are counted in an integer and added at the end: adding 1.0 to a
  // whole number of rows is exact.
  template <bool kLong>
  std::int64_t walk_quiet(std::int64_t count) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr std::int64_t kAhead = 8, kQuietBlock = 64;
    const View2D<double>& c = params->close;
    const std::int64_t stride = c.row_stride;
    const char* const column = c.data + t.pid * c.col_stride;
    std::int64_t walked = 0;
    while (walked < count) {
      const std::int64_t m = std::min(kQuietBlock, count - walked);
      const char* at = column + ith * stride;
      // Addresses to prefetch are formed as integers: those past the matrix
      // are never read.
      std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(at) + kAhead * stride;
      double pr = price_ratio, pv = start.pv, cmax_ = cmax, cmin_ = cmin, at_min = cmax_at_min;
      double mdd_ = mdd;
      // The rows before under the same maximum are in mdd already; the
      // maximum itself gives a drawdown of 0, which changes nothing.
      double run_min = cmax_;
      std::int64_t in_profit = 0;
      auto fold = [&] {
        const double newmdd = run_min / cmax_ - 1;
        mdd_ = mdd_ > newmdd ? newmdd : mdd_;
      };
      for (std::int64_t i = 0; i < m; ++i, at += stride, ahead += stride) {
        __builtin_prefetch(reinterpret_cast<const void*>(ahead));
        double v;
        std::memcpy(&v, at, sizeof v);
        const double p = v / pv;
        pv = v;
        const double r = kLong ? p * pr : 2 - p * (2 - pr);
        pr = r;
        if (r > cmax_) [[unlikely]] {
          fold();
          cmax_ = r;
          run_min = r;
        } else {
          run_min = r < run_min ? r : run_min;
        }
        const bool low = cmin_ > r;
        cmin_ = low ? r : cmin_;
        at_min = low ? cmax_ : at_min;  // a new low is never a new high
        in_profit += r > 1;
      }
      if (!(pr > 0 && pr < inf && cmax_ < inf && cmin_ > 0)) break;
      fold();
      cmax = cmax_, cmin = cmin_, cmax_at_min = at_min, mdd = mdd_;
      profit_period = profit_period + static_cast<double>(in_profit);
      price_ratio = pr, start.pv = pv;
      n += m;
      ith += m;
      walked += m;
      if (!(pv > 0)) break;  // the next block would divide by this base
    }
    return walked;
  }

  // update() over `count` rows, with the series in registers: the blocks
  // written by emit() are doubles too, so the series kept as members would
  // go through memory on every row. Blocks are rare past the samples; each
  // row tests for the next one with a single comparison.
  void update_run(const double* ratios, const bool* closes, std::int64_t count) {
    double cmax_ = cmax, cmin_ = cmin, at_min = cmax_at_min, mdd_ = mdd;
    double profit = profit_period, pr = price_ratio;
    std::int64_t n_ = n;
    auto store = [&] {
      cmax = cmax_, cmin = cmin_, cmax_at_min = at_min, mdd = mdd_;
      profit_period = profit, price_ratio = pr, n = n_;
    };
    std::int64_t next = next_emit();
    for (std::int64_t i = 0; i < count; ++i) {
      pr = ratios[i];
      const double cmax_prev = cmax_;
      cmax_ = pr > cmax_ ? pr : cmax_;
      const bool low = cmin_ > pr;
      cmin_ = low ? pr : cmin_;
      at_min = low ? cmax_prev : at_min;
      if (cmax_ == 0) {
        store();
        float_division();
      }
      const double newmdd = pr / cmax_ - 1;
      mdd_ = mdd_ > newmdd ? newmdd : mdd_;
      profit = profit + ((closes[i] && pr > 1) ? 1.0 : 0.0);
      ++n_;
      if (n_ == next) [[unlikely]] {
        store();
        emit();
        next = next_emit();
      }
    }
    store();
    ith += count;
  }

  // The first position after n at which emit() writes a block (past every
  // position when none is left).
  std::int64_t next_emit() const {
    std::int64_t next = e > n ? e : std::numeric_limits<std::int64_t>::max();
    if (next_sample < n_samples_end && next_sample > n && next_sample < next) next = next_sample;
    return next;
  }

  __attribute__((always_inline)) void finish() {
    if (!t.exit_transaction) return;
    // Only the last return changes; patch the blocks that show it.
    const double r = exit_return(*params, t, start.i_exit_max, price_ratio);
    const std::int64_t step = params->window_step;
    if (last < n_samples_end && last % step == 0) out[(last / step) * kExcursionBlock + 5] = r - 1;
    if (e == last) summary[5] = r - 1;
  }

  // The rows after the summary position when only the summary is kept: they
  // change nothing it holds, but the walk reads them and can fail on them, so
  // they are read for that alone. A row fails exactly where step_close would:
  // a close after a zero close (the base of its step). The update of the
  // series cannot fail (the running maximum starts at 1 or above, or NaN,
  // and never comes down to 0).
  // Valid for a fast walk only (every row inside the close matrix).
  __attribute__((always_inline)) void check_rest() {
    const View2D<double>& c = params->close;
    double pv = start.pv;
    for (; ith <= start.i_exit_max; ++ith) {
      const double v = c.get(ith, t.pid);
      if (std::isnan(v)) continue;
      if (pv == 0) float_division();
      pv = v;
    }
    if (e == last) {
      finish();
    } else {
      check_exit();
    }
  }

  // finish() when its return reaches nothing kept: only the failures of its
  // reads, in their order (the trade price's indexes, then the close's, then
  // a zero close). The trade price itself is not needed.
  __attribute__((always_inline)) void check_exit() {
    if (!t.exit_transaction || t.i_entry == start.i_exit_max) return;
    const std::int64_t row = start.i_exit_max > t.i_entry ? start.i_exit_max : t.i_entry;
    item_index(row, params->price.rows);
    item_index(t.pid, params->price.cols);
    if (item(params->close, row, t.pid) == 0) float_division();
  }
};

}  // namespace

void compute_excursion_array(const ExcursionParams& params, const ExcursionTrade& t, double* out,
                             std::int64_t out_size) {
  Walk w{&params, t, out, out_size};
  w.begin();
  if (w.fast) {
    w.run_fast();
    return;
  }
  while (w.advance()) {
  }
}

// --- a walk that starts before its exit is known -----------------------------

struct ExcursionCursor::State {
  ExcursionParams params;
  Walk walk;
};

ExcursionCursor::ExcursionCursor() = default;
ExcursionCursor::~ExcursionCursor() = default;
ExcursionCursor::ExcursionCursor(ExcursionCursor&&) noexcept = default;
ExcursionCursor& ExcursionCursor::operator=(ExcursionCursor&&) noexcept = default;

bool ExcursionCursor::start(const ExcursionParams& params, const ExcursionTrade& trade,
                            double* out, std::int64_t out_size) {
  state_.reset();
  if (params.window < 1 || params.window_step < 1 || params.close_missing) return false;
  auto state = std::make_unique<State>();
  state->params = params;
  ExcursionTrade t = trade;
  // Until the exit is known the path may reach the data's last row; the
  // start depends on the exit only through the path's length, whose sign
  // (the only failure it raises) is the same for every exit.
  t.i_exit = params.price.rows - 1;
  t.exit_transaction = false;
  state->walk = Walk{&state->params, t, out, out_size};
  state->walk.provisional = true;
  state->walk.begin();
  if (!state->walk.fast) return false;
  state_ = std::move(state);
  return true;
}

void ExcursionCursor::walk_to(std::int64_t row) {
  Walk& w = state_->walk;
  const std::int64_t last_row = std::min(row, w.start.i_exit_max);
  if (last_row >= w.ith) w.walk_fast_to(last_row);
}

std::int64_t ExcursionCursor::reached() const { return state_->walk.ith - 1; }

bool ExcursionCursor::finish(std::int64_t i_exit, bool exit_transaction) {
  Walk& w = state_->walk;
  const ExcursionParams& p = state_->params;
  // The path's extent and the summary's position, as start_path and begin()
  // set them for this exit.
  const std::int64_t i_exit_max = path_end(p, w.t.i_entry, i_exit);
  const std::int64_t last = i_exit_max - w.t.i_entry;
  const std::int64_t e = summary_position(i_exit - w.t.i_entry, last);
  if (w.n > e || w.ith - 1 > i_exit_max) return false;  // walked past the summary
  w.t.i_exit = i_exit;
  w.t.exit_transaction = exit_transaction;
  w.start.i_exit_max = i_exit_max;
  w.start.length = last + 1;
  w.last = last;
  w.e = e;
  w.provisional = false;
  if (w.n == e) w.emit();  // the summary of the position reached (its sample is written)
  w.run_fast();
  return true;
}

namespace {

void compute_excursion_summary(const ExcursionParams& params, const ExcursionTrade& t,
                               double* summary) {
  Walk w{&params, t, nullptr, 0};
  w.summary_only = true;
  w.summary = summary;
  w.begin();
  // Up to the summary position the walk is the whole one; e never passes the
  // last position, so every step here reads a row.
  if (w.fast) {
    w.walk_fast_to(t.i_entry + w.e);
    if (!params.closes_checked) {
      w.check_rest();
    } else if (w.e == w.last) {
      w.finish();
    }
  } else {
    while (w.n < w.e) w.advance();
    while (w.advance()) {
    }
  }
}

}  // namespace

std::int64_t compute_excursion_arrays(const ExcursionParams& params, const ExcursionTrade* trades,
                                      double* const* outs, std::int64_t out_size, int n,
                                      Failure& failure, bool summary_only) {
  std::int64_t first_failed = -1;
  for (int k = 0; k < n; ++k) {
    // The next trade's first rows are on their way while this one is walked.
    if (k + 1 < n) {
      const ExcursionTrade& next = trades[k + 1];
      const View2D<double>& c = params.close;
      if (next.pid >= 0 && next.pid < c.cols && next.i_entry >= 0) {
        for (std::int64_t r = next.i_entry; r < next.i_entry + 8 && r < c.rows; ++r) {
          __builtin_prefetch(c.data + r * c.row_stride + next.pid * c.col_stride);
        }
      }
      // And its entry's trade price, the first read of its walk.
      const View2D<double>& p = params.price;
      if (next.pid >= 0 && next.pid < p.cols && next.i_entry >= 0 && next.i_entry < p.rows) {
        __builtin_prefetch(p.data + next.i_entry * p.row_stride + next.pid * p.col_stride);
      }
    }
    try {
      if (summary_only) {
        compute_excursion_summary(params, trades[k], outs[k]);
      } else {
        compute_excursion_array(params, trades[k], outs[k], out_size);
      }
    } catch (Failure& f) {
      if (first_failed < 0) {
        first_failed = k;
        failure = std::move(f);
      }
    }
  }
  return first_failed;
}

}  // namespace pelmora
