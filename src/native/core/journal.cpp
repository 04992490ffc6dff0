// The run journal. Trade records follow the excursion module's rules exactly
// (an entry remembers the row, the weight and whether it was a transaction;
// an exit appends the record and its excursion array; the holdings left at
// the end are appended in the book's order), so the records and arrays agree
// with backtest_'s bit for bit. The money figures come from the fills.
#include "core/journal.hpp"

#include "core/book_walk.hpp"

namespace pelmora {

namespace {
constexpr const char* kRecordEntry = "pelmora.core.journal.record_entry";
constexpr const char* kRecordExit = "pelmora.core.journal.record_exit";
constexpr const char* kAnalysis = "pelmora.core.journal.swaylen_analysis";
}  // namespace

Journal::Journal(const RunInputs& in, const RunOptions& opt, const JournalOptions& jopt)
    // A fill's account columns can differ from a unit portfolio's (0.0
    // costs, NaN shares) only under an account's rules.
    : fills(opt.exec.changes_fills() || opt.exec.capital > 0.0),
      in_(in),
      jopt_(jopt),
      capital_(opt.exec.capital),
      slippage_(opt.exec.slippage),
      sid_to_price_(in.columns.table) {
  params_.price = in.price;
  params_.close = in.close;
  params_.close_missing = jopt.close_missing;
  params_.closes_checked = jopt.closes_checked;
  params_.fee_ratio = opt.fee_ratio;
  params_.tax_ratio = opt.tax_ratio;
  params_.window = jopt.window;
  params_.window_step = jopt.window_step;
  cash.assign(static_cast<std::size_t>(in.price_index.size), 1.0);
  open_.assign(static_cast<std::size_t>(std::max<std::int64_t>(jopt.n_stocks, 0)), OpenTrade{});
  bool positions_fixed = false;
  if (jopt.positions) {
    // The book holds at most one entry per position column, valued once a
    // row: the positions get that much address space, backed only where
    // written, so a long run's columns never grow by copying.
    const double bound = static_cast<double>(in.price_index.size) *
                         static_cast<double>(std::max<std::int64_t>(in.pos_values.cols, 0));
    if (bound >= kReservePositionsAbove && bound < 1e12) {
      const std::size_t n = static_cast<std::size_t>(bound);
      positions_fixed = positions.row.reserve_fixed(n) && positions.sid.reserve_fixed(n) &&
                        positions.value.reserve_fixed(n);
    }
  }
  std::int64_t size = 0, keep = 0;
  if (jopt.excursions && jopt.helper_thread && jopt.window >= 1 && jopt.window_step >= 1) {
    // A stock enters at most once a row, so the trade records are at most
    // rows x stocks; their arrays get that much address space, which lets
    // the helper write into memory that never moves.
    size = excursion_array_size(jopt.window, jopt.window_step);
    keep = jopt.summary_only ? std::min<std::int64_t>(kExcursionBlock, size) : size;
    const double bound = static_cast<double>(in.price_index.size) *
                         static_cast<double>(std::min<std::int64_t>(
                             jopt.n_stocks, std::max<std::int64_t>(in.pos_values.cols, 0))) *
                         static_cast<double>(keep);
    excursion_helper_ =
        bound >= 1 && bound < 1e12 && excursions.reserve_fixed(static_cast<std::size_t>(bound));
  }
  // The positions' places are set aside as the run goes, in memory that
  // never moves, so the helper can write them: a long run's positions are
  // hundreds of megabytes of stores the run need not wait for.
  positions_helper_ = positions_fixed && jopt.helper_thread;
  if (excursion_helper_ || positions_helper_) {
    // The arrays' memory never moves: the k-th job handed over fills the k-th.
    worker_ = std::make_unique<ExcursionWorker>(params_, size, keep,
                                                excursion_helper_ ? excursions.data() : nullptr);
    if (positions_helper_) worker_->attach_positions(stretches_, kStretchSlots);
  }
}

// The per-stock entry arrays have one slot per position label; an index
// outside them fails as a NumPy item access does (a negative one counts from
// the end).
std::int64_t Journal::outside_slot(int sid, const char* frame) const {
  return with_frame(frame, [&] { return item_index(sid, static_cast<std::int64_t>(open_.size())); });
}

void Journal::record_entry(int sid, double weight, int has_transaction) {
  OpenTrade& t = open_[static_cast<std::size_t>(stock_slot(sid, kRecordEntry))];
  t = OpenTrade{};
  t.entry_row = date_;
  t.position = weight;
  t.entry_transaction = has_transaction;
  opening_ = sid;
}

std::size_t Journal::push_record(int sid, const OpenTrade& t, std::int64_t exit_row) {
  return trades.push(sid, t.entry_row, exit_row, t.position, t.entry_value, t.cost,
                     t.flows - t.cost, t.entry_fill);
}

void Journal::add_excursion(int sid, const OpenTrade& t, int i_exit, int exit_transaction) {
  if (!jopt_.excursions) return;
  // A stock without a price column is measured on column 0, as the
  // excursion module does.
  const int col = price_column(sid);
  const ExcursionTrade trade{col < 0 ? 0 : col, t.entry_row, i_exit, t.position > 0,
                             t.entry_transaction != 0, exit_transaction != 0};
  if (params_.window >= 1 && params_.window_step >= 1) {
    // The usual case: the array's place is taken now and the arrays are
    // computed a batch at a time, side by side.
    // Without the paths, each trade keeps its summary block only (the last
    // block of its array).
    if (keep_ < 0) {
      const std::int64_t size = excursion_array_size(params_.window, params_.window_step);
      keep_ = jopt_.summary_only ? std::min<std::int64_t>(kExcursionBlock, size) : size;
    }
    const std::size_t at = excursions.size();
    excursions.extend(static_cast<std::size_t>(keep_));  // written whole by the computation
    excursion_length_ = keep_;
    if (excursion_helper_) {
      // The helper's job, compact: its array is the one just set aside.
      ExcursionJob& job = jobs_.emplace_back();
      job.pid = col < 0 ? 0 : col;
      job.i_entry = static_cast<std::int32_t>(t.entry_row);
      job.i_exit = i_exit;
      job.is_long = t.position > 0;
      job.entry_transaction = t.entry_transaction != 0;
      job.exit_transaction = exit_transaction != 0;
    } else {
      // Built in place: a copy of the trade from the stack reads its flags
      // back wider than they were written, which stalls the store buffer.
      PendingExcursion& p = pending_.emplace_back();
      p.offset = at;
      p.trade.pid = col < 0 ? 0 : col;
      p.trade.i_entry = t.entry_row;
      p.trade.i_exit = i_exit;
      p.trade.is_long = t.position > 0;
      p.trade.entry_transaction = t.entry_transaction != 0;
      p.trade.exit_transaction = exit_transaction != 0;
    }
    if (excursion_helper_) {
      // The rows the trade's walk reads, at most (its exit or its window).
      const std::int64_t last = std::max<std::int64_t>(i_exit, t.entry_row + params_.window);
      pending_rows_ += static_cast<double>(std::max<std::int64_t>(last - t.entry_row, 1));
      if (jobs_.size() == kHandOver || pending_rows_ >= kHandOverRows) hand_over();
    } else if (pending_.size() == static_cast<std::size_t>(kExcursionBatch)) {
      flush_excursions();
    }
    return;
  }
  flush_excursions();  // an earlier trade's failure comes first
  const std::size_t at = excursions.size();
  try {
    const std::int64_t n = build_excursion_array(params_, trade, path_, [&](std::int64_t n) {
      if (n < 0) negative_dimensions();
      if (!jopt_.summary_only) return excursions.extend(static_cast<std::size_t>(n));
      whole_.resize(static_cast<std::size_t>(n));
      return whole_.data();
    });
    excursion_length_ = n;
    if (jopt_.summary_only) {
      const std::int64_t keep = std::min<std::int64_t>(kExcursionBlock, n);
      double* out = excursions.extend(static_cast<std::size_t>(keep));
      for (std::int64_t k = 0; k < keep; ++k) out[k] = whole_[static_cast<std::size_t>(n - keep + k)];
      excursion_length_ = keep;
    }
  } catch (Failure& f) {
    excursions.resize_down(at);
    f.frames.push_back(kAnalysis);
    throw;
  }
}

void Journal::hand_over() {
  if (jobs_.empty()) return;
  worker_->submit(std::move(jobs_));
  jobs_.clear();
  jobs_.reserve(kHandOver);
  pending_rows_ = 0;
}

void Journal::flush_excursions() {
  if (excursion_helper_) {
    std::vector<ExcursionJob> tail = std::move(jobs_);
    jobs_.clear();
    pending_rows_ = 0;
    Failure f{ErrorKind::Pending, {}, {}};
    if (worker_->drain(f, tail)) {
      f.frames.push_back(kAnalysis);
      throw f;
    }
    return;
  }
  if (pending_.empty()) return;
  ExcursionTrade trades_[kExcursionBatch];
  double* outs[kExcursionBatch];
  const int n = static_cast<int>(pending_.size());
  const std::int64_t size = excursion_array_size(params_.window, params_.window_step);
  // Without the paths, each trade's summary block is computed alone, in place.
  const bool summary = jopt_.summary_only && excursion_length_ < size;
  for (int k = 0; k < n; ++k) {
    trades_[k] = pending_[static_cast<std::size_t>(k)].trade;
    outs[k] = excursions.data() + pending_[static_cast<std::size_t>(k)].offset;
  }
  Failure f{ErrorKind::Pending, {}, {}};
  const std::int64_t failed = compute_excursion_arrays(params_, trades_, outs, size, n, f, summary);
  pending_.clear();
  if (failed >= 0) {
    f.frames.push_back(kAnalysis);
    throw f;
  }
}

void Journal::record_exit(int sid, int has_transaction) {
  const OpenTrade& t = open_[static_cast<std::size_t>(stock_slot(sid, kRecordExit))];
  try {
    add_excursion(sid, t, date_, has_transaction);
  } catch (Failure& f) {
    f.frames.push_back(kRecordExit);
    throw;
  }
  closing_ = static_cast<std::int64_t>(push_record(sid, t, date_));
  closing_trade_ = t;
}

double Journal::worth_at_close(int sid, double value, std::int64_t row) const {
  const int col = price_column(sid);
  if (col < 0 || row < 0 || row >= in_.price.rows || row >= in_.close.rows ||
      col >= in_.price.cols || col >= in_.close.cols) {
    return value;
  }
  return pelmora::worth_at_close(value, in_.price.get(row, col), in_.close.get(row, col));
}

void Journal::finish(const Book& pos) {
  fills.seal();
  if (!fills.account() && !jopt_.constant_views) {
    // A unit portfolio's account columns hold one value each, written once.
    const std::size_t n = fills.size();
    fills.slippage.assign(n, 0.0);
    fills.impact.assign(n, 0.0);
    fills.written_off.assign(n, 0.0);
    fills.shares.assign(n, std::nan(""));
    fills.requested.assign(n, std::nan(""));
  }
  for (const auto& [sid, size] : pos) {
    if (size == 0) continue;  // a NaN size counts as held
    const OpenTrade& t = open_[static_cast<std::size_t>(stock_slot(sid, kRecordExit))];
    add_excursion(sid, t, date_, 0);
    const std::size_t k = push_record(sid, t, -1);
    const double worth = worth_at_close(sid, size, date_);
    trades.exit_value[k] = worth;
    trades.pnl[k] = (t.flows + worth) - t.cost;
  }
  trades.seal();
  flush_excursions();
  // Every position is written, and seen, before the columns are handed over.
  if (positions_helper_) worker_->wait_positions(stretches_handed_);
  stream_fence();
}

double rebalance_journal(Book& p, const View1D<double>& newp, double cash, TradeCosts costs,
                         double position_limit, Journal& hooks, double max_gross,
                         FillSetup* setup, const std::vector<std::int64_t>* targets,
                         CashRule cash_rule) {
  return rebalance_with(p, newp, cash, costs, position_limit, hooks, max_gross, setup,
                        targets, cash_rule);
}

bool turnover_per_row(const View1D<std::int64_t>& rows, const View1D<double>& before,
                      const View1D<double>& after, const View1D<double>& written_off,
                      const View1D<double>& equity, double* out) {
  // A row's fills come one after another: its sum is carried in a register
  // while they do, not stored and reloaded between two adds (which would chain
  // every fill's add through memory). The adds are the same, in the same order.
  const std::int64_t n_rows = equity.size;
  bool open = false;  // a row's sum is being carried
  std::int64_t current = 0;
  double sum = 0.0, base = 1.0;
  for (std::int64_t k = 0; k < rows.size; ++k) {
    const std::int64_t row = rows.get(k);
    if (!open || row != current) {
      if (open) out[current] = sum;
      if (row < 0 || row >= n_rows) return false;
      open = true;
      current = row;
      sum = out[row];
      base = row == 0 ? 1.0 : equity.get(row - 1);
    }
    sum += (std::fabs(after.get(k) - before.get(k)) - written_off.get(k)) / base;
  }
  if (open) out[current] = sum;
  return true;
}

}  // namespace pelmora
